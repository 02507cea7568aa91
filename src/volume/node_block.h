// Memory for blocks of index nodes. Blocks of a whole number of large units come straight from
// the system, aligned, and (where the system offers it) backed by large pages: a snapshot of a
// million runs then takes a handful of page faults instead of thousands.
#pragma once
#include <cstddef>

namespace snapshot_detail {

constexpr size_t kLargeBlockBytes = size_t(2) << 20;

// A block of `bytes` (throws std::bad_alloc); freed with freeNodeBlock and the same size.
void* allocateNodeBlock(size_t bytes);
void freeNodeBlock(void* block, size_t bytes);

}  // namespace snapshot_detail

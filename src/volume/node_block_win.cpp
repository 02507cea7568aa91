// Windows: ordinary heap blocks (large pages need a privilege the service does not ask for).
#include "volume/node_block.h"

#include <cstdlib>
#include <new>

namespace snapshot_detail {

void* allocateNodeBlock(size_t bytes) {
    void* p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void freeNodeBlock(void* block, size_t) { std::free(block); }

}  // namespace snapshot_detail

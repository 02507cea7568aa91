// Linux only: large blocks are mapped with room to align them to a large page, and advised to
// be backed by transparent huge pages.
#include "volume/node_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace snapshot_detail {

void* allocateNodeBlock(size_t bytes) {
    if (bytes % kLargeBlockBytes != 0) {
        void* p = std::malloc(bytes);
        if (!p) throw std::bad_alloc();
        return p;
    }
    const size_t mapped = bytes + kLargeBlockBytes;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kLargeBlockBytes - 1) & ~uintptr_t(kLargeBlockBytes - 1);
    // Only the aligned block stays mapped.
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t tail = aligned + bytes, end = start + mapped;
    if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
    void* block = reinterpret_cast<void*>(aligned);
    madvise(block, bytes, MADV_HUGEPAGE);  // advice only: without huge pages it works as before
    return block;
}

void freeNodeBlock(void* block, size_t bytes) {
    if (!block) return;
    if (bytes % kLargeBlockBytes != 0) std::free(block);
    else munmap(block, bytes);
}

}  // namespace snapshot_detail

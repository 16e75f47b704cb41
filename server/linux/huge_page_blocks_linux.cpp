#include "server/linux/huge_page_blocks_linux.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace korrin {

namespace {

constexpr size_t kHugePage = 2 * 1024 * 1024;

// Whole huge pages, aligned to one: only such a range can be backed by them. Where the kernel
// gives none (switched off, or no free one), the pages are ordinary ones.
char* takeBlock(size_t bytes) {
    const size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = aligned_alloc(kHugePage, size);
    if (!p) throw std::bad_alloc();
    madvise(p, size, MADV_HUGEPAGE);
    return static_cast<char*>(p);
}

void giveBlock(char* block) {
    free(block);
}

}  // namespace

BlockMemory hugePageBlocks() {
    BlockMemory m;
    m.blockBytes = kHugePage;
    m.take = takeBlock;
    m.give = giveBlock;
    return m;
}

}  // namespace korrin

// Blocks for the send queue backed by huge pages where the kernel offers them on request: an
// empty queue then fills with one page fault per 2 MiB instead of one per 4 KiB.
#pragma once

#include "server/net/line_queue.h"

namespace korrin {

BlockMemory hugePageBlocks();

}  // namespace korrin

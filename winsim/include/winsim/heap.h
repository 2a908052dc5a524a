// What tests use to see the process heap. Product code never includes this header.
#pragma once

#include <cstddef>

namespace winsim {

// Blocks HeapAlloc handed out that HeapFree has not taken back, in this process.
size_t HeapBlocksInUse();

}  // namespace winsim

// kernel32's process heap. Blocks come from the C heap (so the sanitizers see them) and are
// counted, so that a test can tell that every block it caused was given back.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "core/machine.h"
#include "winsim/heap.h"

using winsim::ApiCall;

namespace {

// The value GetProcessHeap returns; it is no handle of the machine's table (nobody closes it).
HANDLE ProcessHeap() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00150000)); }

// Blocks live beyond the machine that saw them allocated: the count is the process's.
std::unordered_map<void*, size_t>& Blocks() {
  static auto* blocks = new std::unordered_map<void*, size_t>;
  return *blocks;
}

}  // namespace

extern "C" {

HANDLE WINAPI GetProcessHeap(void) {
  ApiCall call("GetProcessHeap");
  return ProcessHeap();
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ApiCall call("HeapAlloc");
  // A failing HeapAlloc does not set the last error.
  if (call.fault() || heap != ProcessHeap()) return nullptr;
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) return nullptr;
  if (flags & HEAP_ZERO_MEMORY) std::memset(p, 0, bytes);
  Blocks()[p] = bytes;
  return p;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID mem) {
  WINSIM_API(call, "HeapFree", FALSE);
  if (!mem) return TRUE;  // freeing nothing succeeds
  auto it = Blocks().find(mem);
  if (heap != ProcessHeap() || it == Blocks().end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Blocks().erase(it);
  std::free(mem);
  return TRUE;
}

}  // extern "C"

namespace winsim {

size_t HeapBlocksInUse() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return Blocks().size();
}

}  // namespace winsim

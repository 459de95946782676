// The process heap, the global heap and the local heap, with accounting:
// every block and every call is counted, and a block freed through the wrong
// family, freed twice or never allocated stops the machine.
#include "core.h"

#include <winsim/control.h>

#include <cstdlib>
#include <cstring>
#include <map>

namespace winsim {
namespace heap {
namespace {

struct Block {
  size_t size;
  Kind kind;
};

struct HeapState {
  std::map<const void*, Block> blocks;
  size_t calls[3] = {0, 0, 0};
};

HeapState& State() {
  // Never destroyed: objects that outlive main may still reach it.
  static HeapState& state = *new HeapState;
  return state;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case kHeap: return "HeapAlloc";
    case kGlobal: return "GlobalAlloc";
    case kLocal: return "LocalAlloc";
  }
  return "?";
}

void ResetHeap() {
  HeapState& s = State();
  for (auto& entry : s.blocks) std::free(const_cast<void*>(entry.first));
  s.blocks.clear();
  for (size_t& c : s.calls) c = 0;
}

void NoSave(const std::string&) {}
void NoLoad(const std::string&) {}

ModuleRegistrar heapRegistrar{"heap", 1, &ResetHeap, &NoSave, &NoLoad};

// The pseudo handle of the process heap.
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00510000));

void Count(Kind kind) { ++State().calls[kind]; }

// Frees a block of the given family; stops the machine on a foreign pointer.
void FreeBlock(Kind kind, const char* api, void* block) {
  HeapState& s = State();
  auto it = s.blocks.find(block);
  if (it == s.blocks.end())
    Fatal(std::string(api) + ": " + Hex(reinterpret_cast<uintptr_t>(block)) +
          " is not a live block (freed twice, or never allocated)");
  if (it->second.kind != kind)
    Fatal(std::string(api) + ": the block was allocated by " + KindName(it->second.kind));
  s.blocks.erase(it);
  std::free(block);
}

}  // namespace

void* Allocate(Kind kind, size_t bytes, bool zero) {
  Count(kind);
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) Fatal("out of host memory");
  if (zero) std::memset(block, 0, bytes);
  State().blocks[block] = Block{bytes, kind};
  return block;
}

bool IsLive(Kind kind, const void* block) {
  auto it = State().blocks.find(block);
  return it != State().blocks.end() && it->second.kind == kind;
}

size_t BlockSize(const void* block) {
  auto it = State().blocks.find(block);
  return it == State().blocks.end() ? 0 : it->second.size;
}

size_t LiveCount(Kind kind) {
  size_t n = 0;
  for (const auto& entry : State().blocks)
    if (entry.second.kind == kind) ++n;
  return n;
}

size_t CallCount(Kind kind) { return State().calls[kind]; }
void ClearCalls() {
  for (size_t& c : State().calls) c = 0;
}

void CheckProcessHeap(const char* api, HANDLE heap) {
  if (heap != kProcessHeap) Unsupported(api, "a heap other than the process heap");
}

HANDLE ProcessHeap() { return kProcessHeap; }

}  // namespace heap

namespace {
heap::Kind ToKind(Memory kind) {
  switch (kind) {
    case Memory::Heap: return heap::kHeap;
    case Memory::Global: return heap::kGlobal;
    case Memory::Local: return heap::kLocal;
  }
  return heap::kHeap;
}
}  // namespace

size_t LiveBlocks(Memory kind) { return heap::LiveCount(ToKind(kind)); }
size_t LiveBlocks() {
  return heap::LiveCount(heap::kHeap) + heap::LiveCount(heap::kGlobal) +
         heap::LiveCount(heap::kLocal);
}
size_t MemoryCalls(Memory kind) { return heap::CallCount(ToKind(kind)); }
size_t MemoryCalls() {
  return heap::CallCount(heap::kHeap) + heap::CallCount(heap::kGlobal) +
         heap::CallCount(heap::kLocal);
}
void ClearMemoryCalls() { heap::ClearCalls(); }

}  // namespace winsim

using winsim::heap::kGlobal;
using winsim::heap::kHeap;
using winsim::heap::kLocal;

extern "C" {

HANDLE WINAPI GetProcessHeap(void) {
  winsim::Enter("GetProcessHeap");
  return winsim::heap::ProcessHeap();
}

const winsim::DocumentedErrors kHeapAllocErrors{"HeapAlloc", {ERROR_NOT_ENOUGH_MEMORY}};

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  std::string detail = std::to_string(dwBytes) + " flags " + winsim::Hex(dwFlags);
  if (winsim::Enter("HeapAlloc", detail)) {
    ++winsim::heap::State().calls[kHeap];
    return nullptr;
  }
  winsim::heap::CheckProcessHeap("HeapAlloc", hHeap);
  if (dwFlags & ~static_cast<DWORD>(HEAP_ZERO_MEMORY | HEAP_NO_SERIALIZE))
    winsim::Unsupported("HeapAlloc", "flags " + winsim::Hex(dwFlags));
  return winsim::heap::Allocate(kHeap, dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

const winsim::DocumentedErrors kHeapReAllocErrors{"HeapReAlloc", {ERROR_NOT_ENOUGH_MEMORY}};

LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
  std::string detail = std::to_string(dwBytes) + " flags " + winsim::Hex(dwFlags);
  if (winsim::Enter("HeapReAlloc", detail)) {
    ++winsim::heap::State().calls[kHeap];
    return nullptr;
  }
  winsim::heap::CheckProcessHeap("HeapReAlloc", hHeap);
  if (dwFlags & ~static_cast<DWORD>(HEAP_ZERO_MEMORY | HEAP_NO_SERIALIZE))
    winsim::Unsupported("HeapReAlloc", "flags " + winsim::Hex(dwFlags));
  if (lpMem == nullptr) winsim::Unsupported("HeapReAlloc", "a null block");
  if (!winsim::heap::IsLive(kHeap, lpMem))
    winsim::Fatal("HeapReAlloc: " + winsim::Hex(reinterpret_cast<uintptr_t>(lpMem)) +
                  " is not a live block of the process heap");
  size_t oldSize = winsim::heap::BlockSize(lpMem);
  void* block = winsim::heap::Allocate(kHeap, dwBytes, false);  // counts the one call
  std::memcpy(block, lpMem, oldSize < dwBytes ? oldSize : dwBytes);
  if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > oldSize)
    std::memset(static_cast<char*>(block) + oldSize, 0, dwBytes - oldSize);
  winsim::heap::FreeBlock(kHeap, "HeapReAlloc", lpMem);
  return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  ++winsim::heap::State().calls[kHeap];
  if (winsim::Enter("HeapFree")) return FALSE;
  winsim::heap::CheckProcessHeap("HeapFree", hHeap);
  if (lpMem == nullptr) return TRUE;
  winsim::heap::FreeBlock(kHeap, "HeapFree", lpMem);
  return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem) {
  ++winsim::heap::State().calls[kHeap];
  if (winsim::Enter("HeapSize")) return static_cast<SIZE_T>(-1);
  winsim::heap::CheckProcessHeap("HeapSize", hHeap);
  if (!winsim::heap::IsLive(kHeap, lpMem))
    winsim::Fatal("HeapSize: not a live block of the process heap");
  return winsim::heap::BlockSize(lpMem);
}

const winsim::DocumentedErrors kGlobalAllocErrors{"GlobalAlloc", {ERROR_NOT_ENOUGH_MEMORY}};

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (winsim::Enter("GlobalAlloc", std::to_string(dwBytes) + " flags " + winsim::Hex(uFlags))) {
    ++winsim::heap::State().calls[kGlobal];
    return nullptr;
  }
  if (uFlags & ~static_cast<UINT>(GMEM_ZEROINIT))
    winsim::Unsupported("GlobalAlloc", "flags " + winsim::Hex(uFlags) + " (only fixed memory)");
  return winsim::heap::Allocate(kGlobal, dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  ++winsim::heap::State().calls[kGlobal];
  if (winsim::Enter("GlobalFree")) return hMem;
  if (hMem == nullptr) return nullptr;
  winsim::heap::FreeBlock(kGlobal, "GlobalFree", hMem);
  return nullptr;
}

const winsim::DocumentedErrors kLocalAllocErrors{"LocalAlloc", {ERROR_NOT_ENOUGH_MEMORY}};

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (winsim::Enter("LocalAlloc", std::to_string(uBytes) + " flags " + winsim::Hex(uFlags))) {
    ++winsim::heap::State().calls[kLocal];
    return nullptr;
  }
  if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT))
    winsim::Unsupported("LocalAlloc", "flags " + winsim::Hex(uFlags) + " (only fixed memory)");
  return winsim::heap::Allocate(kLocal, uBytes, (uFlags & LMEM_ZEROINIT) != 0);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  ++winsim::heap::State().calls[kLocal];
  if (winsim::Enter("LocalFree")) return hMem;
  if (hMem == nullptr) return nullptr;
  winsim::heap::FreeBlock(kLocal, "LocalFree", hMem);
  return nullptr;
}

}  // extern "C"

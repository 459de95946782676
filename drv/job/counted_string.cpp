// CountedString: one handle, null or a block from the process heap laid out
// as [uint64 length][text][terminator][spare], with a capacity (terminator
// included) of length + 1 rounded up to a multiple of 32 units.
#include "job/counted_string.h"
#include "job/text.h"

namespace svd {

struct CountedStringBlock {
  ULONGLONG length;
  WCHAR text[1];  // capacity units in the real block
};

namespace {

const WCHAR kEmptyText[1] = {0};
const size_t kHeaderBytes = offsetof(CountedStringBlock, text);
const size_t kCapacityStep = 32;
// Longest text whose block size still fits a size_t.
const size_t kMaxLength = (static_cast<size_t>(-1) - kHeaderBytes) / sizeof(WCHAR) - kCapacityStep;

size_t CapacityFor(size_t length) {
  return (length + 1 + kCapacityStep - 1) / kCapacityStep * kCapacityStep;
}

size_t BlockBytes(size_t capacity) {
  return kHeaderBytes + capacity * sizeof(WCHAR);
}

CountedStringBlock* AllocateBlock(size_t length) {
  if (length > kMaxLength) return nullptr;
  return static_cast<CountedStringBlock*>(
      HeapAlloc(GetProcessHeap(), 0, BlockBytes(CapacityFor(length))));
}

void CopyUnits(WCHAR* destination, LPCWSTR source, size_t count) {
  for (size_t i = 0; i < count; ++i) destination[i] = source[i];
}

// A new string holding the first count units of text (null for 0 units or
// when the heap refuses the block).
CountedString FromUnits(LPCWSTR text, size_t count) {
  if (count == 0) return nullptr;
  CountedStringBlock* block = AllocateBlock(count);
  if (block == nullptr) return nullptr;
  block->length = count;
  CopyUnits(block->text, text, count);
  block->text[count] = 0;
  return block;
}

}  // namespace

bool Resize(CountedString& handle, size_t n) {
  if (n == 0) {
    Release(handle);
    return true;
  }
  if (n > kMaxLength) return false;
  size_t newCapacity = CapacityFor(n);
  size_t oldCapacity = (handle != nullptr && handle->length != 0)
                           ? CapacityFor(static_cast<size_t>(handle->length))
                           : 0;
  if (newCapacity != oldCapacity) {
    void* block;
    if (handle != nullptr) {
      block = HeapReAlloc(GetProcessHeap(), 0, handle, BlockBytes(newCapacity));
    } else {
      block = HeapAlloc(GetProcessHeap(), 0, BlockBytes(newCapacity));
    }
    // A refused block leaves the string as it was.
    if (block == nullptr) return false;
    handle = static_cast<CountedStringBlock*>(block);
  }
  handle->text[n] = 0;
  handle->length = n;
  return true;
}

CountedString FromAnsi(LPCSTR text) {
  if (text == nullptr) return nullptr;
  int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
  if (needed < 2) return nullptr;
  size_t n = static_cast<size_t>(needed) - 1;
  CountedStringBlock* block = AllocateBlock(n);
  if (block == nullptr) return nullptr;
  block->text[n] = 0;
  block->length = n;
  if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, block->text, needed) == 0) {
    HeapFree(GetProcessHeap(), 0, block);
    return nullptr;
  }
  return block;
}

CountedString& Assign(CountedString& handle, LPCWSTR text) {
  size_t length = TextLength(text);
  if (length == 0) {
    Release(handle);
    return handle;
  }
  if (Resize(handle, length)) CopyUnits(handle->text, text, length);
  return handle;
}

CountedString& Append(CountedString& handle, LPCWSTR text) {
  size_t added = TextLength(text);
  if (added == 0) return handle;
  size_t old = Length(handle);
  if (added > kMaxLength - old) return handle;
  if (Resize(handle, old + added)) CopyUnits(handle->text + old, text, added);
  return handle;
}

CountedString Copy(CountedString string) {
  if (string == nullptr) return nullptr;
  return FromUnits(string->text, static_cast<size_t>(string->length));
}

CountedString DirectoryPart(CountedString string) {
  if (string == nullptr) return nullptr;
  size_t length = static_cast<size_t>(string->length);
  const WCHAR* text = string->text;
  size_t separator = length;  // "none found"
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\\') separator = i;
  }
  if (separator == length) {
    for (size_t i = 0; i < length; ++i) {
      if (text[i] == '/') separator = i;
    }
  }
  if (separator == length || separator == 0) return nullptr;
  return FromUnits(text, separator);
}

void Release(CountedString& handle) {
  if (handle == nullptr) return;
  HeapFree(GetProcessHeap(), 0, handle);
  handle = nullptr;
}

size_t Length(CountedString string) {
  return string == nullptr ? 0 : static_cast<size_t>(string->length);
}

LPCWSTR Text(CountedString string) {
  return string == nullptr ? kEmptyText : string->text;
}

LPWSTR DuplicateText(LPCWSTR text) {
  size_t length = TextLength(text);
  if (length == 0) return nullptr;
  SIZE_T bytes = (length + 1) * sizeof(WCHAR);
  LPWSTR copy = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, bytes));
  if (copy == nullptr) return nullptr;
  BYTE* raw = reinterpret_cast<BYTE*>(copy);
  for (SIZE_T i = 0; i < bytes; ++i) raw[i] = 0;
  lstrcpyW(copy, text);
  return copy;
}

}  // namespace svd

// The last-error guard and the owners of the Windows handles the program
// opens: printers, registry keys and service control handles.
#pragma once
#include "win.h"

namespace svd {

// Keeps the last-error code of a failed call across what runs before its
// error line (log lines, releases), so that the line describes that call.
class KeepLastError {
 public:
  KeepLastError() : code_(GetLastError()) {}
  ~KeepLastError() { SetLastError(code_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD code_;
};

// Owns one handle and releases it with Close when it goes out of scope; a
// null handle is never released. The release keeps the last-error code.
template <typename Handle, auto Close>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) : handle_(other.handle_) { other.handle_ = nullptr; }
  UniqueHandle& operator=(UniqueHandle&& other) {
    if (this != &other) {
      Reset();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  // Releases the handle now.
  void Reset() {
    if (handle_ == nullptr) return;
    KeepLastError keep;
    Close(handle_);
    handle_ = nullptr;
  }

 private:
  Handle handle_ = nullptr;
};

typedef UniqueHandle<HANDLE, ClosePrinter> PrinterHandle;
typedef UniqueHandle<HKEY, RegCloseKey> RegistryKey;
typedef UniqueHandle<SC_HANDLE, CloseServiceHandle> ServiceHandle;

// The opened key, or an empty owner when RegOpenKeyExA fails.
inline RegistryKey OpenRegistryKey(HKEY root, LPCSTR path, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, access, &key) != ERROR_SUCCESS) return RegistryKey();
  return RegistryKey(key);
}

}  // namespace svd

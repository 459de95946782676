// Copying component files into place and reading their build numbers.
#include "components/file_staging.h"

#include "cleanup/deferred_delete.h"

#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"

namespace svd {

namespace {

// The copy moves the file in chunks of this many bytes.
constexpr DWORD kCopyChunk = 8192;
// A destination that cannot be created is tried this often, 50 ms apart,
// and never for longer than 10 seconds.
constexpr int kCreateAttempts = 100;
constexpr DWORD kCreateRetryDelay = 50;
constexpr DWORD kCreateTimeout = 10000;

// directory, a "\" unless the directory is empty or already ends with one,
// then name; in a zero-filled global-heap block sized to its parts, or null
// when memory runs out.
LPWSTR JoinPath(LPCWSTR directory, LPCWSTR name) {
  size_t directoryLength = TextLength(directory);
  size_t nameLength = TextLength(name);
  bool separator = directoryLength != 0 && directory[directoryLength - 1] != TEXT('\\');
  size_t units = directoryLength + (separator ? 1 : 0) + nameLength + 1;
  LPWSTR path = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, units * sizeof(WCHAR)));
  if (path == nullptr) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < directoryLength; ++i) path[at++] = directory[i];
  if (separator) path[at++] = TEXT('\\');
  for (size_t i = 0; i < nameLength; ++i) path[at++] = name[i];
  path[at] = 0;
  return path;
}

void FreePath(LPWSTR path) {
  if (path != nullptr) GlobalFree(path);
}

// Moves the rest of source into destination. False after error line 8 when
// a read fails or fewer bytes are written than were read: the destination
// is then incomplete.
bool CopyContents(InstallJob* job, HANDLE source, HANDLE destination, LPCWSTR destinationPath) {
  BYTE buffer[kCopyChunk];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, buffer, kCopyChunk, &read, nullptr)) {
      ErrorLine(job, ErrorId::CopyFailed, destinationPath);
      return false;
    }
    if (read != 0) {
      DWORD written = 0;
      BOOL wrote = WriteFile(destination, buffer, read, &written, nullptr);
      if (!wrote || written != read) {
        ErrorLine(job, ErrorId::CopyFailed, destinationPath);
        return false;
      }
    }
    if (read < kCopyChunk) return true;
  }
}

}  // namespace

HANDLE CreateDestinationFile(InstallJob* job, LPCWSTR path) {
  // The destination is always a file of the product.
  MakeWritable(path);
  DWORD start = GetTickCount();
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    // The caller's error line describes this failure, not the clock, the
    // log line or the pause.
    KeepLastError keep;
    DWORD elapsed = GetTickCount() - start;  // unsigned: a wrap of the counter does no harm
    if (elapsed > kCreateTimeout) {
      LogLine(job, TEXT("CreateFile - timeout"));
      return INVALID_HANDLE_VALUE;
    }
    Sleep(kCreateRetryDelay);
  }
  return INVALID_HANDLE_VALUE;
}

HRESULT CopyFile(InstallJob* job, LPCWSTR targetDirectory, LPCWSTR fileName,
                 LPWSTR destinationPathOut, bool reportErrors) {
  TraceScope trace(job, TEXT(">CopyFile %s to %s [%d])"), fileName, targetDirectory,
                   reportErrors ? 1 : 0);
  HRESULT result = E_FAIL;
  LPWSTR sourcePath = JoinPath(Text(job->SourceDir), fileName);
  LPWSTR destinationPath = JoinPath(targetDirectory, fileName);
  bool ready = sourcePath != nullptr && destinationPath != nullptr;
  // Without memory for the paths the source cannot be opened at all.
  if (!ready && reportErrors) ErrorLine(job, ErrorId::CantOpenSource, fileName);
  if (destinationPathOut != nullptr) {
    // The caller's buffer holds MAX_PATH units; a longer path is refused
    // rather than written past it.
    destinationPathOut[0] = 0;
    if (ready && TextLength(destinationPath) < MAX_PATH) {
      TextCopy(destinationPathOut, MAX_PATH, destinationPath);
    } else if (ready) {
      ready = false;
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      if (reportErrors) ErrorLine(job, ErrorId::CantOpenDestination, destinationPath);
    }
  }

  if (ready) {
    HANDLE source = CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (source == INVALID_HANDLE_VALUE) {
      if (reportErrors) ErrorLine(job, ErrorId::CantOpenSource, fileName);
    } else {
      HANDLE destination = CreateDestinationFile(job, destinationPath);
      if (destination == INVALID_HANDLE_VALUE) {
        if (reportErrors) ErrorLine(job, ErrorId::CantOpenDestination, destinationPath);
      } else {
        if (CopyContents(job, source, destination, destinationPath)) result = S_OK;
        CloseHandle(destination);
      }
      CloseHandle(source);
    }
  }

  FreePath(destinationPath);
  FreePath(sourcePath);
  LogLine(job, result == S_OK ? TEXT("Copy Succeeded :)") : TEXT("Copy Failed :("));
  return result;
}

int GetFileBuildNumber(LPCWSTR path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return -1;
  LPVOID block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size);
  if (block == nullptr) return -1;
  int build = -1;
  if (GetFileVersionInfoW(path, 0, size, block)) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block, TEXT("\\"), reinterpret_cast<LPVOID*>(&info), &length) &&
        info != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
      build = static_cast<int>(LOWORD(info->dwProductVersionLS));
    }
  }
  GlobalFree(block);
  return build;
}

}  // namespace svd

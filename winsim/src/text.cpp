// System message texts (FormatMessageW) in English, code page conversion
// and kernel32's string helpers.
#include "core.h"

#include <winsim/control.h>

#include <cstring>
#include <map>

#include "saved_record.h"

namespace winsim {
namespace {

// The system's English message texts, as Windows 10 and later report them.
const std::map<DWORD, const char*>& Messages() {
  static const std::map<DWORD, const char*> texts = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {4, "The system cannot open the file."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {11, "An attempt was made to load a program with an incorrect format."},
      {12, "The access code is invalid."},
      {13, "The data is invalid."},
      {14, "Not enough memory resources are available to complete this operation."},
      {15, "The system cannot find the drive specified."},
      {21, "The device is not ready."},
      {24, "The program issued a command but the command length is incorrect."},
      {29, "The system cannot write to the specified device."},
      {30, "The system cannot read from the specified device."},
      {31, "A device attached to the system is not functioning."},
      {32, "The process cannot access the file because it is being used by another process."},
      {33, "The process cannot access the file because another process has locked a portion "
           "of the file."},
      {38, "Reached the end of the file."},
      {39, "The disk is full."},
      {50, "The request is not supported."},
      {53, "The network path was not found."},
      {80, "The file exists."},
      {87, "The parameter is incorrect."},
      {109, "The pipe has been ended."},
      {112, "There is not enough space on the disk."},
      {120, "This function is not supported on this system."},
      {121, "The semaphore timeout period has expired."},
      {122, "The data area passed to a system call is too small."},
      {123, "The filename, directory name, or volume label syntax is incorrect."},
      {124, "The system call level is not correct."},
      {126, "The specified module could not be found."},
      {127, "The specified procedure could not be found."},
      {145, "The directory is not empty."},
      {161, "The specified path is invalid."},
      {170, "The requested resource is in use."},
      {183, "Cannot create a file when that file already exists."},
      {193, "%1 is not a valid Win32 application."},
      {203, "The system could not find the environment option that was entered."},
      {206, "The filename or extension is too long."},
      {234, "More data is available."},
      {258, "The wait operation timed out."},
      {259, "No more data is available."},
      {267, "The directory name is invalid."},
      {317, "The system cannot find message text for message number 0x%1 in the message file "
            "for %2."},
      {487, "Attempt to access invalid address."},
      {998, "Invalid access to memory location."},
      {1004, "Invalid flags."},
      {1006, "The volume for a file has been externally altered so that the opened file is no "
             "longer valid."},
      {1009, "The configuration registry database is corrupt."},
      {1010, "The configuration registry key is invalid."},
      {1011, "The configuration registry key could not be opened."},
      {1012, "The configuration registry key could not be read."},
      {1013, "The configuration registry key could not be written."},
      {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
      {1051, "A stop control has been sent to a service that other running services are "
             "dependent on."},
      {1052, "The requested control is not valid for this service."},
      {1053, "The service did not respond to the start or control request in a timely fashion."},
      {1054, "A thread could not be created for the service."},
      {1055, "The service database is locked."},
      {1056, "An instance of the service is already running."},
      {1057, "The account name is invalid or does not exist, or the password is invalid for the "
             "account name specified."},
      {1058, "The service cannot be started, either because it is disabled or because it has no "
             "enabled devices associated with it."},
      {1059, "Circular service dependency was specified."},
      {1060, "The specified service does not exist as an installed service."},
      {1061, "The service cannot accept control messages at this time."},
      {1062, "The service has not been started."},
      {1063, "The service process could not connect to the service controller."},
      {1064, "An exception occurred in the service when handling the control request."},
      {1066, "The service has returned a service-specific error code."},
      {1067, "The process terminated unexpectedly."},
      {1068, "The dependency service or group failed to start."},
      {1069, "The service did not start due to a logon failure."},
      {1070, "After starting, the service hung in a start-pending state."},
      {1071, "The specified service database lock is invalid."},
      {1072, "The specified service has been marked for deletion."},
      {1073, "The specified service already exists."},
      {1077, "No attempts to start the service have been made since the last boot."},
      {1115, "A system shutdown is in progress."},
      {1168, "Element not found."},
      {1223, "The operation was canceled by the user."},
      {1314, "A required privilege is not held by the client."},
      {1400, "Invalid window handle."},
      {1401, "Invalid menu handle."},
      {1408, "Invalid window; it belongs to other thread."},
      {1411, "Class does not exist."},
      {1460, "This operation returned because the timeout period expired."},
      {1702, "The binding handle is invalid."},
      {1722, "The RPC server is unavailable."},
      {1726, "The remote procedure call failed."},
      {1795, "The specified printer driver is already installed."},
      {1796, "The specified port is unknown."},
      {1797, "The printer driver is unknown."},
      {1798, "The print processor is unknown."},
      {1799, "The specified separator file is invalid."},
      {1800, "The specified priority is invalid."},
      {1801, "The printer name is invalid."},
      {1802, "The printer already exists."},
      {1803, "The printer command is invalid."},
      {1804, "The specified datatype is invalid."},
      {1805, "The environment specified is invalid."},
      {1812, "The specified image file did not contain a resource section."},
      {1813, "The specified resource type cannot be found in the image file."},
      {1814, "The specified resource name cannot be found in the image file."},
      {1815, "The specified resource language ID cannot be found in the image file."},
      {1905, "The printer has been deleted."},
      {1906, "The state of the printer is invalid."},
      {3000, "The specified print monitor is unknown."},
      {3001, "The specified printer driver is currently in use."},
      {3002, "The spool file was not found."},
      {3003, "A StartDocPrinter call was not issued."},
      {3004, "An AddJob call was not issued."},
      {3005, "The specified print processor has already been installed."},
      {3006, "The specified print monitor has already been installed."},
      {3007, "The specified print monitor does not have the required functions."},
      {3008, "The specified print monitor is currently in use."},
      {3009, "The requested operation is not allowed when there are jobs queued to the printer."},
      {3010, "The requested operation is successful. Changes will not be effective until the "
             "system is rebooted."},
      {3011, "The requested operation is successful. Changes will not be effective until the "
             "service is restarted."},
      {3012, "No printers were found."},
      {3013, "The printer driver is known to be unreliable."},
      {3014, "The printer driver is known to harm the system."},
      // HRESULTs of the COM facility that have texts of their own.
      {0x80004001u, "Not implemented"},
      {0x80004005u, "Unspecified error"},
  };
  return texts;
}

MessageBehaviour g_behaviour;

void ResetText() { g_behaviour = MessageBehaviour(); }

const SavedFields<MessageBehaviour>& BehaviourFields() {
  static const SavedFields<MessageBehaviour> fields = {
      Field("englishTexts", &MessageBehaviour::englishTexts),
  };
  return fields;
}

// text.txt: the behaviour of the system's message texts.
void SaveText(const std::string& dir) {
  WriteTextFile(dir + "/text.txt", SavedLine("behaviour", g_behaviour, BehaviourFields()));
}

void LoadText(const std::string& dir) {
  const std::string file = dir + "/text.txt";
  ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] != "behaviour") Fatal(file + ": unreadable line " + line[0]);
    ReadSavedLine(line, BehaviourFields(), &g_behaviour, file);
  });
}

ModuleRegistrar textRegistrar{"text", 2, &ResetText, &SaveText, &LoadText};

// The text of a code, or null. HRESULTs of FACILITY_WIN32 carry the text of
// their Win32 code.
const char* MessageText(DWORD code) {
  auto it = Messages().find(code);
  if (it != Messages().end()) return it->second;
  if ((code & 0xFFFF0000u) == 0x80070000u) {
    it = Messages().find(code & 0xFFFF);
    if (it != Messages().end()) return it->second;
  }
  return nullptr;
}

}  // namespace

void SetMessageBehaviour(const MessageBehaviour& behaviour) { g_behaviour = behaviour; }
MessageBehaviour GetMessageBehaviour() { return g_behaviour; }

}  // namespace winsim

extern "C" {

const winsim::DocumentedErrors kFormatMessageWErrors{
    "FormatMessageW", {ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND}};

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                            va_list* Arguments) {
  std::string detail = std::to_string(dwMessageId) + " flags " + winsim::Hex(dwFlags) +
                       " language " + winsim::Hex(dwLanguageId);
  if (winsim::Enter("FormatMessageW", detail)) return 0;
  const DWORD known = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_FROM_SYSTEM;
  if ((dwFlags & ~known) != 0 || !(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM))
    winsim::Unsupported("FormatMessageW", "flags " + winsim::Hex(dwFlags) +
                                              " (only system messages are held)");
  if (lpBuffer == nullptr) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = winsim::MessageText(dwMessageId);
  if (text == nullptr) {
    winsim::SetError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  WORD primary = dwLanguageId & 0x3FF;
  bool english = dwLanguageId == 0 || primary == LANG_ENGLISH ||
                 dwLanguageId == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
  if (!english || !winsim::g_behaviour.englishTexts) {
    winsim::SetError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return 0;
  }
  std::u16string message = winsim::Widen(text);
  if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && message.find(u'%') != std::u16string::npos)
    winsim::Unsupported("FormatMessageW", "inserts in message " + std::to_string(dwMessageId));
  message += u"\r\n";
  DWORD length = static_cast<DWORD>(message.size());
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t units = std::max<size_t>(length + 1, nSize);
    auto* block = static_cast<WCHAR*>(winsim::heap::Allocate(winsim::heap::kLocal,
                                                             units * sizeof(WCHAR), true));
    std::memcpy(block, message.c_str(), (length + 1) * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR*>(lpBuffer) = block;
    return length;
  }
  if (nSize < length + 1) {
    winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, message.c_str(), (length + 1) * sizeof(WCHAR));
  return length;
}

const winsim::DocumentedErrors kMultiByteToWideCharErrors{
    "MultiByteToWideChar", {ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION}};

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  if (winsim::Enter("MultiByteToWideChar", std::to_string(cbMultiByte))) return 0;
  if (CodePage != CP_ACP && CodePage != CP_UTF8)
    winsim::Unsupported("MultiByteToWideChar", "code page " + std::to_string(CodePage));
  if (dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED))
    winsim::Unsupported("MultiByteToWideChar", "flags " + winsim::Hex(dwFlags));
  if (CodePage == CP_UTF8 && dwFlags != 0) {
    winsim::SetError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t bytes = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : cbMultiByte;
  std::string input(lpMultiByteStr, bytes);
  std::u16string output = CodePage == CP_UTF8 ? winsim::Widen(input) : winsim::FromAnsi(input);
  if (cchWideChar == 0) return static_cast<int>(output.size());
  if (output.size() > static_cast<size_t>(cchWideChar)) {
    std::memcpy(lpWideCharStr, output.data(), cchWideChar * sizeof(WCHAR));
    winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpWideCharStr, output.data(), output.size() * sizeof(WCHAR));
  return static_cast<int>(output.size());
}

const winsim::DocumentedErrors kWideCharToMultiByteErrors{
    "WideCharToMultiByte", {ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION}};

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                               int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                               LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (winsim::Enter("WideCharToMultiByte", std::to_string(cchWideChar))) return 0;
  if (CodePage != CP_ACP && CodePage != CP_UTF8)
    winsim::Unsupported("WideCharToMultiByte", "code page " + std::to_string(CodePage));
  if (dwFlags != 0) winsim::Unsupported("WideCharToMultiByte", "flags " + winsim::Hex(dwFlags));
  if (lpDefaultChar != nullptr) winsim::Unsupported("WideCharToMultiByte", "a default character");
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t units = cchWideChar == -1 ? winsim::WLen(lpWideCharStr) + 1 : cchWideChar;
  std::u16string input(lpWideCharStr, units);
  std::string output = CodePage == CP_UTF8 ? winsim::Narrow(input) : winsim::ToAnsi(input);
  if (lpUsedDefaultChar) {
    *lpUsedDefaultChar = FALSE;
    if (CodePage == CP_ACP)
      for (size_t i = 0; i < input.size(); ++i)
        if (output[i] == '?' && input[i] != u'?') *lpUsedDefaultChar = TRUE;
  }
  if (cbMultiByte == 0) return static_cast<int>(output.size());
  if (output.size() > static_cast<size_t>(cbMultiByte)) {
    std::memcpy(lpMultiByteStr, output.data(), cbMultiByte);
    winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpMultiByteStr, output.data(), output.size());
  return static_cast<int>(output.size());
}

int WINAPI lstrlenW(LPCWSTR lpString) {
  return static_cast<int>(winsim::WLen(lpString));
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  size_t n = winsim::WLen(lpString2);
  std::memmove(lpString1, lpString2, (n + 1) * sizeof(WCHAR));
  return lpString1;
}

const winsim::DocumentedErrors kCompareStringOrdinalErrors{
    "CompareStringOrdinal", {ERROR_INVALID_PARAMETER}};

int WINAPI CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2,
                                int cchCount2, BOOL bIgnoreCase) {
  if (winsim::Enter("CompareStringOrdinal")) return 0;
  if (lpString1 == nullptr || lpString2 == nullptr || cchCount1 < -1 || cchCount2 < -1) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string a(lpString1, cchCount1 == -1 ? winsim::WLen(lpString1) : cchCount1);
  std::u16string b(lpString2, cchCount2 == -1 ? winsim::WLen(lpString2) : cchCount2);
  if (bIgnoreCase) {
    // Ordinal comparison ignoring case compares the upper-case forms; the
    // machine folds the letters of Latin-1 and ASCII.
    auto upper = [](std::u16string s) {
      for (char16_t& c : s) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
          c = static_cast<char16_t>(c - 0x20);
      }
      return s;
    };
    a = upper(a);
    b = upper(b);
  }
  int cmp = a.compare(b);
  return cmp < 0 ? CSTR_LESS_THAN : (cmp == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN);
}

}  // extern "C"

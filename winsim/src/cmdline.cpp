// The process command line (GetCommandLineW) and its splitting into
// arguments (CommandLineToArgvW).
#include "core.h"

#include <winsim/control.h>

#include <cstring>

namespace winsim {
namespace {

void ResetCommandLine() {
  MainProgram().commandLine = std::u16string(u"\"") + machine::kInstallerPath + u"\"";
}
void NoSave(const std::string&) {}
void NoLoad(const std::string&) {}
ModuleRegistrar cmdlineRegistrar{"cmdline", 3, &ResetCommandLine, &NoSave, &NoLoad};

bool Blank(char16_t c) { return c == u' ' || c == u'\t'; }

// Splits a command line the way shell32 does (the C runtime's rules):
// - the program name ends at the next quote when it begins with one, else at
//   the first blank; backslashes and quotes have no other meaning in it;
// - later arguments are separated by blanks outside quotes;
// - 2n backslashes before a quote give n backslashes and the quote opens or
//   closes a quoted part; 2n+1 backslashes give n backslashes and a literal
//   quote; backslashes not before a quote are literal;
// - inside a quoted part, a doubled quote gives a literal quote (three
//   quotes in a row count as one literal quote and the state goes on).
std::vector<std::u16string> Split(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  std::u16string first;
  if (i < line.size() && line[i] == u'"') {
    ++i;
    while (i < line.size() && line[i] != u'"') first.push_back(line[i++]);
    if (i < line.size()) ++i;  // the closing quote
  } else {
    while (i < line.size() && !Blank(line[i])) first.push_back(line[i++]);
  }
  args.push_back(first);
  while (i < line.size() && Blank(line[i])) ++i;
  if (i >= line.size()) return args;

  std::u16string current;
  int quotes = 0;
  size_t backslashes = 0;
  while (i < line.size()) {
    char16_t c = line[i];
    if (Blank(c) && quotes == 0) {
      args.push_back(current);
      current.clear();
      backslashes = 0;
      while (i < line.size() && Blank(line[i])) ++i;
      if (i >= line.size()) return args;
      continue;
    }
    if (c == u'\\') {
      current.push_back(c);
      ++backslashes;
      ++i;
      continue;
    }
    if (c == u'"') {
      if (backslashes % 2 == 0) {
        current.resize(current.size() - backslashes / 2);
        ++quotes;
      } else {
        current.resize(current.size() - backslashes / 2 - 1);
        current.push_back(u'"');
      }
      ++i;
      backslashes = 0;
      while (i < line.size() && line[i] == u'"') {
        if (++quotes == 3) {
          current.push_back(u'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current.push_back(c);
    backslashes = 0;
    ++i;
  }
  args.push_back(current);
  return args;
}

}  // namespace

void SetCommandLine(const std::u16string& commandLine) { MainProgram().commandLine = commandLine; }
std::u16string CommandLine() { return MainProgram().commandLine; }

}  // namespace winsim

extern "C" {

LPWSTR WINAPI GetCommandLineW(void) {
  winsim::Enter("GetCommandLineW");
  return &winsim::Program().commandLine[0];
}

const winsim::DocumentedErrors kCommandLineToArgvWErrors{
    "CommandLineToArgvW", {ERROR_NOT_ENOUGH_MEMORY}};

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
  if (winsim::Enter("CommandLineToArgvW", winsim::Narrow(lpCmdLine))) return nullptr;
  if (lpCmdLine == nullptr || pNumArgs == nullptr) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::u16string> args;
  if (*lpCmdLine == 0) {
    // An empty command line gives the path of the running program.
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    args.push_back(std::u16string(path, n));
  } else {
    args = winsim::Split(lpCmdLine);
  }
  // One block: the pointer array (closed by a null pointer), then the texts.
  size_t pointerBytes = (args.size() + 1) * sizeof(LPWSTR);
  size_t textUnits = 0;
  for (const std::u16string& arg : args) textUnits += arg.size() + 1;
  auto* block = static_cast<char*>(winsim::heap::Allocate(
      winsim::heap::kLocal, pointerBytes + textUnits * sizeof(WCHAR), true));
  auto** argv = reinterpret_cast<LPWSTR*>(block);
  auto* text = reinterpret_cast<WCHAR*>(block + pointerBytes);
  for (size_t k = 0; k < args.size(); ++k) {
    argv[k] = text;
    std::memcpy(text, args[k].c_str(), (args[k].size() + 1) * sizeof(WCHAR));
    text += args[k].size() + 1;
  }
  argv[args.size()] = nullptr;
  *pNumArgs = static_cast<int>(args.size());
  return argv;
}

}  // extern "C"

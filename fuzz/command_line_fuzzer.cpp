// The command line, through the program's entry: any text as the process
// command line, split by the stand-in's CommandLineToArgvW and dispatched by
// svd::InstallerMain. Properties: the exit code is the one the command word
// allows, a run leaves no memory, handle or key of its own behind, /quiet
// shows no dialog, and /log writes a report that ends with the exit code.
#include "fuzz_common.h"

#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <initializer_list>

#include "install/entry.h"

namespace {

char16_t FoldAsciiLetter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

// Equal when every unit is equal after folding A to Z to a to z.
bool EqualsAsciiNoCase(const std::u16string& text, const std::u16string& word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (FoldAsciiLetter(text[i]) != FoldAsciiLetter(word[i])) return false;
  }
  return true;
}

// The exit codes that a run with these arguments may end with.
std::initializer_list<int> AllowedExitCodes(int count, LPWSTR* arguments) {
  static const std::initializer_list<int> kNothing = {6};
  static const std::initializer_list<int> kCheckDriver = {103, 3};
  static const std::initializer_list<int> kInit = {200, 102, 3};
  static const std::initializer_list<int> kUninstall = {2, 100, 101};
  static const std::initializer_list<int> kInstall = {1, 100, 101};
  static const std::initializer_list<int> kSetDefault = {4};
  if (count < 2) return kNothing;
  std::u16string word = arguments[1];
  if (EqualsAsciiNoCase(word, u"onChkDrv")) return kCheckDriver;
  if (EqualsAsciiNoCase(word, u"onInit")) return kInit;
  if (EqualsAsciiNoCase(word, u"un") || EqualsAsciiNoCase(word, u"uninstall")) return kUninstall;
  if (EqualsAsciiNoCase(word, u"removetray")) return kNothing;
  if (EqualsAsciiNoCase(word, u"in") || EqualsAsciiNoCase(word, u"install") ||
      EqualsAsciiNoCase(word, u"serverinstall"))
    return kInstall;
  if (word == u"def.set") return kSetDefault;
  return kNothing;
}

// What the switches after the command word ask for: /quiet, and whether the
// last /log switch names no file (the report then goes to %TEMP%).
struct Switches {
  bool quiet = false;
  bool defaultReport = false;
};

Switches SwitchesOf(int count, LPWSTR* arguments) {
  Switches switches;
  for (int i = 2; i < count; ++i) {
    std::u16string argument = arguments[i];
    if (EqualsAsciiNoCase(argument, u"/quiet")) switches.quiet = true;
    if (EqualsAsciiNoCase(argument, u"/log") || EqualsAsciiNoCase(argument, u"/log=")) {
      switches.defaultReport = true;
    } else if (argument.size() > 5 && EqualsAsciiNoCase(argument.substr(0, 5), u"/log=")) {
      switches.defaultReport = false;
    }
  }
  return switches;
}

const std::u16string kDefaultReport = u"C:\\Users\\Administrator\\AppData\\Local\\Temp\\SolvendaleSetup.log";

struct Balance {
  size_t blocks = winsim::LiveBlocks();
  size_t keys = winsim::OpenRegistryKeys();
  size_t printers = winsim::OpenPrinterHandles();
  size_t services = winsim::OpenServiceHandles();
  size_t files = winsim::LiveHandles("file");
  size_t mutexes = winsim::LiveHandles("mutex");
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  winsim::ResetMachine();
  // A machine with the product installed and a help window open, so that the
  // probes, the jobs and the help-window closing all have work to do.
  winsim::StartTrayCompanion(winsim::TrayPath());
  winsim::OpenHelpWindow();
  std::u16string line = fuzz::DecodeText(data, size);
  winsim::SetCommandLine(line);

  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(line.c_str(), &count);
  FUZZ_CHECK(arguments != nullptr);
  FUZZ_CHECK(count >= 1);
  for (int i = 0; i < count; ++i) FUZZ_CHECK(arguments[i] != nullptr);
  FUZZ_CHECK(arguments[count] == nullptr);
  std::initializer_list<int> allowed = AllowedExitCodes(count, arguments);
  Switches switches = SwitchesOf(count, arguments);
  LocalFree(arguments);

  Balance before;
  int exitCode = svd::InstallerMain(winsim::ProgramInstance());
  Balance after;
  bool allowedCode = false;
  for (int code : allowed) allowedCode = allowedCode || code == exitCode;
  if (!allowedCode) {
    std::fprintf(stderr, "exit code %d for the command line \"%s\"\n", exitCode,
                 fuzz::Ascii(line).c_str());
  }
  FUZZ_CHECK(allowedCode);
  FUZZ_CHECK(after.blocks == before.blocks);
  FUZZ_CHECK(after.keys == before.keys);
  FUZZ_CHECK(after.printers == before.printers);
  FUZZ_CHECK(after.services == before.services);
  FUZZ_CHECK(after.files == before.files);
  FUZZ_CHECK(after.mutexes == before.mutexes);
  if (switches.quiet) FUZZ_CHECK(winsim::DialogsShown().empty());
  if (switches.defaultReport) {
    std::vector<uint8_t> bytes = winsim::FileBytes(kDefaultReport);
    std::string report(bytes.begin(), bytes.end());
    std::string ending = "\r\nExit code: " + std::to_string(exitCode) + " (";
    FUZZ_CHECK(report.find(ending) != std::string::npos);
  }
  return 0;
}

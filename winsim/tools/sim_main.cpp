// solvendale-sim: runs the program once on a simulated machine kept in a
// directory, like one run of the installer on one PC.
//
//   solvendale-sim --machine DIR [--new] [--shift] [--dialog close|enter|escape|caption]
//                  [--service] [--print PATH]
//                  [--user-queue NAME SUBKEY COMMENT LOCATION] [--default NAME]
//                  [--state] [--dump FILE] [--file PATH]... [--user-value KEY NAME]...
//                  -- <args...>
//
// --service runs the program as a deployment tool's service does: as SYSTEM
// in session 0, on a window station that is not interactive; --print shows
// the text of a file of the machine after the run (a report).
//
// --user-queue adds, before the run, a queue of the product's driver as the
// product itself would have set it up (with its settings key, marked
// "deleted"); --default makes a printer the default printer; --state prints a
// short picture of the spooler, the tray registration and the files left for
// reboot after the run.
//
// --dump writes, after the run, the machine's printing state to FILE, one
// record per line with tab-separated fields, in the layout of the Wine
// tests' state reader (monitor, port, driver, printer, data, default,
// run, pending, traywindow), followed by one "file PATH 1|0" record per
// --file path (whether the file exists) and one "value KEY NAME 1|0" record
// per --user-value (whether the value exists under
// HKEY_CURRENT_USER\KEY).
//
// The machine is loaded from DIR (a fresh default machine with --new or when
// DIR holds none), the command line is the installer's path followed by the
// arguments, the program runs, its exit code is printed, and the machine is
// saved back to DIR.
#include <windows.h>
#include <winsim/control.h>
#include <winsim/spooler_control.h>

#if __has_include(<winsim/desktop_control.h>)
#include <winsim/desktop_control.h>
#define SIM_HAS_DESKTOP 1
#else
#define SIM_HAS_DESKTOP 0
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

using winsim::Narrow;
using winsim::Widen;

int Usage() {
  std::fprintf(stderr,
               "usage: solvendale-sim --machine DIR [--new] [--shift]"
               " [--dialog close|enter|escape|caption] [--service] [--print PATH]"
               " [--user-queue NAME SUBKEY COMMENT LOCATION] [--default NAME]"
               " [--state] [--dump FILE] [--file PATH]... [--user-value KEY NAME]..."
               " -- <args...>\n");
  return 64;
}

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::u16string Quote(const std::u16string& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string::npos) return arg;
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
    } else if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
      backslashes = 0;
    } else {
      out.append(backslashes, u'\\');
      backslashes = 0;
    }
    if (c != u'\\') out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

struct UserQueue {
  std::string name, subkey, comment, location;
};

// A queue of the product's driver as the product sets one up: its settings
// key under the user's registry, and the key's name in the printer data.
void AddUserQueue(const UserQueue& queue) {
  winsim::PrinterSetup printer;
  printer.name = Widen(queue.name);
  printer.ports = u"Solvendale:";
  printer.driverName = u"Solvendale printer";
  printer.comment = Widen(queue.comment);
  printer.location = Widen(queue.location);
  winsim::PutPrinter(printer);
  winsim::PutPrinterString(printer.name, "PrinterDriverData", "SubKey", queue.subkey);
  winsim::PutPrinterString(printer.name, "DsUser", "SubKey", queue.subkey);
  std::u16string key = u"HKEY_CURRENT_USER\\Software\\Quarlen Software KFT\\Solvendale\\Solvendales\\" +
                       Widen(queue.subkey);
  winsim::CreateRegKey(key);
  winsim::SetRegDword(key, u"deleted", 1);
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

void PrintState() {
  std::printf("state:\n");
  std::printf("  spooler service: %s\n",
              winsim::SpoolerServiceState() == SERVICE_RUNNING ? "running" : "not running");
  std::printf("  port monitor \"Solvendale:\": %s\n", YesNo(winsim::HasMonitor(u"Solvendale:")));
  winsim::DriverState driver;
  bool hasDriver = winsim::FindDriver(u"Solvendale printer", u"Windows x64", &driver);
  std::printf("  driver \"Solvendale printer\": %s\n", YesNo(hasDriver));
  std::u16string defaultPrinter = winsim::DefaultPrinterName();
  for (const winsim::PrinterState& printer : winsim::Printers()) {
    if (printer.pendingDeletion) continue;
    std::printf("  queue \"%s\": port %s, driver %s", Narrow(printer.name).c_str(),
                Narrow(printer.ports).c_str(), Narrow(printer.driverName.value_or(u"")).c_str());
    if (printer.comment && !printer.comment->empty())
      std::printf(", comment \"%s\"", Narrow(*printer.comment).c_str());
    if (printer.location && !printer.location->empty())
      std::printf(", location \"%s\"", Narrow(*printer.location).c_str());
    winsim::PrinterDataEntry subkey;
    if (winsim::GetPrinterDataEntry(printer.name, "PrinterDriverData", "SubKey", &subkey))
      std::printf(", SubKey \"%s\"", std::string(subkey.bytes.begin(), subkey.bytes.end()).c_str());
    if (printer.name == defaultPrinter) std::printf(", default printer");
    std::printf("\n");
  }
  std::u16string run;
  bool registered = winsim::GetRegString(
      u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", u"SolvendaleTray", &run);
  std::printf("  tray companion: %s, %s\n",
              registered ? ("registered as " + Narrow(run)).c_str() : "not registered",
              winsim::TrayCompanion().running ? "running" : "not running");
  std::vector<std::u16string> pending = winsim::PendingFileRenameOperations();
  for (size_t k = 0; k + 1 < pending.size(); k += 2)
    if (pending[k + 1].empty()) std::printf("  deleted at reboot: %s\n", Narrow(pending[k]).c_str());
}


// One text field of a dump record, escaped like the state reader's.
std::string DumpField(const std::string& text) {
  std::string out = "\t";
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out.push_back(c);
  }
  return out;
}

std::string DumpField(const std::optional<std::u16string>& text) {
  return text ? DumpField(Narrow(*text)) : std::string("\t(null)");
}

std::string DumpNumber(DWORD value, bool hex) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), hex ? "\t0x%08lX" : "\t%lu", static_cast<unsigned long>(value));
  return buffer;
}

// The printer data text of a REG_SZ value without its terminator; other
// types as hex digits.
std::string DataText(const winsim::PrinterDataEntry& entry) {
  if (entry.type == REG_SZ) {
    std::string text(entry.bytes.begin(), entry.bytes.end());
    size_t end = text.find('\0');
    return DumpField(end == std::string::npos ? text : text.substr(0, end));
  }
  std::string hex = "\t";
  for (uint8_t b : entry.bytes) {
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02X", b);
    hex += digits;
  }
  return hex;
}

struct UserValue {
  std::string key, name;
};

bool WriteDump(const std::string& path, const std::vector<std::string>& files,
               const std::vector<UserValue>& values) {
  std::string out;
  for (const winsim::MonitorState& monitor : winsim::Monitors()) {
    out += "monitor" + DumpField(Narrow(monitor.name)) + DumpField(Narrow(monitor.environment)) +
           DumpField(Narrow(monitor.dll)) + "\n";
  }
  for (const std::u16string& port : winsim::Ports()) out += "port" + DumpField(Narrow(port)) + "\n";
  for (const winsim::DriverState& driver : winsim::Drivers()) {
    if (driver.environment != u"Windows x64") continue;
    out += "driver" + DumpField(Narrow(driver.name)) + DumpNumber(driver.version, false) +
           DumpField(Narrow(driver.environment)) + DumpField(driver.driverPath) +
           DumpField(driver.dataFile) + DumpField(driver.configFile) +
           DumpField(driver.helpFile) + DumpField(driver.manufacturer) +
           DumpField(driver.provider) + "\n";
  }
  out += "driverdir" + DumpField(Narrow(winsim::DriverDirectory())) + "\n";
  std::vector<winsim::PrinterState> printers;
  for (const winsim::PrinterState& printer : winsim::Printers())
    if (!printer.pendingDeletion) printers.push_back(printer);
  for (const winsim::PrinterState& printer : printers) {
    out += "printer" + DumpField(Narrow(printer.name)) + DumpField(Narrow(printer.ports)) +
           DumpField(printer.driverName) + DumpField(printer.comment) +
           DumpField(printer.location) + DumpNumber(printer.attributes, true) +
           DumpField(printer.printProcessor) + DumpField(printer.datatype) + "\n";
  }
  for (const winsim::PrinterState& printer : printers) {
    for (const char* key : {"PrinterDriverData", "DsUser"}) {
      for (const winsim::PrinterDataEntry& entry : printer.data) {
        if (entry.key != key) continue;
        out += "data" + DumpField(Narrow(printer.name)) + DumpField(entry.key) +
               DumpField(entry.value) + DumpNumber(entry.type, false) + DataText(entry) + "\n";
      }
    }
  }
  std::u16string defaultPrinter = winsim::DefaultPrinterName();
  if (!defaultPrinter.empty()) {
    out += "default" + DumpField(Narrow(defaultPrinter)) + "\n";
    out += "default203" + DumpField(Narrow(defaultPrinter)) + "\n";
  }
  std::u16string run;
  if (winsim::GetRegString(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                           u"SolvendaleTray", &run)) {
    out += "run" + DumpField(Narrow(run)) + "\n";
  }
  std::vector<std::u16string> pending = winsim::PendingFileRenameOperations();
  for (size_t k = 0; k + 1 < pending.size(); k += 2)
    out += "pending" + DumpField(Narrow(pending[k])) + DumpField(Narrow(pending[k + 1])) + "\n";
  if (winsim::TrayCompanion().running) out += "traywindow\n";
  for (const std::string& file : files)
    out += "file" + DumpField(file) + (winsim::FileExists(Widen(file)) ? "\t1\n" : "\t0\n");
  for (const UserValue& value : values) {
    bool exists = winsim::RegValueExists(u"HKEY_CURRENT_USER\\" + Widen(value.key), Widen(value.name));
    out += "value" + DumpField(value.key) + DumpField(value.name) + (exists ? "\t1\n" : "\t0\n");
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string machine;
  bool fresh = false;
  bool shift = false;
  std::string dialog;
  bool state = false;
  bool service = false;
  std::vector<std::string> printed;
  std::vector<UserQueue> userQueues;
  std::string defaultName;
  std::string dumpPath;
  std::vector<std::string> dumpFiles;
  std::vector<UserValue> dumpValues;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--machine" && i + 1 < argc) {
      machine = argv[++i];
    } else if (arg == "--new") {
      fresh = true;
    } else if (arg == "--shift") {
      shift = true;
    } else if (arg == "--dialog" && i + 1 < argc) {
      dialog = argv[++i];
    } else if (arg == "--state") {
      state = true;
    } else if (arg == "--service") {
      service = true;
    } else if (arg == "--print" && i + 1 < argc) {
      printed.push_back(argv[++i]);
    } else if (arg == "--user-queue" && i + 4 < argc) {
      userQueues.push_back({argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]});
      i += 4;
    } else if (arg == "--default" && i + 1 < argc) {
      defaultName = argv[++i];
    } else if (arg == "--dump" && i + 1 < argc) {
      dumpPath = argv[++i];
    } else if (arg == "--file" && i + 1 < argc) {
      dumpFiles.push_back(argv[++i]);
    } else if (arg == "--user-value" && i + 2 < argc) {
      dumpValues.push_back({argv[i + 1], argv[i + 2]});
      i += 2;
    } else {
      return Usage();
    }
  }
  if (machine.empty()) return Usage();

  if (fresh || !winsim::LoadMachine(machine)) winsim::ResetMachine();
  for (const UserQueue& queue : userQueues) AddUserQueue(queue);
  if (!defaultName.empty()) winsim::SetDefaultPrinterName(Widen(defaultName));

  std::u16string commandLine = u"\"";
  commandLine += winsim::InstallerPath();
  commandLine += u"\"";
  for (; i < argc; ++i) commandLine += u" " + Quote(Widen(argv[i]));
  winsim::ProgramRun run;
  run.commandLine = commandLine;
  if (service) {
    run.sessionId = 0;
    run.userName = u"SYSTEM";
  }
  winsim::SetProgramRun(run);
  winsim::SystemBehaviour system = winsim::GetSystemBehaviour();
  system.programPath = winsim::InstallerPath();
  winsim::SetSystemBehaviour(system);

#if SIM_HAS_DESKTOP
  // The user of this run: Shift and the dialog's answer hold for this run only.
  winsim::DesktopBehaviour user = winsim::GetDesktopBehaviour();
  user.shiftDown = shift;
  user.interactiveSession = !service;
  user.dialogAction = winsim::DialogAction::CloseButton;
  if (dialog == "enter") user.dialogAction = winsim::DialogAction::EnterKey;
  else if (dialog == "escape") user.dialogAction = winsim::DialogAction::EscapeKey;
  else if (dialog == "caption") user.dialogAction = winsim::DialogAction::CaptionClose;
  else if (!dialog.empty() && dialog != "close") return Usage();
  winsim::SetDesktopBehaviour(user);
#else
  if (shift || !dialog.empty()) {
    std::fprintf(stderr, "solvendale-sim: this build has no simulated desktop: "
                         "--shift and --dialog are not available\n");
    return 70;
  }
#endif

  std::u16string arguments = commandLine.substr(winsim::InstallerPath().size() + 2);
  if (!arguments.empty() && arguments[0] == u' ') arguments.erase(0, 1);
  int code = wWinMain(winsim::ProgramInstance(), nullptr, &arguments[0], 1);
#if SIM_HAS_DESKTOP
  // What the user saw: every dialog with its title and text.
  for (const winsim::ShownDialog& shown : winsim::DialogsShown()) {
    std::printf("dialog \"%s\":\n", Narrow(shown.caption).c_str());
    std::string text = Narrow(shown.text);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    std::printf("%s%s", text.c_str(), text.empty() || text.back() == '\n' ? "" : "\n");
  }
#endif
  if (state) PrintState();
  for (const std::string& path : printed) {
    std::vector<uint8_t> bytes = winsim::FileBytes(Widen(path));
    std::string text(bytes.begin(), bytes.end());
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    std::printf("%s:\n%s", path.c_str(), text.c_str());
  }
  if (!dumpPath.empty() && !WriteDump(dumpPath, dumpFiles, dumpValues)) {
    std::fprintf(stderr, "solvendale-sim: cannot write %s\n", dumpPath.c_str());
    return 74;
  }
  std::printf("exit code %d\n", code);
  if (!winsim::SaveMachine(machine)) {
    std::fprintf(stderr, "solvendale-sim: cannot save the machine to %s\n", machine.c_str());
    return 74;
  }
  return code;
}

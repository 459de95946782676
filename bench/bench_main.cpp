// Benchmark of the installer on the stand-in machine: for machines with 10,
// 100 and 1,000 queues of the product's driver (besides 100 other printers,
// 50 port monitors and 200 printer drivers), the CPU time of every command,
// the virtual time it waits next to the waiting that busy resources and the
// fixed pauses force, the peak of its heap blocks and the size of its log.
//
// Usage: solvendale-bench [--sizes 10,100,1000] [--repeat 3] [--only install]
#include <windows.h>
#include <winsim/control.h>
#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "install/entry.h"
#include "observe.h"

namespace {

const int kOtherPrinters = 100;
const int kMonitors = 50;
const int kDrivers = 200;
const char16_t kProductDriver[] = u"Solvendale printer";
const uint64_t kSpoolerStopMs = 300;
const uint64_t kSpoolerStartMs = 500;
const DWORD kTrayExitMs = 400;
const DWORD kHelpCloseMs = 120;

std::u16string Number(int n) {
  std::string text = std::to_string(n);
  return std::u16string(text.begin(), text.end());
}

double CpuMs() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

int RunCommand(const std::u16string& word) {
  winsim::SetCommandLine(u"\"" + winsim::InstallerPath() + u"\" " + word);
  return svd::InstallerMain(winsim::ProgramInstance());
}

// The product installed by the program itself, then the catalogue filled up
// to the machine's size. Queues of the product carry a SubKey, as queues
// made by the product do, so that a reinstall re-creates them.
void BuildMachine(int productQueues) {
  winsim::ResetMachine();
  RunCommand(u"install");

  int monitors = static_cast<int>(winsim::Monitors().size());
  for (int i = monitors; i < kMonitors; ++i) {
    winsim::MonitorSetup monitor;
    monitor.name = u"Bench Monitor " + Number(i);
    monitor.dll = u"benchmon" + Number(i) + u".dll";
    monitor.ports = {u"BM" + Number(i) + u":"};
    winsim::PutFile(winsim::SystemDirectory() + u"\\" + monitor.dll, winsim::MakeMonitorImage(1, 0, 0, 1));
    winsim::PutMonitor(monitor);
  }
  int drivers = static_cast<int>(winsim::Drivers().size());
  std::vector<std::u16string> driverNames;
  for (int i = drivers; i < kDrivers; ++i) {
    winsim::DriverSetup driver;
    driver.name = u"Bench Driver " + Number(i);
    const std::u16string dir = winsim::DriverDirectory() + u"\\3\\";
    driver.driverPath = dir + u"benchdrv" + Number(i) + u".dll";
    driver.dataFile = dir + u"benchdrv" + Number(i) + u".gpd";
    driver.configFile = dir + u"benchui" + Number(i) + u".dll";
    winsim::PutDriver(driver);
    driverNames.push_back(driver.name);
  }
  int others = 0;
  for (const winsim::PrinterState& printer : winsim::Printers()) {
    if (printer.driverName != kProductDriver) ++others;
  }
  for (int i = others; i < kOtherPrinters; ++i) {
    winsim::PrinterSetup printer;
    printer.name = u"Bench Printer " + Number(i);
    printer.ports = u"LPT1:";
    printer.driverName = driverNames[i % driverNames.size()];
    winsim::PutPrinter(printer);
  }
  int queues = 0;
  for (const winsim::PrinterState& printer : winsim::Printers()) {
    if (printer.driverName == kProductDriver) {
      winsim::PutPrinterString(printer.name, "PrinterDriverData", "SubKey", "Solvendale");
      ++queues;
    }
  }
  for (int i = queues; i < productQueues; ++i) {
    winsim::PrinterSetup printer;
    printer.name = u"Solvendale " + Number(i);
    printer.ports = u"Solvendale:";
    printer.driverName = kProductDriver;
    printer.comment = u"Queue " + Number(i);
    printer.location = u"Floor " + Number(i % 7);
    winsim::PutPrinter(printer);
    winsim::PutPrinterString(printer.name, "PrinterDriverData", "SubKey",
                             "Solvendale " + std::to_string(i));
  }
  // Resources that take their time, as on a real machine: the spooler
  // service stops and starts with a delay, the tray companion ends a while
  // after it was asked to, and a help window closes a little after its
  // close request.
  winsim::ServiceBehaviour service;
  service.stopDelayMs = kSpoolerStopMs;
  service.startDelayMs = kSpoolerStartMs;
  winsim::SetServiceBehaviour(service);
  winsim::TrayBehaviour tray;
  tray.exit = winsim::TrayExit::AfterDelay;
  tray.exitDelayMs = kTrayExitMs;
  winsim::SetTrayBehaviour(tray);
  winsim::OpenHelpWindow(winsim::WindowClosing::AfterDelay, kHelpCloseMs);
  winsim::ClearCalls();
  winsim::ClearMemoryCalls();
}

struct Command {
  const char* name;
  const char16_t* word;
  bool job;  // writes an operation log
};

const Command kCommands[] = {
    {"install", u"install", true},     {"uninstall", u"uninstall", true},
    {"onChkDrv", u"onChkDrv", false},  {"onInit", u"onInit", false},
    {"def.set", u"def.set", false},    {"removetray", u"removetray", false},
};

struct Result {
  int queues = 0;
  const Command* command = nullptr;
  int exitCode = 0;
  double cpuMs = 0;         // the least of the repeats
  uint64_t waitMs = 0;      // virtual time from start to exit
  bench::Observation seen;  // of the last repeat
  size_t logChars = 0;      // 0 for commands without a job
};

Result Measure(int queues, const Command& command, int repeats) {
  Result result;
  result.queues = queues;
  result.command = &command;
  result.cpuMs = 1e300;
  for (int r = 0; r < repeats; ++r) {
    BuildMachine(queues);
    uint64_t start = winsim::NowMs();
    bench::StartObservation();
    double cpu = CpuMs();
    result.exitCode = RunCommand(command.word);
    result.cpuMs = std::min(result.cpuMs, CpuMs() - cpu);
    result.waitMs = winsim::NowMs() - start;
    result.seen = bench::CurrentObservation();
  }
  if (command.job) {
    // Shift held as the run ends shows the log; its text is the whole log.
    BuildMachine(queues);
    winsim::DesktopBehaviour user;
    user.shiftDown = true;
    winsim::SetDesktopBehaviour(user);
    RunCommand(command.word);
    std::vector<winsim::ShownDialog> dialogs = winsim::DialogsShown();
    if (!dialogs.empty()) result.logChars = dialogs.back().text.size();
  }
  return result;
}

std::vector<int> ParseSizes(const char* text) {
  std::vector<int> sizes;
  for (const char* p = text; *p != 0;) {
    sizes.push_back(std::atoi(p));
    const char* comma = std::strchr(p, ',');
    if (comma == nullptr) break;
    p = comma + 1;
  }
  return sizes;
}

const Result* Find(const std::vector<Result>& results, int queues, const Command& command) {
  for (const Result& r : results) {
    if (r.queues == queues && r.command == &command) return &r;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {10, 100, 1000};
  int repeats = 3;
  std::string only;  // one command, for profiling
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--sizes") == 0) sizes = ParseSizes(argv[i + 1]);
    else if (std::strcmp(argv[i], "--repeat") == 0) repeats = std::max(1, std::atoi(argv[i + 1]));
    else if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
  }

  std::printf("Machines: N queues of \"Solvendale printer\", %d other printers, %d port monitors, "
              "%d printer drivers; product installed.\nSpooler stops in %llu ms and starts in %llu ms; "
              "the tray companion exits %u ms after the request; a help window closes %u ms after it.\n",
              kOtherPrinters, kMonitors, kDrivers, static_cast<unsigned long long>(kSpoolerStopMs),
              static_cast<unsigned long long>(kSpoolerStartMs), kTrayExitMs, kHelpCloseMs);
  std::printf("CPU: least of %d runs. Waits in virtual ms: forced = slept after a busy resource or "
              "spent in wait calls; fixed = the pause after a missing tray Run value.\n\n",
              repeats);
  std::printf("%6s  %-10s %4s  %10s  %9s  %9s  %7s  %8s  %6s  %12s  %9s\n", "queues", "command",
              "exit", "CPU ms", "waited", "forced", "fixed", "unforced", "sleeps", "peak heap B",
              "log chars");
  std::vector<Result> results;
  for (int queues : sizes) {
    for (const Command& command : kCommands) {
      if (!only.empty() && only != command.name) continue;
      Result r = Measure(queues, command, repeats);
      results.push_back(r);
      std::printf("%6d  %-10s %4d  %10.2f  %9llu  %9llu  %7llu  %8llu  %6zu  %12zu  %9s\n", queues,
                  command.name, r.exitCode, r.cpuMs, static_cast<unsigned long long>(r.waitMs),
                  static_cast<unsigned long long>(r.seen.forcedMs),
                  static_cast<unsigned long long>(r.seen.fixedMs),
                  static_cast<unsigned long long>(r.seen.unforcedMs), r.seen.sleeps,
                  r.seen.peakBytes, command.job ? std::to_string(r.logChars).c_str() : "-");
      std::fflush(stdout);
    }
  }

  bool waitsEqual = true;
  for (const Result& r : results) {
    if (r.waitMs != r.seen.forcedMs + r.seen.fixedMs || r.seen.unforcedMs != 0) waitsEqual = false;
  }
  std::printf("\nWaits: %s\n", waitsEqual
                                   ? "every run waited exactly what busy resources and fixed pauses forced"
                                   : "SOME RUN WAITED MORE THAN BUSY RESOURCES AND FIXED PAUSES FORCED");

  bool have100 = std::find(sizes.begin(), sizes.end(), 100) != sizes.end();
  bool have1000 = std::find(sizes.begin(), sizes.end(), 1000) != sizes.end();
  if (have100 && have1000) {
    std::printf("\nGrowth of CPU time from 100 to 1,000 queues (linear: about 10; target <= 12)\n");
    std::printf("%-10s  %10s  %10s  %7s  %s\n", "command", "CPU@100", "CPU@1000", "ratio", "");
    for (const Command& command : kCommands) {
      const Result* small = Find(results, 100, command);
      const Result* large = Find(results, 1000, command);
      if (small == nullptr || large == nullptr) continue;
      double ratio = small->cpuMs > 0 ? large->cpuMs / small->cpuMs : 0;
      std::printf("%-10s  %10.2f  %10.2f  %7.2f  %s\n", command.name, small->cpuMs, large->cpuMs,
                  ratio, ratio <= 12 ? "ok" : "ABOVE TARGET");
    }
  }
  return 0;
}

// The product on the stand-in machine, as the tests lay it out: its
// component files beside the installer, its queues, and the product as an
// install leaves it. One place, so that a change of what an install leaves
// behind is one change of the tests.
#pragma once

#include <windows.h>
#include <winsim/control.h>
#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <cstdint>
#include <string>
#include <vector>

namespace product {

const std::u16string kDriver = u"Solvendale printer";
const std::u16string kMonitor = u"Solvendale:";
const std::u16string kRunKey = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::u16string kSettings = u"HKCU\\Software\\Quarlen Software KFT\\Solvendale\\Solvendales\\";

inline std::u16string Sys(const std::u16string& name) { return winsim::SystemDirectory() + u"\\" + name; }
inline std::u16string Drv(const std::u16string& name) { return winsim::DriverDirectory() + u"\\" + name; }
inline std::u16string Drv3(const std::u16string& name) { return winsim::DriverDirectory() + u"\\3\\" + name; }
inline std::u16string Src(const std::u16string& name) { return winsim::InstallerDirectory() + u"\\" + name; }

// A REG_SZ value's bytes, with the terminator.
inline std::vector<uint8_t> Sz(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// The component files beside the installer, as a setup package leaves them.
inline void PutComponentFiles(WORD build) {
  winsim::PutFile(Src(u"qrlmon64.dll"), winsim::MakeMonitorImage(1, 0, 0, build));
  winsim::PutFile(Src(u"qrldrv64.dll"), winsim::MakeVersionedImage(1, 0, 0, build));
  winsim::PutFile(Src(u"qrlui64.dll"), winsim::MakeVersionedImage(1, 0, 0, build));
  winsim::PutTextFile(Src(u"qrlhelp.chm"), "help");
  winsim::PutFile(winsim::TrayPath(), {'M', 'Z'});
}

// A queue on the ports with the driver, as the product sets one up: with a
// subkey, its settings key's name stands in its printer data as "SubKey"
// (and in "DsUser"), and the settings key is marked "deleted".
inline void PutQueue(const std::u16string& name, const std::u16string& ports, const std::u16string& driver,
                     const std::u16string& comment, const std::u16string& location, const std::string& subkey) {
  winsim::PrinterSetup printer;
  printer.name = name;
  printer.ports = ports;
  printer.driverName = driver;
  printer.comment = comment;
  printer.location = location;
  winsim::PutPrinter(printer);
  if (subkey.empty()) return;
  winsim::PutPrinterData(name, "PrinterDriverData", "SubKey", REG_SZ, Sz(subkey));
  winsim::PutPrinterData(name, "DsUser", "SubKey", REG_SZ, Sz(subkey));
  winsim::SetRegDword(kSettings + std::u16string(subkey.begin(), subkey.end()), u"deleted", 1);
}

// The product of the given build as an install leaves it, but for its
// queues (PutQueue; an install adds "Solvendale"): the monitor DLL in the
// system directory and the monitor "Solvendale:", the driver's files
// installed and the driver added, and the tray companion registered under
// the Run key and running.
inline void PutInstalledProduct(WORD build) {
  winsim::PutFile(Sys(u"qrlmon64.dll"), winsim::MakeMonitorImage(1, 0, 0, build));
  winsim::PutMonitor({kMonitor, u"Windows x64", u"qrlmon64.dll", {kMonitor}});
  winsim::PutFile(Drv3(u"qrldrv64.dll"), winsim::MakeVersionedImage(1, 0, 0, build));
  winsim::PutFile(Drv3(u"qrlui64.dll"), winsim::MakeVersionedImage(1, 0, 0, build));
  winsim::PutTextFile(Drv3(u"qrlhelp.chm"), "old help");
  winsim::DriverSetup driver;
  driver.name = kDriver;
  driver.driverPath = Drv3(u"qrldrv64.dll");
  driver.dataFile = Drv3(u"qrldrv64.dll");
  driver.configFile = Drv3(u"qrlui64.dll");
  driver.helpFile = Drv3(u"qrlhelp.chm");
  winsim::PutDriver(driver);
  winsim::SetRegString(kRunKey, u"SolvendaleTray", winsim::TrayPath());
  winsim::StartTrayCompanion(winsim::TrayPath());
}

}  // namespace product

// solvendale-sim: runs the program once on a simulated machine kept in a
// directory, like one run of the installer on one PC.
//
//   solvendale-sim --machine DIR [--new] [--shift] [--dialog close|enter|escape|caption]
//                  -- <args...>
//
// The machine is loaded from DIR (a fresh default machine with --new or when
// DIR holds none), the command line is the installer's path followed by the
// arguments, the program runs, its exit code is printed, and the machine is
// saved back to DIR.
#include <windows.h>
#include <winsim/control.h>

#if __has_include(<winsim/desktop_control.h>)
#include <winsim/desktop_control.h>
#define SIM_HAS_DESKTOP 1
#else
#define SIM_HAS_DESKTOP 0
#endif

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: solvendale-sim --machine DIR [--new] [--shift]"
               " [--dialog close|enter|escape|caption] -- <args...>\n");
  return 64;
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0 && i + 3 < s.size()) {
      cp = ((c & 7u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
      n = 4;
    } else if (c >= 0xE0 && i + 2 < s.size()) {
      cp = ((c & 15u) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < s.size()) {
      cp = ((c & 31u) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
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

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string machine;
  bool fresh = false;
  bool shift = false;
  std::string dialog;
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
    } else {
      return Usage();
    }
  }
  if (machine.empty()) return Usage();

  if (fresh || !winsim::LoadMachine(machine)) winsim::ResetMachine();

  std::u16string commandLine = u"\"" + winsim::InstallerPath() + u"\"";
  for (; i < argc; ++i) commandLine += u" " + Quote(Utf16(argv[i]));
  winsim::SetCommandLine(commandLine);
  winsim::SetModuleFileName(winsim::InstallerPath());

#if SIM_HAS_DESKTOP
  winsim::SetShiftDown(shift);
  if (!dialog.empty()) {
    if (dialog == "close") winsim::SetDialogAction(winsim::DialogAction::CloseButton);
    else if (dialog == "enter") winsim::SetDialogAction(winsim::DialogAction::EnterKey);
    else if (dialog == "escape") winsim::SetDialogAction(winsim::DialogAction::EscapeKey);
    else if (dialog == "caption") winsim::SetDialogAction(winsim::DialogAction::CaptionClose);
    else return Usage();
  }
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
    std::printf("dialog \"%s\":\n", Utf8(shown.caption).c_str());
    std::string text = Utf8(shown.text);
    for (char& c : text)
      if (c == '\r') c = ' ';
    std::printf("%s%s", text.c_str(), text.empty() || text.back() == '\n' ? "" : "\n");
  }
#endif
  std::printf("exit code %d\n", code);
  if (!winsim::SaveMachine(machine)) {
    std::fprintf(stderr, "solvendale-sim: cannot save the machine to %s\n", machine.c_str());
    return 74;
  }
  return code;
}

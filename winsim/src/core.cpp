// The machine's framework: last error, call log and injected faults, kernel
// handles, the virtual clock and module registration.
#include "core.h"

#include <winsim/control.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "saved_record.h"

namespace winsim {

namespace {

struct Fault {
  DWORD error;
  int times;  // -1: every call
  int skip;
  std::string match;
};

struct CoreState {
  DWORD lastError = 0;
  std::vector<CallRecord> calls;
  std::map<std::string, std::vector<Fault>> faults;
  std::map<std::string, DWORD> durations;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> handles;
  uintptr_t nextHandle = 0x100;
};

CoreState& State() {
  // Never destroyed: objects that outlive main may still reach it.
  static CoreState& state = *new CoreState;
  return state;
}

// ------------------------------------------------------------- clock state

struct Event {
  clock::EventId id;
  std::function<void()> action;
  std::string name;
};

struct ClockState {
  uint64_t now = 0;
  uint64_t runStart = 0;
  ClockBehaviour behaviour;
  clock::EventId nextId = 1;
  std::multimap<uint64_t, Event> events;
};

ClockState& Clock() {
  // Never destroyed: objects that outlive main may still reach it.
  static ClockState& state = *new ClockState;
  return state;
}

void CheckTimeLimit() {
  ClockState& c = Clock();
  if (c.now - c.runStart > c.behaviour.timeLimitMs) {
    Fatal("virtual time limit exceeded: the program ran for " +
          std::to_string(c.now - c.runStart) + " ms of machine time (limit " +
          std::to_string(c.behaviour.timeLimitMs) + " ms); a wait or retry loop does not end");
  }
}

std::vector<ModuleHooks>& ModuleList() {
  static std::vector<ModuleHooks> modules;
  return modules;
}

void ResetCore() {
  CoreState& s = State();
  s.lastError = 0;
  s.calls.clear();
  s.faults.clear();
  s.durations.clear();
  s.handles.clear();
  s.nextHandle = 0x100;
  ClockState& c = Clock();
  c.now = 0;
  c.runStart = 0;
  c.behaviour = ClockBehaviour();
  c.events.clear();
}

// clock.txt: the time, and the clock's behaviour.
const SavedFields<ClockState>& ClockFields() {
  static const SavedFields<ClockState> fields = {Field("now", &ClockState::now)};
  return fields;
}

const SavedFields<ClockBehaviour>& BehaviourFields() {
  static const SavedFields<ClockBehaviour> fields = {
      Field("tickBase", &ClockBehaviour::tickBase),
      Field("timeLimitMs", &ClockBehaviour::timeLimitMs),
  };
  return fields;
}

void SaveCore(const std::string& dir) {
  const ClockState& c = Clock();
  WriteTextFile(dir + "/clock.txt", SavedLine("clock", c, ClockFields()) +
                                        SavedLine("behaviour", c.behaviour, BehaviourFields()));
}

void LoadCore(const std::string& dir) {
  const std::string file = dir + "/clock.txt";
  ClockState& c = Clock();
  ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] == "clock") ReadSavedLine(line, ClockFields(), &c, file);
    else if (line[0] == "behaviour") ReadSavedLine(line, BehaviourFields(), &c.behaviour, file);
    else Fatal(file + ": unreadable line " + line[0]);
  });
  c.runStart = c.now;
}

ModuleRegistrar coreRegistrar{"core", 0, &ResetCore, &SaveCore, &LoadCore};

}  // namespace

// ---------------------------------------------------------------- errors --

DWORD LastError() { return State().lastError; }
void SetError(DWORD code) { State().lastError = code; }

DWORD Enter(const char* api, const std::string& detail) {
  EnsureMachine();
  CoreState& s = State();
  s.calls.push_back(CallRecord{api, detail, Clock().now});
  if (!s.durations.empty()) {
    auto slow = s.durations.find(api);
    if (slow != s.durations.end()) clock::Advance(slow->second);
  }
  auto it = s.faults.find(api);
  if (it == s.faults.end()) return 0;
  for (auto f = it->second.begin(); f != it->second.end(); ++f) {
    if (!f->match.empty() && detail.find(f->match) == std::string::npos) continue;
    if (f->skip > 0) {
      --f->skip;
      return 0;
    }
    DWORD error = f->error;
    if (f->times > 0 && --f->times == 0) it->second.erase(f);
    s.calls.back().detail += " -> injected error " + std::to_string(error);
    s.lastError = error;
    return error;
  }
  return 0;
}

namespace {

std::map<std::string, std::vector<DWORD>>& ErrorTable() {
  static std::map<std::string, std::vector<DWORD>> table;
  return table;
}

}  // namespace

DocumentedErrors::DocumentedErrors(const char* api, std::vector<DWORD> codes) {
  if (codes.empty() || !ErrorTable().emplace(api, std::move(codes)).second)
    Fatal(std::string("the documented error codes of ") + api + " are listed twice or empty");
}

std::vector<DWORD> DocumentedErrorCodes(const std::string& api) {
  auto it = ErrorTable().find(api);
  return it == ErrorTable().end() ? std::vector<DWORD>() : it->second;
}

void Unsupported(const char* api, const std::string& what) {
  std::fprintf(stderr, "\n*** winsim: %s: not supported by the simulated machine: %s\n", api,
               what.c_str());
  std::fflush(stderr);
  std::abort();
}

void Fatal(const std::string& what) {
  std::fprintf(stderr, "\n*** winsim: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// --------------------------------------------------------------- text --

std::u16string Widen(const std::string& s) {
  std::u16string out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      len = 2;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
      len = 4;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string Narrow(LPCWSTR text) {
  if (text == nullptr) return "(null)";
  return Narrow(std::u16string(text));
}

std::u16string FromW(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

size_t WLen(LPCWSTR text) {
  size_t n = 0;
  if (text)
    while (text[n]) ++n;
  return n;
}

std::u16string UpperAscii(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

bool EqualsNoCase(const std::u16string& a, const std::u16string& b) {
  // Unit by unit, without upper-case copies: name lookups run this for every
  // printer of the machine.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
    if (x != y) return false;
  }
  return true;
}

namespace {
// Code page 1252, bytes 0x80 to 0x9F; the five bytes without a character map
// to the control character of the same value, as Windows does.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
}  // namespace

std::u16string FromAnsi(const std::string& text) {
  std::u16string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : static_cast<char16_t>(c));
  }
  return out;
}

std::string ToAnsi(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char mapped = '?';
    for (int i = 0; i < 32; ++i)
      if (kCp1252High[i] == c) mapped = static_cast<char>(0x80 + i);
    out.push_back(mapped);
  }
  return out;
}

std::string Hex(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

// ------------------------------------------------------ kernel objects --

HANDLE NewHandle(std::shared_ptr<KernelObject> object) {
  CoreState& s = State();
  uintptr_t value = s.nextHandle;
  s.nextHandle += 4;
  s.handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  CoreState& s = State();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end()) return nullptr;
  return it->second;
}

bool CloseKernelHandle(HANDLE handle) {
  CoreState& s = State();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end()) return false;
  std::shared_ptr<KernelObject> object = it->second;
  s.handles.erase(it);
  object->OnHandleClosed(handle);
  return true;
}

size_t LiveHandleCount() { return State().handles.size(); }

size_t LiveHandleCount(const char* typeName) {
  size_t n = 0;
  for (const auto& entry : State().handles)
    if (std::string(entry.second->TypeName()) == typeName) ++n;
  return n;
}

// ------------------------------------------------------- virtual clock --

namespace clock {

uint64_t Now() { return Clock().now; }

void Advance(uint64_t ms) {
  ClockState& c = Clock();
  uint64_t target = c.now + ms;
  for (;;) {
    auto it = c.events.begin();
    if (it == c.events.end() || it->first > target) break;
    c.now = std::max(c.now, it->first);
    std::function<void()> action = std::move(it->second.action);
    c.events.erase(it);
    CheckTimeLimit();
    action();
  }
  // An event may itself have slept past the target.
  c.now = std::max(c.now, target);
  CheckTimeLimit();
}

EventId At(uint64_t whenMs, std::function<void()> action, const std::string& name) {
  ClockState& c = Clock();
  EventId id = c.nextId++;
  c.events.emplace(std::max(whenMs, c.now), Event{id, std::move(action), name});
  return id;
}

EventId After(uint64_t delayMs, std::function<void()> action, const std::string& name) {
  return At(Clock().now + delayMs, std::move(action), name);
}

void Cancel(EventId id) {
  ClockState& c = Clock();
  for (auto it = c.events.begin(); it != c.events.end(); ++it) {
    if (it->second.id == id) {
      c.events.erase(it);
      return;
    }
  }
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  if (done()) return true;
  ClockState& c = Clock();
  bool forever = timeoutMs == INFINITE;
  uint64_t deadline = c.now + timeoutMs;
  for (;;) {
    auto it = c.events.begin();
    if (it == c.events.end() || (!forever && it->first > deadline)) break;
    Advance(it->first > c.now ? it->first - c.now : 0);
    if (done()) return true;
  }
  if (forever) {
    Fatal("an endless wait: nothing scheduled on the machine can end it");
  }
  if (deadline > c.now) Advance(deadline - c.now);
  return done();
}

}  // namespace clock

// --------------------------------------------------- module registration --

ModuleRegistrar::ModuleRegistrar(const char* name, int order, void (*reset)(),
                                 void (*save)(const std::string&),
                                 void (*load)(const std::string&)) {
  std::vector<ModuleHooks>& list = ModuleList();
  list.push_back(ModuleHooks{name, order, reset, save, load});
  std::stable_sort(list.begin(), list.end(),
                   [](const ModuleHooks& a, const ModuleHooks& b) { return a.order < b.order; });
}

const std::vector<ModuleHooks>& Modules() { return ModuleList(); }

void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) Fatal("cannot write the machine file " + path);
  out << text;
  if (!out) Fatal("cannot write the machine file " + path);
}

bool ReadTextFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

std::string EscapeField(const std::string& text) {
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '%' || c == 0x7F) {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", c);
      out += buffer;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string UnescapeField(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string EscapeText(const std::u16string& text) { return EscapeField(Narrow(text)); }
std::u16string UnescapeText(const std::string& field) { return Widen(UnescapeField(field)); }

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::vector<uint8_t> UnhexBytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// ----------------------------------------------------------- control --

void FailCall(const std::string& api, DWORD error, int times, int skip,
              const std::string& match) {
  if (error == 0) Fatal("FailCall(" + api + "): an injected fault needs a nonzero error");
  if (times == 0 || times < -1) Fatal("FailCall(" + api + "): times must be -1 or above 0");
  State().faults[api].push_back(Fault{error, times, skip, match});
}

void SetCallDuration(const std::string& api, DWORD ms) {
  if (ms == 0) State().durations.erase(api);
  else State().durations[api] = ms;
}

void ClearFaults() { State().faults.clear(); }

const std::vector<CallRecord>& Calls() { return State().calls; }

size_t CallCount(const std::string& api) {
  size_t n = 0;
  for (const CallRecord& r : State().calls)
    if (r.api == api) ++n;
  return n;
}

std::vector<std::string> CallDetails(const std::string& api) {
  std::vector<std::string> out;
  for (const CallRecord& r : State().calls)
    if (r.api == api) out.push_back(r.detail);
  return out;
}

void ClearCalls() { State().calls.clear(); }

size_t LiveHandles() { return LiveHandleCount(); }
size_t LiveHandles(const char* typeName) { return LiveHandleCount(typeName); }

uint64_t NowMs() { return clock::Now(); }
void AdvanceMs(uint64_t ms) { clock::Advance(ms); }
void SetClockBehaviour(const ClockBehaviour& behaviour) { Clock().behaviour = behaviour; }
ClockBehaviour GetClockBehaviour() { return Clock().behaviour; }

}  // namespace winsim

// ------------------------------------------------------------ kernel32 --

extern "C" {

DWORD WINAPI GetLastError(void) { return winsim::State().lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { winsim::State().lastError = dwErrCode; }

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (winsim::Enter("Sleep", std::to_string(dwMilliseconds))) return;
  if (dwMilliseconds == INFINITE) winsim::Unsupported("Sleep", "INFINITE");
  winsim::clock::Advance(dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) {
  winsim::Enter("GetTickCount");
  winsim::ClockState& c = winsim::Clock();
  return static_cast<DWORD>(c.behaviour.tickBase + c.now);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (winsim::Enter("CloseHandle", winsim::Hex(reinterpret_cast<uintptr_t>(hObject)))) return FALSE;
  if (!winsim::CloseKernelHandle(hObject)) {
    winsim::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

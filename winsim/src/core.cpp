// The machine's framework: last error, call log and injected faults, kernel
// handles, the virtual clock and module registration.
#include "core.h"

#include <winsim/control.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

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
  std::vector<CallRecord> calls;
  std::map<std::string, std::vector<Fault>> faults;
  std::map<std::string, DWORD> durations;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> handles;
  uintptr_t nextHandle = 0x100;
  size_t callsToEnd = 0;  // calls left before the run ends; 0: it does not
  std::function<void()> endAction;
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
  MainProgram() = ProgramContext();
  s.calls.clear();
  s.faults.clear();
  s.durations.clear();
  s.handles.clear();
  s.nextHandle = 0x100;
  s.callsToEnd = 0;
  s.endAction = nullptr;
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
      Field("localTimeAtStartMs", &ClockBehaviour::localTimeAtStartMs),
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

// ------------------------------------------------------- the program --

namespace {

thread_local ProgramContext* t_program = nullptr;

// Runs started together: which of them holds the machine now, and what each
// one waits for.
struct Runner {
  ProgramContext* context = nullptr;
  bool ended = false;
  bool waiting = false;
  const std::function<bool()>* done = nullptr;  // null: a sleep
  bool forever = false;
  uint64_t deadline = 0;
};

struct Together {
  std::mutex lock;
  std::condition_variable turn;
  std::vector<Runner> runners;
  size_t active = 0;
  bool on = false;
};

Together& Runs() {
  static Together& together = *new Together;
  return together;
}

thread_local size_t t_runner = SIZE_MAX;

bool Ready(const Runner& runner) {
  if (runner.ended) return false;
  if (!runner.waiting) return true;
  if (runner.done) {
    // The waiter's condition, seen from the waiting run.
    ProgramContext* running = t_program;
    t_program = runner.context;
    bool done = (*runner.done)();
    t_program = running;
    if (done) return true;
  }
  return !runner.forever && clock::Now() >= runner.deadline;
}

// The next runner after `from` that may go on, moving time forward to the
// next event or deadline while none may. Called by the runner that holds
// the machine.
size_t NextRunner(size_t from) {
  Together& t = Runs();
  size_t count = t.runners.size();
  for (;;) {
    for (size_t k = 1; k <= count; ++k) {
      size_t i = (from + k) % count;
      if (Ready(t.runners[i])) return i;
    }
    bool any = false;
    uint64_t next = 0;
    for (const Runner& runner : t.runners) {
      if (runner.ended || runner.forever) continue;
      if (!any || runner.deadline < next) next = runner.deadline;
      any = true;
    }
    uint64_t event = 0;
    if (clock::NextEvent(&event) && (!any || event < next)) {
      next = event;
      any = true;
    }
    if (!any) Fatal("an endless wait: every run waits and nothing scheduled on the machine can end it");
    clock::Advance(next > clock::Now() ? next - clock::Now() : 0);
  }
}

// Hands the machine to the runner `to` and waits until it comes back to
// this thread's runner (unless this runner ended).
void HandOver(std::unique_lock<std::mutex>& held, size_t to) {
  Together& t = Runs();
  t.active = to;
  t.turn.notify_all();
  size_t me = t_runner;
  if (t.runners[me].ended) return;
  t.turn.wait(held, [&] { return t.active == me; });
}

// This runner waits: for done (or only the time, when done is null), at
// most timeoutMs (INFINITE: no limit); the others run meanwhile.
bool WaitInTurn(const std::function<bool()>* done, DWORD timeoutMs) {
  Together& t = Runs();
  std::unique_lock<std::mutex> held(t.lock);
  Runner& me = t.runners[t_runner];
  me.waiting = true;
  me.done = done;
  me.forever = timeoutMs == INFINITE;
  me.deadline = clock::Now() + (me.forever ? 0 : timeoutMs);
  while (!Ready(me) || t.active != t_runner) {
    size_t next = NextRunner(t_runner);
    if (next == t_runner) break;
    HandOver(held, next);
  }
  me.waiting = false;
  me.done = nullptr;
  return done ? (*done)() : true;
}

bool InTurn() { return t_runner != SIZE_MAX && Runs().on; }

}  // namespace

ProgramContext& Program() { return t_program ? *t_program : MainProgram(); }

ProgramContext& MainProgram() {
  static ProgramContext& context = *new ProgramContext;
  return context;
}

void RunTogether(std::vector<ProgramContext*> contexts, std::vector<std::function<void()>> bodies,
                 const std::function<void()>& atEnd) {
  Together& t = Runs();
  if (t.on) Fatal("RunTogether: runs are already running together");
  if (contexts.size() != bodies.size() || bodies.empty()) Fatal("RunTogether: one context per body");
  t.runners.assign(bodies.size(), Runner());
  for (size_t i = 0; i < bodies.size(); ++i) t.runners[i].context = contexts[i];
  t.on = true;
  std::vector<std::thread> threads;
  {
    std::unique_lock<std::mutex> held(t.lock);
    t.active = SIZE_MAX;
    for (size_t i = 0; i < bodies.size(); ++i) {
      threads.emplace_back([&t, &bodies, &atEnd, i] {
        std::unique_lock<std::mutex> mine(t.lock);
        t.turn.wait(mine, [&] { return t.active == i; });
        t_runner = i;
        t_program = t.runners[i].context;
        mine.unlock();
        bodies[i]();
        atEnd();
        mine.lock();
        t.runners[i].ended = true;
        bool all = true;
        for (const Runner& runner : t.runners) all = all && runner.ended;
        if (all) {
          t.active = SIZE_MAX - 1;
          t.turn.notify_all();
          return;
        }
        HandOver(mine, NextRunner(i));
      });
    }
    t.active = 0;
    t.turn.notify_all();
    t.turn.wait(held, [&] { return t.active == SIZE_MAX - 1; });
  }
  for (std::thread& thread : threads) thread.join();
  t.runners.clear();
  t.on = false;
}

DWORD LastError() { return Program().lastError; }
void SetError(DWORD code) { Program().lastError = code; }

void EndRunAtCall(size_t atCall, std::function<void()> action) {
  State().callsToEnd = atCall;
  State().endAction = std::move(action);
}

DWORD Enter(const char* api, const std::string& detail) {
  EnsureMachine();
  CoreState& s = State();
  if (s.callsToEnd > 0 && --s.callsToEnd == 0) s.endAction();
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
    Program().lastError = error;
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

bool NextEvent(uint64_t* whenMs) {
  ClockState& c = Clock();
  if (c.events.empty()) return false;
  *whenMs = c.events.begin()->first;
  return true;
}

void Sleep(DWORD ms) {
  if (InTurn()) {
    WaitInTurn(nullptr, ms);
    return;
  }
  Advance(ms);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  if (done()) return true;
  if (InTurn()) return timeoutMs == 0 ? false : WaitInTurn(&done, timeoutMs);
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

DWORD WINAPI GetLastError(void) { return winsim::Program().lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { winsim::Program().lastError = dwErrCode; }

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (winsim::Enter("Sleep", std::to_string(dwMilliseconds))) return;
  if (dwMilliseconds == INFINITE) winsim::Unsupported("Sleep", "INFINITE");
  winsim::clock::Sleep(dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) {
  winsim::Enter("GetTickCount");
  winsim::ClockState& c = winsim::Clock();
  return static_cast<DWORD>(c.behaviour.tickBase + c.now);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  winsim::Enter("GetLocalTime");
  winsim::ClockState& c = winsim::Clock();
  uint64_t ms = c.behaviour.localTimeAtStartMs + c.now;
  uint64_t seconds = ms / 1000;
  // Days since 1970-01-01 to the civil date (proleptic Gregorian calendar).
  int64_t z = static_cast<int64_t>(seconds / 86400) + 719468;
  int64_t era = z / 146097;
  int64_t dayOfEra = z - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t mp = (5 * dayOfYear + 2) / 153;
  int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  lpSystemTime->wYear = static_cast<WORD>(year);
  lpSystemTime->wMonth = static_cast<WORD>(month);
  lpSystemTime->wDayOfWeek = static_cast<WORD>((seconds / 86400 + 4) % 7);  // 1970-01-01: Thursday
  lpSystemTime->wDay = static_cast<WORD>(day);
  lpSystemTime->wHour = static_cast<WORD>(seconds / 3600 % 24);
  lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
  lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
  lpSystemTime->wMilliseconds = static_cast<WORD>(ms % 1000);
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

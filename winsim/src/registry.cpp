// The machine's registry: a tree of keys under the predefined roots, values
// with their type and bytes, open key handles with their access rights, and
// advapi32's registry calls on top.
#include "core.h"

#include <winsim/control.h>

#include <algorithm>
#include <map>
#include <optional>

#include "saved_record.h"

namespace winsim {
namespace reg {
namespace {

struct Key {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by upper-cased name
  std::vector<std::pair<std::u16string, Value>> values;    // in the order set
  bool denyWrite = false;
};

struct OpenKey {
  std::u16string path;  // "HKLM\..." with the case of the stored keys
  REGSAM access;
};

struct RegState {
  std::map<std::u16string, std::unique_ptr<Key>> roots;  // HKLM, HKCU, HKCR, HKU
  std::map<std::u16string, std::unique_ptr<Key>> flushed;  // the hives as on disk
  std::map<uintptr_t, OpenKey> handles;
  uintptr_t nextHandle = 0x2000;
};

RegState& State() {
  // Never destroyed: objects that outlive main may still reach it.
  static RegState& state = *new RegState;
  return state;
}

std::vector<std::u16string> SplitPath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find(u'\\', pos);
    if (next == std::u16string::npos) next = path.size();
    if (next > pos) parts.push_back(path.substr(pos, next - pos));
    pos = next + 1;
  }
  return parts;
}

// "HKEY_LOCAL_MACHINE" and "HKLM" name the same root.
std::u16string RootName(const std::u16string& name) {
  std::u16string upper = UpperAscii(name);
  if (upper == u"HKLM" || upper == u"HKEY_LOCAL_MACHINE") return u"HKLM";
  if (upper == u"HKCU" || upper == u"HKEY_CURRENT_USER") return u"HKCU";
  if (upper == u"HKCR" || upper == u"HKEY_CLASSES_ROOT") return u"HKCR";
  if (upper == u"HKU" || upper == u"HKEY_USERS") return u"HKU";
  return std::u16string();
}

Key* RootKey(const std::u16string& root) {
  auto it = State().roots.find(root);
  return it == State().roots.end() ? nullptr : it->second.get();
}

// Finds the key of a full path, or creates it (and its parents) when asked.
Key* Walk(const std::u16string& path, bool create, std::u16string* canonical = nullptr) {
  EnsureMachine();
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.empty()) return nullptr;
  std::u16string root = RootName(parts[0]);
  if (root.empty()) Fatal("registry path without a known root: " + Narrow(path));
  Key* key = RootKey(root);
  std::u16string out = root;
  for (size_t i = 1; i < parts.size() && key != nullptr; ++i) {
    std::u16string upper = UpperAscii(parts[i]);
    auto it = key->subkeys.find(upper);
    if (it == key->subkeys.end()) {
      if (!create) return nullptr;
      auto child = std::make_unique<Key>();
      child->name = parts[i];
      it = key->subkeys.emplace(upper, std::move(child)).first;
    }
    key = it->second.get();
    out += u"\\" + key->name;
  }
  if (canonical) *canonical = out;
  return key;
}

Value* FindValue(Key* key, const std::u16string& name) {
  for (auto& entry : key->values)
    if (EqualsNoCase(entry.first, name)) return &entry.second;
  return nullptr;
}

std::vector<uint8_t> StringBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return bytes;
}

std::u16string BytesToUnits(const std::vector<uint8_t>& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  return units;
}

std::unique_ptr<Key> CloneKey(const Key& key) {
  auto copy = std::make_unique<Key>();
  copy->name = key.name;
  copy->values = key.values;
  copy->denyWrite = key.denyWrite;
  for (const auto& sub : key.subkeys) copy->subkeys.emplace(sub.first, CloneKey(*sub.second));
  return copy;
}

void FlushHive(const std::u16string& root) {
  State().flushed[root] = CloneKey(*State().roots.at(root));
}

void ResetRegistry() {
  RegState& s = State();
  s.roots.clear();
  s.handles.clear();
  s.nextHandle = 0x2000;
  for (const char16_t* root : {u"HKLM", u"HKCU", u"HKCR", u"HKU"}) {
    auto key = std::make_unique<Key>();
    key->name = root;
    s.roots[root] = std::move(key);
  }
}

// A key as saved: its path and whether it refuses writes.
struct SavedKey {
  std::u16string path;
  bool writeDenied = false;
};

// A value as saved: strings as readable text when they read back to the
// same bytes, anything else as its bytes.
struct SavedValue {
  std::u16string key;
  std::u16string name;
  DWORD type = REG_NONE;
  std::optional<std::u16string> text;
  std::optional<std::vector<uint8_t>> data;
};

const SavedFields<SavedKey>& KeyFields() {
  static const SavedFields<SavedKey> fields = {
      Field("path", &SavedKey::path),
      Field("writeDenied", &SavedKey::writeDenied),
  };
  return fields;
}

const SavedFields<SavedValue>& ValueFields() {
  static const SavedFields<SavedValue> fields = {
      Field("key", &SavedValue::key),
      Field("name", &SavedValue::name),
      Field("type", &SavedValue::type),
      Field("text", &SavedValue::text),
      Field("data", &SavedValue::data),
  };
  return fields;
}

SavedValue SavedValueOf(const std::u16string& key, const std::u16string& name, const Value& v) {
  SavedValue saved{key, name, v.type, std::nullopt, std::nullopt};
  std::u16string units = BytesToUnits(v.data);
  bool text = (v.type == REG_SZ || v.type == REG_EXPAND_SZ) && v.data.size() % 2 == 0 &&
              !units.empty() && units.back() == 0 && units.find(u'\0') == units.size() - 1 &&
              Widen(Narrow(units)) == units;
  if (text)
    saved.text = units.substr(0, units.size() - 1);
  else
    saved.data = v.data;
  return saved;
}

void SaveKey(const std::u16string& path, const Key& key, std::string* out) {
  *out += SavedLine("key", SavedKey{path, key.denyWrite}, KeyFields());
  for (const auto& value : key.values)
    *out += SavedLine("value", SavedValueOf(path, value.first, value.second), ValueFields());
  for (const auto& sub : key.subkeys) SaveKey(path + u"\\" + sub.second->name, *sub.second, out);
}

// registry.txt: every key, each followed by its values.
void SaveRegistry(const std::string& dir) {
  std::string out;
  for (const auto& root : State().roots) SaveKey(root.first, *root.second, &out);
  WriteTextFile(dir + "/registry.txt", out);
}

void LoadLine(const std::vector<std::string>& line, const std::string& file) {
  if (line[0] == "key") {
    SavedKey saved;
    ReadSavedLine(line, KeyFields(), &saved, file);
    CreateKey(saved.path);
    if (saved.writeDenied) DenyWrite(saved.path, true);
  } else if (line[0] == "value") {
    SavedValue saved;
    ReadSavedLine(line, ValueFields(), &saved, file);
    if (saved.text)
      SetString(saved.key, saved.name, *saved.text, saved.type);
    else
      SetValue(saved.key, saved.name, saved.type, saved.data.value_or(std::vector<uint8_t>()));
  } else {
    Fatal(file + ": unreadable line " + line[0]);
  }
}

void LoadRegistry(const std::string& dir) {
  const std::string file = dir + "/registry.txt";
  std::string text;
  if (!ReadTextFile(file, &text)) return;
  // The default machine's keys go: the saved ones are the machine's.
  ResetRegistry();
  ForEachSavedLine(text, [&](const std::vector<std::string>& line) { LoadLine(line, file); });
}

ModuleRegistrar registryRegistrar{"registry", 20, &ResetRegistry, &SaveRegistry, &LoadRegistry};

}  // namespace

bool CreateKey(const std::u16string& path) { return Walk(path, true) != nullptr; }

void MarkFlushed() {
  EnsureMachine();
  for (const auto& root : State().roots) FlushHive(root.first);
}

void LoseUnflushed() {
  for (auto& root : State().roots) {
    auto it = State().flushed.find(root.first);
    if (it != State().flushed.end()) root.second = CloneKey(*it->second);
  }
}

bool KeyExists(const std::u16string& path) { return Walk(path, false) != nullptr; }

bool DeleteKey(const std::u16string& path) {
  std::vector<std::u16string> parts = SplitPath(path);
  if (parts.size() < 2) return false;
  std::u16string parentPath = parts[0];
  for (size_t i = 1; i + 1 < parts.size(); ++i) parentPath += u"\\" + parts[i];
  Key* parent = Walk(parentPath, false);
  if (parent == nullptr) return false;
  return parent->subkeys.erase(UpperAscii(parts.back())) > 0;
}

void SetValue(const std::u16string& keyPath, const std::u16string& name, DWORD type,
              const std::vector<uint8_t>& data) {
  Key* key = Walk(keyPath, true);
  if (Value* value = FindValue(key, name)) {
    value->type = type;
    value->data = data;
    return;
  }
  Value value;
  value.type = type;
  value.data = data;
  key->values.emplace_back(name, value);
}

bool GetValue(const std::u16string& keyPath, const std::u16string& name, Value* value) {
  Key* key = Walk(keyPath, false);
  if (key == nullptr) return false;
  Value* found = FindValue(key, name);
  if (found == nullptr) return false;
  if (value) *value = *found;
  return true;
}

bool DeleteValue(const std::u16string& keyPath, const std::u16string& name) {
  Key* key = Walk(keyPath, false);
  if (key == nullptr) return false;
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (EqualsNoCase(it->first, name)) {
      key->values.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::u16string> ValueNames(const std::u16string& keyPath) {
  std::vector<std::u16string> out;
  if (Key* key = Walk(keyPath, false))
    for (const auto& entry : key->values) out.push_back(entry.first);
  return out;
}

std::vector<std::u16string> SubKeyNames(const std::u16string& keyPath) {
  std::vector<std::u16string> out;
  if (Key* key = Walk(keyPath, false))
    for (const auto& entry : key->subkeys) out.push_back(entry.second->name);
  return out;
}

void SetString(const std::u16string& keyPath, const std::u16string& name,
               const std::u16string& text, DWORD type) {
  SetValue(keyPath, name, type, StringBytes(text));
}

void SetDword(const std::u16string& keyPath, const std::u16string& name, DWORD value) {
  std::vector<uint8_t> bytes(4);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  SetValue(keyPath, name, REG_DWORD, bytes);
}

void SetMultiString(const std::u16string& keyPath, const std::u16string& name,
                    const std::vector<std::u16string>& strings) {
  std::u16string units;
  for (const std::u16string& s : strings) {
    units += s;
    units.push_back(0);
  }
  SetValue(keyPath, name, REG_MULTI_SZ, StringBytes(units));
}

bool GetString(const std::u16string& keyPath, const std::u16string& name,
               std::u16string* text) {
  Value value;
  if (!GetValue(keyPath, name, &value)) return false;
  std::u16string units = BytesToUnits(value.data);
  size_t end = units.find(u'\0');
  *text = end == std::u16string::npos ? units : units.substr(0, end);
  return true;
}

bool GetDword(const std::u16string& keyPath, const std::u16string& name, DWORD* out) {
  Value value;
  if (!GetValue(keyPath, name, &value) || value.data.size() < 4) return false;
  *out = static_cast<DWORD>(value.data[0]) | (static_cast<DWORD>(value.data[1]) << 8) |
         (static_cast<DWORD>(value.data[2]) << 16) | (static_cast<DWORD>(value.data[3]) << 24);
  return true;
}

bool GetMultiString(const std::u16string& keyPath, const std::u16string& name,
                    std::vector<std::u16string>* strings) {
  Value value;
  if (!GetValue(keyPath, name, &value)) return false;
  std::u16string units = BytesToUnits(value.data);
  // Strings run up to the empty string that ends the list (or the data end).
  strings->clear();
  size_t pos = 0;
  while (pos < units.size()) {
    size_t end = units.find(u'\0', pos);
    if (end == std::u16string::npos) end = units.size();
    if (end == pos && end + 1 >= units.size()) break;  // the final terminator
    strings->push_back(units.substr(pos, end - pos));
    pos = end + 1;
  }
  return true;
}

void DenyWrite(const std::u16string& keyPath, bool deny) { Walk(keyPath, true)->denyWrite = deny; }

bool AnyWriteDenied(const Key& key) {
  if (key.denyWrite) return true;
  for (const auto& sub : key.subkeys) {
    if (AnyWriteDenied(*sub.second)) return true;
  }
  return false;
}

// Whether the key or one of its subkeys refuses writes.
bool AnyWriteDenied(const std::u16string& keyPath) {
  Key* key = Walk(keyPath, false);
  return key != nullptr && AnyWriteDenied(*key);
}

bool WriteDenied(const std::u16string& keyPath) {
  Key* key = Walk(keyPath, false);
  return key != nullptr && key->denyWrite;
}

bool PathOfHandle(HKEY key, std::u16string* path) {
  uintptr_t value = reinterpret_cast<uintptr_t>(key);
  if (key == HKEY_LOCAL_MACHINE) *path = u"HKLM";
  else if (key == HKEY_CURRENT_USER) *path = u"HKCU";
  else if (key == HKEY_CLASSES_ROOT) *path = u"HKCR";
  else if (key == HKEY_USERS) *path = u"HKU";
  else {
    auto it = State().handles.find(value);
    if (it == State().handles.end()) return false;
    *path = it->second.path;
  }
  return true;
}

size_t OpenHandleCount() { return State().handles.size(); }

// ------------------------------------------------- the calls themselves --

namespace {

bool Predefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT ||
         key == HKEY_USERS;
}

const REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// Resolves an open key; the predefined keys carry every right.
LSTATUS Resolve(HKEY key, std::u16string* path, REGSAM* access, Key** node) {
  if (!PathOfHandle(key, path)) return ERROR_INVALID_HANDLE;
  *access = KEY_ALL_ACCESS;
  if (!Predefined(key)) *access = State().handles[reinterpret_cast<uintptr_t>(key)].access;
  *node = Walk(*path, false);
  if (*node == nullptr) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

// The deepest existing key on the path: a new key is made below it, and
// only when that key takes writes.
Key* NearestKey(const std::u16string& path) {
  std::vector<std::u16string> parts = SplitPath(path);
  Key* key = RootKey(RootName(parts[0]));
  for (size_t i = 1; i < parts.size(); ++i) {
    auto it = key->subkeys.find(UpperAscii(parts[i]));
    if (it == key->subkeys.end()) break;
    key = it->second.get();
  }
  return key;
}

LSTATUS OpenOrCreate(const char* api, HKEY parent, const std::u16string& subKey, REGSAM sam,
                     bool create, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return create ? ERROR_BADKEY : ERROR_INVALID_PARAMETER;
  *result = nullptr;
  // Opening a predefined key itself gives that key back (advapi32 registry.c).
  if (!create && subKey.empty() && Predefined(parent)) {
    *result = parent;
    return ERROR_SUCCESS;
  }
  sam &= ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  std::u16string base;
  REGSAM baseAccess = 0;
  Key* node = nullptr;
  LSTATUS status = Resolve(parent, &base, &baseAccess, &node);
  if (status != ERROR_SUCCESS) return status;
  if (!subKey.empty() && subKey[0] == u'\\') return ERROR_BAD_PATHNAME;
  std::u16string full = subKey.empty() ? base : base + u"\\" + subKey;
  std::u16string canonical;
  Key* key = Walk(full, false, &canonical);
  bool created = false;
  if (key == nullptr) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (NearestKey(full)->denyWrite) return ERROR_ACCESS_DENIED;
    key = Walk(full, true, &canonical);
    created = true;
  }
  if ((sam & kWriteRights) && key->denyWrite) return ERROR_ACCESS_DENIED;
  uintptr_t value = State().nextHandle;
  State().nextHandle += 8;
  State().handles[value] = OpenKey{canonical, sam};
  *result = reinterpret_cast<HKEY>(value);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  (void)api;
  return ERROR_SUCCESS;
}

LSTATUS Query(HKEY hKey, const std::u16string& name, LPDWORD reserved, LPDWORD type,
              LPBYTE data, LPDWORD cbData, bool ansi) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string path;
  REGSAM access = 0;
  Key* key = nullptr;
  LSTATUS status = Resolve(hKey, &path, &access, &key);
  if (status != ERROR_SUCCESS) return status;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Value* value = FindValue(key, name);
  if (value == nullptr) {
    // Asked for the size only, the caller learns there is nothing.
    if (data == nullptr && cbData != nullptr) *cbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  std::vector<uint8_t> bytes = value->data;
  if (ansi && (value->type == REG_SZ || value->type == REG_EXPAND_SZ ||
               value->type == REG_MULTI_SZ)) {
    std::string converted = ToAnsi(BytesToUnits(value->data));
    bytes.assign(converted.begin(), converted.end());
  }
  if (type) *type = value->type;
  DWORD size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) {
    if (cbData) *cbData = size;
    return ERROR_SUCCESS;
  }
  if (*cbData < size) {
    *cbData = size;
    return ERROR_MORE_DATA;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  // The 8-bit call terminates a string stored without its terminator when
  // the buffer has room for it; the count stays the stored size.
  bool text = value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ;
  if (ansi && text && size != 0 && bytes.back() != 0 && *cbData > size) data[size] = 0;
  *cbData = size;
  return ERROR_SUCCESS;
}

// The path of an open key whose values may be set or deleted: opened with
// KEY_SET_VALUE and not write-protected.
LSTATUS ResolveForValueWrite(HKEY hKey, std::u16string* path) {
  REGSAM access = 0;
  Key* key = nullptr;
  LSTATUS status = Resolve(hKey, path, &access, &key);
  if (status != ERROR_SUCCESS) return status;
  if (!(access & KEY_SET_VALUE) || key->denyWrite) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

LSTATUS Set(HKEY hKey, const std::u16string& name, DWORD reserved, DWORD type, const BYTE* data,
            DWORD cbData, bool ansi) {
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  if (data == nullptr && cbData != 0) return ERROR_NOACCESS;
  std::u16string path;
  LSTATUS status = ResolveForValueWrite(hKey, &path);
  if (status != ERROR_SUCCESS) return status;
  // A string whose size leaves out the terminator that follows it in the
  // caller's memory is stored with it (advapi32 registry.c).
  bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  if (text && ansi && cbData != 0 && data[cbData - 1] != 0 && data[cbData] == 0) ++cbData;
  if (text && !ansi && cbData >= 2 && cbData % 2 == 0) {
    const uint8_t* last = data + cbData - 2;
    if ((last[0] != 0 || last[1] != 0) && last[2] == 0 && last[3] == 0) cbData += 2;
  }
  std::vector<uint8_t> bytes(data, data + cbData);
  if (ansi && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
    bytes = StringBytes(FromAnsi(std::string(bytes.begin(), bytes.end())));
  if (ansi && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
    bytes.resize(bytes.size() - 2);  // StringBytes added a terminator of its own
  SetValue(path, name, type, bytes);
  return ERROR_SUCCESS;
}

LSTATUS DeleteNamedValue(HKEY hKey, const std::u16string& name) {
  std::u16string path;
  LSTATUS status = ResolveForValueWrite(hKey, &path);
  if (status != ERROR_SUCCESS) return status;
  return DeleteValue(path, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

std::string KeyText(HKEY key) {
  std::u16string path;
  if (PathOfHandle(key, &path)) return Narrow(path);
  return Hex(reinterpret_cast<uintptr_t>(key));
}

std::u16string AnsiOrEmpty(LPCSTR text) { return text ? FromAnsi(text) : std::u16string(); }

}  // namespace
}  // namespace reg

// ------------------------------------------------------------- control --

void CreateRegKey(const std::u16string& keyPath) { reg::CreateKey(keyPath); }
bool RegKeyExists(const std::u16string& keyPath) { return reg::KeyExists(keyPath); }
void DeleteRegKey(const std::u16string& keyPath) { reg::DeleteKey(keyPath); }
std::vector<std::u16string> RegSubKeys(const std::u16string& keyPath) { return reg::SubKeyNames(keyPath); }
void SetRegValue(const std::u16string& keyPath, const std::u16string& name, DWORD type,
                 const std::vector<uint8_t>& data) {
  reg::SetValue(keyPath, name, type, data);
}
void SetRegString(const std::u16string& keyPath, const std::u16string& name,
                  const std::u16string& text) {
  reg::SetString(keyPath, name, text);
}
void SetRegDword(const std::u16string& keyPath, const std::u16string& name, DWORD value) {
  reg::SetDword(keyPath, name, value);
}
void SetRegMultiString(const std::u16string& keyPath, const std::u16string& name,
                       const std::vector<std::u16string>& strings) {
  reg::SetMultiString(keyPath, name, strings);
}
bool GetRegValue(const std::u16string& keyPath, const std::u16string& name, DWORD* type,
                 std::vector<uint8_t>* data) {
  reg::Value value;
  if (!reg::GetValue(keyPath, name, &value)) return false;
  if (type) *type = value.type;
  if (data) *data = value.data;
  return true;
}
bool GetRegString(const std::u16string& keyPath, const std::u16string& name,
                  std::u16string* text) {
  return reg::GetString(keyPath, name, text);
}
bool GetRegDword(const std::u16string& keyPath, const std::u16string& name, DWORD* value) {
  return reg::GetDword(keyPath, name, value);
}
bool RegValueExists(const std::u16string& keyPath, const std::u16string& name) {
  return reg::GetValue(keyPath, name, nullptr);
}
void DeleteRegValue(const std::u16string& keyPath, const std::u16string& name) {
  reg::DeleteValue(keyPath, name);
}
void DenyRegistryWrite(const std::u16string& keyPath, bool deny) { reg::DenyWrite(keyPath, deny); }
size_t OpenRegistryKeys() { return reg::OpenHandleCount(); }

}  // namespace winsim

// ------------------------------------------------------------ advapi32 --

using winsim::Narrow;
using winsim::reg::AnsiOrEmpty;
using winsim::reg::KeyText;

extern "C" {

const winsim::DocumentedErrors kRegOpenKeyExAErrors{
    "RegOpenKeyExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}};

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  std::string detail = KeyText(hKey) + "\\" + (lpSubKey ? lpSubKey : "") + " access " +
                       winsim::Hex(samDesired);
  if (DWORD e = winsim::Enter("RegOpenKeyExA", detail)) return static_cast<LSTATUS>(e);
  if (ulOptions != 0) winsim::Unsupported("RegOpenKeyExA", "options " + winsim::Hex(ulOptions));
  return winsim::reg::OpenOrCreate("RegOpenKeyExA", hKey, AnsiOrEmpty(lpSubKey), samDesired,
                                   false, phkResult, nullptr);
}

const winsim::DocumentedErrors kRegOpenKeyExWErrors{
    "RegOpenKeyExW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}};

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  std::string detail = KeyText(hKey) + "\\" + (lpSubKey ? Narrow(lpSubKey) : "") + " access " +
                       winsim::Hex(samDesired);
  if (DWORD e = winsim::Enter("RegOpenKeyExW", detail)) return static_cast<LSTATUS>(e);
  if (ulOptions != 0) winsim::Unsupported("RegOpenKeyExW", "options " + winsim::Hex(ulOptions));
  return winsim::reg::OpenOrCreate("RegOpenKeyExW", hKey, winsim::FromW(lpSubKey), samDesired,
                                   false, phkResult, nullptr);
}

const winsim::DocumentedErrors kRegCreateKeyExWErrors{"RegCreateKeyExW", {ERROR_ACCESS_DENIED}};

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  std::string detail = KeyText(hKey) + "\\" + Narrow(lpSubKey);
  if (DWORD e = winsim::Enter("RegCreateKeyExW", detail)) return static_cast<LSTATUS>(e);
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (dwOptions != REG_OPTION_NON_VOLATILE)
    winsim::Unsupported("RegCreateKeyExW", "options " + winsim::Hex(dwOptions));
  return winsim::reg::OpenOrCreate("RegCreateKeyExW", hKey, lpSubKey, samDesired, true,
                                   phkResult, lpdwDisposition);
}

const winsim::DocumentedErrors kRegQueryValueExAErrors{
    "RegQueryValueExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}};

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  std::string detail = KeyText(hKey) + " " + (lpValueName ? lpValueName : "(default)");
  if (DWORD e = winsim::Enter("RegQueryValueExA", detail)) return static_cast<LSTATUS>(e);
  return winsim::reg::Query(hKey, AnsiOrEmpty(lpValueName), lpReserved, lpType, lpData, lpcbData,
                            true);
}

const winsim::DocumentedErrors kRegQueryValueExWErrors{
    "RegQueryValueExW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}};

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  std::string detail = KeyText(hKey) + " " + (lpValueName ? Narrow(lpValueName) : "(default)");
  if (DWORD e = winsim::Enter("RegQueryValueExW", detail)) return static_cast<LSTATUS>(e);
  return winsim::reg::Query(hKey, winsim::FromW(lpValueName), lpReserved, lpType, lpData,
                            lpcbData, false);
}

const winsim::DocumentedErrors kRegSetValueExAErrors{"RegSetValueExA", {ERROR_ACCESS_DENIED}};

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  std::string detail = KeyText(hKey) + " " + (lpValueName ? lpValueName : "(default)");
  if (DWORD e = winsim::Enter("RegSetValueExA", detail)) return static_cast<LSTATUS>(e);
  return winsim::reg::Set(hKey, AnsiOrEmpty(lpValueName), Reserved, dwType, lpData, cbData, true);
}

const winsim::DocumentedErrors kRegSetValueExWErrors{"RegSetValueExW", {ERROR_ACCESS_DENIED}};

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  std::string detail = KeyText(hKey) + " " + (lpValueName ? Narrow(lpValueName) : "(default)");
  if (DWORD e = winsim::Enter("RegSetValueExW", detail)) return static_cast<LSTATUS>(e);
  return winsim::reg::Set(hKey, winsim::FromW(lpValueName), Reserved, dwType, lpData, cbData,
                          false);
}

const winsim::DocumentedErrors kRegDeleteValueAErrors{
    "RegDeleteValueA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}};

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string detail = KeyText(hKey) + " " + (lpValueName ? lpValueName : "(default)");
  if (DWORD e = winsim::Enter("RegDeleteValueA", detail)) return static_cast<LSTATUS>(e);
  return winsim::reg::DeleteNamedValue(hKey, AnsiOrEmpty(lpValueName));
}

const winsim::DocumentedErrors kRegDeleteValueWErrors{
    "RegDeleteValueW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}};

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  std::string detail = KeyText(hKey) + " " + (lpValueName ? Narrow(lpValueName) : "(default)");
  if (DWORD e = winsim::Enter("RegDeleteValueW", detail)) return static_cast<LSTATUS>(e);
  return winsim::reg::DeleteNamedValue(hKey, winsim::FromW(lpValueName));
}

const winsim::DocumentedErrors kRegEnumKeyExWErrors{
    "RegEnumKeyExW", {ERROR_ACCESS_DENIED, ERROR_NO_MORE_ITEMS}};

// Subkeys come in the order of their upper-cased names, as Windows lists the
// keys of a hive: sorted, ignoring case.
LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  std::string detail = KeyText(hKey) + " #" + std::to_string(dwIndex);
  if (DWORD e = winsim::Enter("RegEnumKeyExW", detail)) return static_cast<LSTATUS>(e);
  if (lpClass != nullptr || lpcchClass != nullptr || lpftLastWriteTime != nullptr)
    winsim::Unsupported("RegEnumKeyExW", "class names and write times");
  if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
    return ERROR_INVALID_PARAMETER;
  std::u16string path;
  REGSAM access = 0;
  winsim::reg::Key* key = nullptr;
  LSTATUS status = winsim::reg::Resolve(hKey, &path, &access, &key);
  if (status != ERROR_SUCCESS) return status;
  if (!(access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = key->subkeys.begin();
  std::advance(it, dwIndex);
  const std::u16string& name = it->second->name;
  if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), lpName);
  lpName[name.size()] = 0;
  *lpcchName = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

const winsim::DocumentedErrors kRegDeleteTreeWErrors{
    "RegDeleteTreeW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}};

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  std::string detail = KeyText(hKey) + "\\" + Narrow(lpSubKey);
  if (DWORD e = winsim::Enter("RegDeleteTreeW", detail)) return static_cast<LSTATUS>(e);
  if (lpSubKey == nullptr || lpSubKey[0] == 0)
    winsim::Unsupported("RegDeleteTreeW", "emptying the open key itself");
  std::u16string path;
  REGSAM access = 0;
  winsim::reg::Key* key = nullptr;
  LSTATUS status = winsim::reg::Resolve(hKey, &path, &access, &key);
  if (status != ERROR_SUCCESS) return status;
  std::u16string full = path + u"\\" + winsim::FromW(lpSubKey);
  if (!winsim::reg::KeyExists(full)) return ERROR_FILE_NOT_FOUND;
  const REGSAM needed = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
  if ((access & needed) != needed || winsim::reg::AnyWriteDenied(full)) return ERROR_ACCESS_DENIED;
  winsim::reg::DeleteKey(full);
  return ERROR_SUCCESS;
}

const winsim::DocumentedErrors kRegFlushKeyErrors{"RegFlushKey", {ERROR_REGISTRY_IO_FAILED}};

// Writes the key's hive to disk, as a power loss would find it.
LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  if (DWORD e = winsim::Enter("RegFlushKey", KeyText(hKey))) return static_cast<LSTATUS>(e);
  std::u16string path;
  REGSAM access = 0;
  winsim::reg::Key* key = nullptr;
  LSTATUS status = winsim::reg::Resolve(hKey, &path, &access, &key);
  if (status != ERROR_SUCCESS) return status;
  winsim::reg::FlushHive(path.substr(0, path.find(u'\\')));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (DWORD e = winsim::Enter("RegCloseKey", KeyText(hKey))) return static_cast<LSTATUS>(e);
  if (winsim::reg::Predefined(hKey)) return ERROR_SUCCESS;
  if (winsim::reg::State().handles.erase(reinterpret_cast<uintptr_t>(hKey)) == 0)
    return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

}  // extern "C"

// The machine's file system: one drive C:, directories and files held in
// memory, names compared ignoring ASCII case, open handles with share modes,
// holders that keep files in use, and kernel32's file calls on top.
#include "core.h"

#include <winsim/control.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "saved_record.h"

namespace winsim {
namespace files {
namespace {

struct HoldRecord {
  std::string holder;
  DWORD deleteError;  // 0: the holder shares delete
};

struct IoFault {
  uint64_t offset;
  DWORD error;  // 0 for a short write
};

struct Node {
  std::u16string path;  // canonical, with the case it was created with
  bool directory = false;
  std::vector<uint8_t> bytes;
  bool readOnly = false;  // FILE_ATTRIBUTE_READONLY
  // DeleteFileW succeeded while handles or holders that share delete had
  // the file open: the name stays until the last of them lets go.
  bool deletePending = false;
};

class OpenFile;
void FinishPendingDelete(const std::u16string& key);

struct FileState {
  std::map<std::u16string, Node> nodes;  // by Key
  std::map<std::u16string, std::vector<HoldRecord>> holds;
  std::map<std::u16string, IoFault> readFaults;
  std::map<std::u16string, IoFault> writeFaults;
  std::multimap<std::u16string, OpenFile*> open;
  std::u16string currentDirectory = u"C:\\Windows\\System32";
};

FileState& State() {
  // Never destroyed: objects that outlive main may still reach it.
  static FileState& state = *new FileState;
  return state;
}

class OpenFile : public KernelObject {
 public:
  OpenFile(std::u16string key, DWORD access, DWORD share)
      : key_(std::move(key)), access_(access), share_(share) {
    State().open.emplace(key_, this);
  }
  ~OpenFile() override { Unlist(); }
  const char* TypeName() const override { return "file"; }
  void OnHandleClosed(HANDLE) override {
    Unlist();
    FinishPendingDelete(key_);
  }

  const std::u16string& key() const { return key_; }
  DWORD access() const { return access_; }
  DWORD share() const { return share_; }
  uint64_t position = 0;
  // Opened with FILE_APPEND_DATA and without GENERIC_WRITE: every write
  // goes to the end of the file.
  bool appendOnly = false;

 private:
  void Unlist() {
    auto range = State().open.equal_range(key_);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == this) {
        State().open.erase(it);
        return;
      }
    }
  }
  std::u16string key_;
  DWORD access_;
  DWORD share_;
};

bool ValidComponent(const std::u16string& name) {
  for (char16_t c : name) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' ||
        c == u'*' || c == u':')
      return false;
  }
  return true;
}

std::u16string ParentOf(const std::u16string& canonical) {
  size_t pos = canonical.find_last_of(u'\\');
  if (pos == std::u16string::npos) return std::u16string();
  if (pos == 2) return canonical.substr(0, 3);  // "C:\"
  return canonical.substr(0, pos);
}

bool IsRoot(const std::u16string& canonical) { return canonical.size() == 3; }

Node* Find(const std::u16string& canonical) {
  auto it = State().nodes.find(UpperAscii(canonical));
  return it == State().nodes.end() ? nullptr : &it->second;
}

bool DirectoryExistsCanonical(const std::u16string& canonical) {
  if (IsRoot(canonical)) return canonical[0] == u'C';
  Node* node = Find(canonical);
  return node != nullptr && node->directory;
}

// The error for a missing path: ERROR_PATH_NOT_FOUND when its directory is
// missing too, else ERROR_FILE_NOT_FOUND.
DWORD MissingError(const std::u16string& canonical) {
  return DirectoryExistsCanonical(ParentOf(canonical)) ? ERROR_FILE_NOT_FOUND
                                                        : ERROR_PATH_NOT_FOUND;
}

const HoldRecord* FirstHold(const std::u16string& key) {
  auto it = State().holds.find(key);
  if (it == State().holds.end() || it->second.empty()) return nullptr;
  return &it->second.front();
}

// The first holder that does not share delete, or null.
const HoldRecord* HoldRefusingDelete(const std::u16string& key) {
  auto it = State().holds.find(key);
  if (it == State().holds.end()) return nullptr;
  for (const HoldRecord& hold : it->second)
    if (hold.deleteError != 0) return &hold;
  return nullptr;
}

// A file whose deletion is pending goes once no handle and no holder has it
// open any more.
void FinishPendingDelete(const std::u16string& key) {
  auto it = State().nodes.find(key);
  if (it == State().nodes.end() || !it->second.deletePending) return;
  if (FirstHold(key) != nullptr || State().open.count(key) != 0) return;
  State().nodes.erase(it);
}

bool ShareConflict(const std::u16string& key, DWORD access, DWORD share) {
  bool reads = (access & GENERIC_READ) != 0;
  bool writes = (access & GENERIC_WRITE) != 0;
  auto range = State().open.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    const OpenFile* other = it->second;
    if (reads && !(other->share() & FILE_SHARE_READ)) return true;
    if (writes && !(other->share() & FILE_SHARE_WRITE)) return true;
    if ((other->access() & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((other->access() & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  }
  return false;
}

bool OpenWithoutShareDelete(const std::u16string& key) {
  auto range = State().open.equal_range(key);
  for (auto it = range.first; it != range.second; ++it)
    if (!(it->second->share() & FILE_SHARE_DELETE)) return true;
  return false;
}

std::u16string MustCanonical(const std::u16string& path) {
  std::u16string canonical;
  if (!Canonical(path, &canonical)) Fatal("not a path the machine can hold: " + Narrow(path));
  return canonical;
}

// ------------------------------------------------------------ save/load --

void ResetFiles() {
  FileState& s = State();
  s.nodes.clear();
  s.holds.clear();
  s.readFaults.clear();
  s.writeFaults.clear();
  s.open.clear();
  s.currentDirectory = u"C:\\Windows\\System32";
}

// The lines of files.txt: a directory (or the current directory), a file
// with the name of the blob that holds its contents, a hold, and a read or
// write fault.
struct SavedPath {
  std::u16string path;
};

struct SavedFile {
  std::u16string path;
  std::string contents;  // blob in the directory "files"
  bool readOnly = false;
  bool deletePending = false;
};

struct SavedHold {
  std::u16string path;
  std::string holder;
  DWORD deleteError = 0;
};

struct SavedFault {
  std::u16string path;
  uint64_t offset = 0;
  DWORD error = 0;
};

const SavedFields<SavedPath>& PathFields() {
  static const SavedFields<SavedPath> fields = {Field("path", &SavedPath::path)};
  return fields;
}

const SavedFields<SavedFile>& FileFields() {
  static const SavedFields<SavedFile> fields = {
      Field("path", &SavedFile::path),
      Field("contents", &SavedFile::contents),
      Field("readOnly", &SavedFile::readOnly),
      Field("deletePending", &SavedFile::deletePending),
  };
  return fields;
}

const SavedFields<SavedHold>& HoldFields() {
  static const SavedFields<SavedHold> fields = {
      Field("path", &SavedHold::path),
      Field("holder", &SavedHold::holder),
      Field("deleteError", &SavedHold::deleteError),
  };
  return fields;
}

const SavedFields<SavedFault>& FaultFields() {
  static const SavedFields<SavedFault> fields = {
      Field("path", &SavedFault::path),
      Field("offset", &SavedFault::offset),
      Field("error", &SavedFault::error),
  };
  return fields;
}

// files.txt with the contents of the files in the directory "files".
void SaveFiles(const std::string& dir) {
  FileState& s = State();
  std::string blobs = dir + "/files";
  ::mkdir(blobs.c_str(), 0777);
  // Contents of an earlier save go first, so that none is left behind.
  if (DIR* old = ::opendir(blobs.c_str())) {
    while (struct dirent* entry = ::readdir(old)) {
      std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
        ::unlink((blobs + "/" + name).c_str());
    }
    ::closedir(old);
  }
  std::string out = SavedLine("current", SavedPath{s.currentDirectory}, PathFields());
  size_t n = 0;
  for (const auto& entry : s.nodes) {
    const Node& node = entry.second;
    if (node.directory) {
      out += SavedLine("directory", SavedPath{node.path}, PathFields());
    } else {
      std::string blob = std::to_string(n++) + ".bin";
      WriteTextFile(blobs + "/" + blob, std::string(node.bytes.begin(), node.bytes.end()));
      SavedFile saved{node.path, blob, node.readOnly, node.deletePending};
      out += SavedLine("file", saved, FileFields());
    }
  }
  for (const auto& entry : s.holds) {
    for (const HoldRecord& hold : entry.second)
      out += SavedLine("hold", SavedHold{entry.first, hold.holder, hold.deleteError}, HoldFields());
  }
  for (const auto& entry : s.readFaults) {
    SavedFault fault{entry.first, entry.second.offset, entry.second.error};
    out += SavedLine("readFault", fault, FaultFields());
  }
  for (const auto& entry : s.writeFaults) {
    SavedFault fault{entry.first, entry.second.offset, entry.second.error};
    out += SavedLine("writeFault", fault, FaultFields());
  }
  WriteTextFile(dir + "/files.txt", out);
}

void LoadLine(const std::string& dir, const std::vector<std::string>& line,
              const std::string& file) {
  FileState& s = State();
  const std::string& kind = line[0];
  if (kind == "current" || kind == "directory") {
    SavedPath saved;
    ReadSavedLine(line, PathFields(), &saved, file);
    if (kind == "current")
      s.currentDirectory = saved.path;
    else
      MakeDirectories(saved.path);
  } else if (kind == "file") {
    SavedFile saved;
    ReadSavedLine(line, FileFields(), &saved, file);
    std::string bytes;
    if (!ReadTextFile(dir + "/files/" + saved.contents, &bytes))
      Fatal("machine directory " + dir + ": missing file contents " + saved.contents);
    WriteBytes(saved.path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    Node* node = Find(MustCanonical(saved.path));
    node->readOnly = saved.readOnly;
    node->deletePending = saved.deletePending;
  } else if (kind == "hold") {
    SavedHold saved;
    ReadSavedLine(line, HoldFields(), &saved, file);
    s.holds[saved.path].push_back(HoldRecord{saved.holder, saved.deleteError});
  } else if (kind == "readFault" || kind == "writeFault") {
    SavedFault saved;
    ReadSavedLine(line, FaultFields(), &saved, file);
    (kind == "readFault" ? s.readFaults : s.writeFaults)[saved.path] =
        IoFault{saved.offset, saved.error};
  } else {
    Fatal(file + ": unreadable line " + kind);
  }
}

void LoadFiles(const std::string& dir) {
  const std::string file = dir + "/files.txt";
  std::string text;
  if (!ReadTextFile(file, &text)) return;
  // The default machine's files go: the saved ones are the machine's.
  ResetFiles();
  ForEachSavedLine(text, [&](const std::vector<std::string>& line) { LoadLine(dir, line, file); });
  // The handles of the saving process are gone; only holders still count.
  std::vector<std::u16string> pending;
  for (const auto& entry : State().nodes)
    if (entry.second.deletePending) pending.push_back(entry.first);
  for (const std::u16string& key : pending) FinishPendingDelete(key);
}

ModuleRegistrar filesRegistrar{"files", 10, &ResetFiles, &SaveFiles, &LoadFiles};

}  // namespace

bool Canonical(const std::u16string& input, std::u16string* canonical, DWORD* error) {
  DWORD dummy = 0;
  DWORD& err = error ? *error : dummy;
  std::u16string path = input;
  if (path.empty()) {
    err = ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (path.size() >= 4 && (path.compare(0, 4, u"\\\\?\\") == 0 || path.compare(0, 4, u"\\??\\") == 0))
    path = path.substr(4);
  for (char16_t& c : path)
    if (c == u'/') c = u'\\';
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    err = ERROR_BAD_NETPATH;
    return false;
  }
  std::u16string full;
  const std::u16string& cwd = State().currentDirectory;
  if (path.size() >= 2 && path[1] == u':') {
    char16_t drive = path[0];
    if (drive >= u'a' && drive <= u'z') drive = static_cast<char16_t>(drive - u'a' + u'A');
    if (drive < u'A' || drive > u'Z') {
      err = ERROR_INVALID_NAME;
      return false;
    }
    std::u16string rest = path.substr(2);
    if (!rest.empty() && rest[0] == u'\\') {
      full = std::u16string(1, drive) + u":" + rest;
    } else if (drive == cwd[0]) {
      full = cwd + u"\\" + rest;
    } else {
      full = std::u16string(1, drive) + u":\\" + rest;
    }
  } else if (path[0] == u'\\') {
    full = cwd.substr(0, 2) + path;
  } else {
    full = cwd + u"\\" + path;
  }
  // Resolve the components after "X:".
  std::vector<std::u16string> parts;
  size_t pos = 2;
  while (pos < full.size()) {
    size_t next = full.find(u'\\', pos);
    if (next == std::u16string::npos) next = full.size();
    std::u16string part = full.substr(pos, next - pos);
    pos = next + 1;
    // Windows drops trailing dots and spaces of a component.
    if (part != u"." && part != u"..")
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    if (!ValidComponent(part)) {
      err = ERROR_INVALID_NAME;
      return false;
    }
    parts.push_back(part);
  }
  std::u16string out = full.substr(0, 2);
  if (parts.empty()) out += u"\\";
  for (const std::u16string& part : parts) out += u"\\" + part;
  *canonical = out;
  return true;
}

std::u16string Key(const std::u16string& path) {
  std::u16string canonical;
  if (!Canonical(path, &canonical)) return UpperAscii(path);
  return UpperAscii(canonical);
}

bool Exists(const std::u16string& path) {
  std::u16string c;
  if (!Canonical(path, &c)) return false;
  return DirectoryExistsCanonical(c) || Find(c) != nullptr;
}

bool IsDirectory(const std::u16string& path) {
  std::u16string c;
  return Canonical(path, &c) && DirectoryExistsCanonical(c);
}

bool IsFile(const std::u16string& path) {
  std::u16string c;
  if (!Canonical(path, &c)) return false;
  Node* node = Find(c);
  return node != nullptr && !node->directory;
}

bool ReadBytes(const std::u16string& path, std::vector<uint8_t>* bytes) {
  std::u16string c;
  if (!Canonical(path, &c)) return false;
  Node* node = Find(c);
  if (node == nullptr || node->directory) return false;
  *bytes = node->bytes;
  return true;
}

void MakeDirectories(const std::u16string& path) {
  std::u16string c = MustCanonical(path);
  if (IsRoot(c)) return;
  MakeDirectories(ParentOf(c));
  Node* node = Find(c);
  if (node != nullptr) {
    if (!node->directory) Fatal("a file stands where a directory is wanted: " + Narrow(c));
    return;
  }
  Node dir;
  dir.path = c;
  dir.directory = true;
  State().nodes[UpperAscii(c)] = dir;
}

void WriteBytes(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  std::u16string c = MustCanonical(path);
  MakeDirectories(ParentOf(c));
  Node* node = Find(c);
  if (node != nullptr && node->directory) Fatal("a directory stands where a file is wanted: " + Narrow(c));
  if (node == nullptr) {
    Node file;
    file.path = c;
    State().nodes[UpperAscii(c)] = file;
    node = Find(c);
  }
  node->bytes = bytes;
  node->deletePending = false;  // a new file under the name
}

bool Copy(const std::u16string& from, const std::u16string& to) {
  std::vector<uint8_t> bytes;
  if (!ReadBytes(from, &bytes)) return false;
  WriteBytes(to, bytes);
  return true;
}

bool Remove(const std::u16string& path) {
  std::u16string c;
  if (!Canonical(path, &c) || IsRoot(c)) return false;
  Node* node = Find(c);
  if (node == nullptr) return false;
  if (node->directory && !List(c).empty()) return false;
  State().nodes.erase(UpperAscii(c));
  return true;
}

std::vector<std::u16string> List(const std::u16string& directory) {
  std::vector<std::u16string> out;
  std::u16string c;
  if (!Canonical(directory, &c)) return out;
  std::u16string prefix = UpperAscii(c);
  if (!IsRoot(c)) prefix += u"\\";
  for (const auto& entry : State().nodes) {
    const std::u16string& key = entry.first;
    if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0 &&
        key.find(u'\\', prefix.size()) == std::u16string::npos)
      out.push_back(entry.second.path);
  }
  return out;
}

void Hold(const std::u16string& path, const std::string& holder, DWORD deleteError) {
  if (deleteError != 0 && deleteError != ERROR_ACCESS_DENIED &&
      deleteError != ERROR_SHARING_VIOLATION)
    Fatal("a hold makes deletion fail with ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION, "
          "or shares delete (0)");
  std::vector<HoldRecord>& list = State().holds[Key(path)];
  for (HoldRecord& hold : list) {
    if (hold.holder == holder) {
      hold.deleteError = deleteError;
      return;
    }
  }
  list.push_back(HoldRecord{holder, deleteError});
}

void Release(const std::u16string& path, const std::string& holder) {
  auto it = State().holds.find(Key(path));
  if (it == State().holds.end()) return;
  std::vector<HoldRecord>& list = it->second;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const HoldRecord& h) { return h.holder == holder; }),
             list.end());
  std::u16string key = it->first;
  if (list.empty()) State().holds.erase(it);
  FinishPendingDelete(key);
}

void ReleaseAll(const std::string& holder) {
  auto& holds = State().holds;
  std::vector<std::u16string> released;
  for (auto it = holds.begin(); it != holds.end();) {
    std::vector<HoldRecord>& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const HoldRecord& h) { return h.holder == holder; }),
               list.end());
    if (list.empty()) released.push_back(it->first);
    it = list.empty() ? holds.erase(it) : std::next(it);
  }
  for (const std::u16string& key : released) FinishPendingDelete(key);
}

bool IsHeld(const std::u16string& path) { return FirstHold(Key(path)) != nullptr; }

std::vector<std::string> Holders(const std::u16string& path) {
  std::vector<std::string> out;
  auto it = State().holds.find(Key(path));
  if (it != State().holds.end())
    for (const HoldRecord& h : it->second) out.push_back(h.holder);
  return out;
}

DWORD Delete(const std::u16string& path) {
  std::u16string c;
  DWORD error = 0;
  if (!Canonical(path, &c, &error)) return error;
  Node* node = Find(c);
  if (IsRoot(c) || (node != nullptr && node->directory)) return ERROR_ACCESS_DENIED;
  if (node == nullptr) return MissingError(c);
  // DeleteFileW opens the file for deletion: a file already marked for
  // deletion cannot be opened, a read-only one may not be deleted.
  if (node->deletePending || node->readOnly) return ERROR_ACCESS_DENIED;
  std::u16string key = UpperAscii(c);
  if (const HoldRecord* hold = HoldRefusingDelete(key)) return hold->deleteError;
  if (OpenWithoutShareDelete(key)) return ERROR_SHARING_VIOLATION;
  node->deletePending = true;
  FinishPendingDelete(key);
  return 0;
}

bool DeletePending(const std::u16string& path) {
  std::u16string c;
  if (!Canonical(path, &c)) return false;
  Node* node = Find(c);
  return node != nullptr && node->deletePending;
}

bool ReadOnly(const std::u16string& path) {
  std::u16string c;
  if (!Canonical(path, &c)) return false;
  Node* node = Find(c);
  return node != nullptr && node->readOnly;
}

void SetReadOnly(const std::u16string& path, bool readOnly) {
  std::u16string c = MustCanonical(path);
  Node* node = Find(c);
  if (node == nullptr || node->directory) Fatal("no file to make read-only: " + Narrow(c));
  node->readOnly = readOnly;
}

std::u16string CurrentDirectory() { return State().currentDirectory; }

void SetCurrentDirectory(const std::u16string& path) {
  std::u16string c = MustCanonical(path);
  State().currentDirectory = c;
}

void SetReadFault(const std::u16string& path, uint64_t offset, DWORD error) {
  State().readFaults[Key(path)] = IoFault{offset, error};
}

void SetWriteFault(const std::u16string& path, uint64_t offset, DWORD error) {
  State().writeFaults[Key(path)] = IoFault{offset, error};
}

}  // namespace files

// ------------------------------------------------------------- control --

void PutFile(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  files::WriteBytes(path, bytes);
}
void PutTextFile(const std::u16string& path, const std::string& text) {
  files::WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}
bool FileExists(const std::u16string& path) { return files::IsFile(path); }
bool DirectoryExists(const std::u16string& path) { return files::IsDirectory(path); }
std::vector<uint8_t> FileBytes(const std::u16string& path) {
  std::vector<uint8_t> bytes;
  files::ReadBytes(path, &bytes);
  return bytes;
}
void MakeDirectory(const std::u16string& path) { files::MakeDirectories(path); }
void RemoveFile(const std::u16string& path) { files::Remove(path); }
void HoldFile(const std::u16string& path, const std::string& holder, DWORD deleteError) {
  files::Hold(path, holder, deleteError);
}
void ReleaseFile(const std::u16string& path, const std::string& holder) {
  files::Release(path, holder);
}
void ReleaseHolder(const std::string& holder) { files::ReleaseAll(holder); }
bool FileHeld(const std::u16string& path) { return files::IsHeld(path); }
bool FileDeletePending(const std::u16string& path) { return files::DeletePending(path); }
void SetFileReadOnly(const std::u16string& path, bool readOnly) {
  files::SetReadOnly(path, readOnly);
}
void FailReadAt(const std::u16string& path, uint64_t offset, DWORD error) {
  if (error == 0) Fatal("FailReadAt needs a nonzero error");
  files::SetReadFault(path, offset, error);
}
void FailWriteAt(const std::u16string& path, uint64_t offset, DWORD error) {
  files::SetWriteFault(path, offset, error);
}

}  // namespace winsim

// ------------------------------------------------------------ kernel32 --

using winsim::Narrow;
using winsim::files::State;

namespace {

std::string AccessText(DWORD access) {
  std::string out;
  if (access & GENERIC_READ) out += "R";
  if (access & GENERIC_WRITE) out += "W";
  if (access & FILE_APPEND_DATA) out += "A";
  return out.empty() ? "-" : out;
}

std::shared_ptr<winsim::files::OpenFile> FileFromHandle(HANDLE handle) {
  return winsim::LookupHandleAs<winsim::files::OpenFile>(handle);
}

// The open file behind the handle and its node, when the handle was opened
// with the access a read or write needs; otherwise sets the error ReadFile
// and WriteFile fail with and gives no node.
winsim::files::Node* OpenedNode(HANDLE handle, DWORD access,
                                std::shared_ptr<winsim::files::OpenFile>* file) {
  *file = FileFromHandle(handle);
  if (!*file) {
    winsim::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!((*file)->access() & access)) {
    winsim::SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto& nodes = State().nodes;
  auto it = nodes.find((*file)->key());
  if (it == nodes.end()) {
    winsim::SetError(ERROR_FILE_INVALID);
    return nullptr;
  }
  return &it->second;
}

}  // namespace

extern "C" {

const winsim::DocumentedErrors kCreateFileWErrors{
    "CreateFileW",
    {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
     ERROR_DISK_FULL}};

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE hTemplateFile) {
  std::string detail = Narrow(lpFileName) + " access " + AccessText(dwDesiredAccess) + " share " +
                       std::to_string(dwShareMode) + " disposition " +
                       std::to_string(dwCreationDisposition);
  if (winsim::Enter("CreateFileW", detail)) return INVALID_HANDLE_VALUE;
  if (lpFileName == nullptr) winsim::Unsupported("CreateFileW", "a null path");
  if (hTemplateFile != nullptr) winsim::Unsupported("CreateFileW", "a template file");
  if (dwDesiredAccess & ~(GENERIC_READ | GENERIC_WRITE | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES |
                          SYNCHRONIZE))
    winsim::Unsupported("CreateFileW", "access " + winsim::Hex(dwDesiredAccess));
  // Appending is writing, as far as sharing and holders are concerned.
  bool appendOnly = (dwDesiredAccess & FILE_APPEND_DATA) && !(dwDesiredAccess & GENERIC_WRITE);
  if (dwDesiredAccess & FILE_APPEND_DATA) dwDesiredAccess |= GENERIC_WRITE;
  dwDesiredAccess &= GENERIC_READ | GENERIC_WRITE;
  if (dwShareMode & ~static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (dwFlagsAndAttributes != 0 && dwFlagsAndAttributes != FILE_ATTRIBUTE_NORMAL &&
      dwFlagsAndAttributes != FILE_ATTRIBUTE_ARCHIVE)
    winsim::Unsupported("CreateFileW", "flags and attributes " + winsim::Hex(dwFlagsAndAttributes));
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string canonical;
  DWORD error = 0;
  if (!winsim::files::Canonical(lpFileName, &canonical, &error)) {
    winsim::SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  using namespace winsim::files;
  std::u16string key = winsim::UpperAscii(canonical);
  if (DirectoryExistsCanonical(canonical)) {
    winsim::SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!DirectoryExistsCanonical(ParentOf(canonical))) {
    winsim::SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Node* node = Find(canonical);
  bool exists = node != nullptr;
  bool truncates = dwCreationDisposition == CREATE_ALWAYS ||
                   dwCreationDisposition == TRUNCATE_EXISTING;
  // A name whose file is marked for deletion cannot be opened or created
  // again until the file is gone; a read-only file cannot be written.
  if (exists && (node->deletePending ||
                 (node->readOnly && ((dwDesiredAccess & GENERIC_WRITE) != 0 || truncates)))) {
    winsim::SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  switch (dwCreationDisposition) {
    case CREATE_NEW:
      if (exists) {
        winsim::SetError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
      }
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      if (!exists) {
        winsim::SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      if (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & GENERIC_WRITE)) {
        winsim::SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      break;
    default:
      break;
  }
  bool writing = (dwDesiredAccess & GENERIC_WRITE) != 0 || (exists && truncates) || !exists;
  if (exists && writing && FirstHold(key) != nullptr) {
    winsim::SetError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (exists && ShareConflict(key, dwDesiredAccess | (truncates ? GENERIC_WRITE : 0), dwShareMode)) {
    winsim::SetError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (!exists) {
    Node file;
    file.path = canonical;
    State().nodes[key] = file;
  } else if (truncates) {
    node->bytes.clear();
  }
  auto opened = std::make_shared<OpenFile>(key, dwDesiredAccess, dwShareMode);
  opened->appendOnly = appendOnly;
  HANDLE handle = winsim::NewHandle(opened);
  if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
    winsim::SetError(exists ? ERROR_ALREADY_EXISTS : 0);
  return handle;
}

const winsim::DocumentedErrors kReadFileErrors{
    "ReadFile",
    {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_READ_FAULT}};

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (winsim::Enter("ReadFile", std::to_string(nNumberOfBytesToRead))) return FALSE;
  if (lpOverlapped != nullptr) winsim::Unsupported("ReadFile", "overlapped reads");
  if (lpNumberOfBytesRead == nullptr) winsim::Unsupported("ReadFile", "no count pointer");
  std::shared_ptr<winsim::files::OpenFile> file;
  winsim::files::Node* node = OpenedNode(hFile, GENERIC_READ, &file);
  if (node == nullptr) return FALSE;
  const std::vector<uint8_t>& bytes = node->bytes;
  uint64_t available = file->position < bytes.size() ? bytes.size() - file->position : 0;
  uint64_t count = std::min<uint64_t>(available, nNumberOfBytesToRead);
  auto fault = State().readFaults.find(file->key());
  if (fault != State().readFaults.end() && count > 0 && file->position <= fault->second.offset &&
      fault->second.offset < file->position + count) {
    winsim::SetError(fault->second.error);
    return FALSE;
  }
  if (count > 0) std::memcpy(lpBuffer, bytes.data() + file->position, count);
  file->position += count;
  *lpNumberOfBytesRead = static_cast<DWORD>(count);
  return TRUE;
}

const winsim::DocumentedErrors kWriteFileErrors{
    "WriteFile",
    {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_DISK_FULL}};

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (winsim::Enter("WriteFile", std::to_string(nNumberOfBytesToWrite))) return FALSE;
  if (lpOverlapped != nullptr) winsim::Unsupported("WriteFile", "overlapped writes");
  if (lpNumberOfBytesWritten == nullptr) winsim::Unsupported("WriteFile", "no count pointer");
  std::shared_ptr<winsim::files::OpenFile> file;
  winsim::files::Node* node = OpenedNode(hFile, GENERIC_WRITE, &file);
  if (node == nullptr) return FALSE;
  if (file->appendOnly) file->position = node->bytes.size();
  uint64_t count = nNumberOfBytesToWrite;
  auto fault = State().writeFaults.find(file->key());
  if (fault != State().writeFaults.end() && count > 0 &&
      file->position + count > fault->second.offset) {
    if (fault->second.error != 0) {
      winsim::SetError(fault->second.error);
      return FALSE;
    }
    count = fault->second.offset > file->position ? fault->second.offset - file->position : 0;
  }
  std::vector<uint8_t>& bytes = node->bytes;
  if (bytes.size() < file->position + count) bytes.resize(file->position + count, 0);
  if (count > 0) std::memcpy(bytes.data() + file->position, lpBuffer, count);
  file->position += count;
  *lpNumberOfBytesWritten = static_cast<DWORD>(count);
  return TRUE;
}

const winsim::DocumentedErrors kGetFileSizeExErrors{
    "GetFileSizeEx", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}};

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  if (winsim::Enter("GetFileSizeEx", winsim::Hex(reinterpret_cast<uintptr_t>(hFile)))) return FALSE;
  if (lpFileSize == nullptr) winsim::Unsupported("GetFileSizeEx", "no size pointer");
  std::shared_ptr<winsim::files::OpenFile> file;
  winsim::files::Node* node = OpenedNode(hFile, GENERIC_READ | GENERIC_WRITE, &file);
  if (node == nullptr) return FALSE;
  lpFileSize->QuadPart = static_cast<LONGLONG>(node->bytes.size());
  return TRUE;
}

const winsim::DocumentedErrors kDeleteFileWErrors{
    "DeleteFileW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}};

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (winsim::Enter("DeleteFileW", Narrow(lpFileName))) return FALSE;
  // No name at all is no path (kernel32 file.c).
  if (lpFileName == nullptr || lpFileName[0] == 0) {
    winsim::SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  DWORD error = winsim::files::Delete(lpFileName);
  if (error != 0) {
    winsim::SetError(error);
    return FALSE;
  }
  return TRUE;
}

const winsim::DocumentedErrors kGetFileAttributesWErrors{
    "GetFileAttributesW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}};

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (winsim::Enter("GetFileAttributesW", Narrow(lpFileName))) return INVALID_FILE_ATTRIBUTES;
  if (lpFileName == nullptr) winsim::Unsupported("GetFileAttributesW", "a null path");
  std::u16string canonical;
  DWORD error = 0;
  if (!winsim::files::Canonical(lpFileName, &canonical, &error)) {
    winsim::SetError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  using namespace winsim::files;
  if (DirectoryExistsCanonical(canonical)) return FILE_ATTRIBUTE_DIRECTORY;
  if (Node* node = Find(canonical)) {
    // Reading the attributes opens the file, which a pending deletion refuses.
    if (node->deletePending) {
      winsim::SetError(ERROR_ACCESS_DENIED);
      return INVALID_FILE_ATTRIBUTES;
    }
    return node->readOnly ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE
                          : FILE_ATTRIBUTE_ARCHIVE;
  }
  winsim::SetError(MissingError(canonical));
  return INVALID_FILE_ATTRIBUTES;
}

const winsim::DocumentedErrors kSetFileAttributesWErrors{
    "SetFileAttributesW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}};

// Of a file's attributes only FILE_ATTRIBUTE_READONLY is kept; archive and
// normal are taken as they are. Any other attribute, and attributes of a
// directory, are not modelled.
BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  if (winsim::Enter("SetFileAttributesW", Narrow(lpFileName) + " " + winsim::Hex(dwFileAttributes)))
    return FALSE;
  if (lpFileName == nullptr) winsim::Unsupported("SetFileAttributesW", "a null path");
  const DWORD kModelled = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
  if (dwFileAttributes & ~kModelled)
    winsim::Unsupported("SetFileAttributesW", "attributes " + winsim::Hex(dwFileAttributes));
  std::u16string canonical;
  DWORD error = 0;
  if (!winsim::files::Canonical(lpFileName, &canonical, &error)) {
    winsim::SetError(error);
    return FALSE;
  }
  using namespace winsim::files;
  if (DirectoryExistsCanonical(canonical))
    winsim::Unsupported("SetFileAttributesW", "attributes of a directory");
  Node* node = Find(canonical);
  if (node == nullptr) {
    winsim::SetError(MissingError(canonical));
    return FALSE;
  }
  // Setting attributes opens the file, which a pending deletion refuses.
  if (node->deletePending) {
    winsim::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  node->readOnly = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return TRUE;
}

const winsim::DocumentedErrors kCreateDirectoryWErrors{
    "CreateDirectoryW", {ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS}};

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (winsim::Enter("CreateDirectoryW", Narrow(lpPathName))) return FALSE;
  if (lpPathName == nullptr) winsim::Unsupported("CreateDirectoryW", "a null path");
  std::u16string canonical;
  DWORD error = 0;
  if (!winsim::files::Canonical(lpPathName, &canonical, &error)) {
    winsim::SetError(error);
    return FALSE;
  }
  using namespace winsim::files;
  if (DirectoryExistsCanonical(canonical) || Find(canonical) != nullptr) {
    winsim::SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (!DirectoryExistsCanonical(ParentOf(canonical))) {
    winsim::SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  MakeDirectories(canonical);
  return TRUE;
}

}  // extern "C"

// The journal of saved queues as svd::ReadJournal reads it: anyone with
// administrator rights may have written its keys and values. The fuzzer
// chooses the entries' key names and their values (name, type, bytes).
// Properties: the read ends; every entry that joins has a name, a SubKey and
// a number, and no two share a name; every entry skipped is dropped, so the
// journal holds exactly the entries that joined; each joined entry written
// again with svd::WriteJournalEntry reads back the same; nothing leaks.
//
// Input: records, each a byte with the key name's length, the name's bytes
// (fuzz::DecodeText, "\" made "_"), a byte with the count of values, then per
// value: a byte choosing its name (below 6 one of the entry's names, else
// the byte as a one-letter name), a byte with its type, a byte with its
// length and its bytes.
#include "fuzz_common.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cleanup/queue_journal.h"
#include "cleanup/printer_queues.h"
#include "workflows/job_setup.h"

namespace {

const std::u16string kJournal = u"HKLM\\Software\\Quarlen Software KFT\\Solvendale\\Setup\\SavedQueues";
const char16_t* const kValueNames[] = {u"Name", u"SubKey", u"Comment", u"Location", u"Default", u"Connection"};

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool Byte(uint8_t* out) {
    if (at >= size) return false;
    *out = data[at++];
    return true;
  }
  std::vector<uint8_t> Bytes(size_t count) {
    count = count < size - at ? count : size - at;
    std::vector<uint8_t> out(data + at, data + at + count);
    at += count;
    return out;
  }
};

std::u16string Text(LPCWSTR text) { return text != nullptr ? std::u16string(text) : u"(none)"; }

// What an entry holds, to compare a read with a read of its written copy.
std::u16string Describe(const svd::SavedPrinter* saved) {
  std::string subkey(saved->subkey);
  return Text(saved->name) + u"|" + Text(saved->comment) + u"|" + Text(saved->location) + u"|" +
         std::u16string(subkey.begin(), subkey.end()) + u"|" + (saved->wasDefault ? u"default" : u"") + u"|" +
         (saved->connection ? u"connection" : u"");
}

std::vector<std::u16string> ReadAll(svd::InstallJob* job) {
  svd::ReadJournal(job);
  std::vector<std::u16string> out;
  for (const svd::SavedPrinter* saved = job->SavedPrinterList; saved != nullptr; saved = saved->next) {
    FUZZ_CHECK(saved->name != nullptr && saved->name[0] != 0);
    FUZZ_CHECK(saved->subkey != nullptr);
    FUZZ_CHECK(saved->journalEntry != 0);
    for (const svd::SavedPrinter* other = saved->next; other != nullptr; other = other->next) {
      FUZZ_CHECK(std::u16string(other->name) != std::u16string(saved->name));
    }
    out.push_back(Describe(saved));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ReuseMachine();
  winsim::DeleteRegKey(kJournal);
  winsim::CreateRegKey(kJournal);
  Reader in{data, size};
  uint8_t length = 0;
  while (in.Byte(&length)) {
    std::vector<uint8_t> nameBytes = in.Bytes(length);
    std::u16string name = fuzz::DecodeText(nameBytes.data(), nameBytes.size());
    for (char16_t& unit : name) {
      if (unit == u'\\') unit = u'_';
    }
    if (name.empty()) name = u"00000001";
    std::u16string key = kJournal + u"\\" + name;
    winsim::CreateRegKey(key);
    uint8_t values = 0;
    in.Byte(&values);
    for (uint8_t v = 0; v < values; ++v) {
      uint8_t choice = 0, type = 0, bytes = 0;
      if (!in.Byte(&choice) || !in.Byte(&type) || !in.Byte(&bytes)) break;
      std::u16string valueName = choice < 6 ? kValueNames[choice] : std::u16string(1, char16_t(choice));
      winsim::SetRegValue(key, valueName, type, in.Bytes(bytes));
    }
  }

  size_t blocksBefore = winsim::LiveBlocks();
  svd::InstallJob job;
  std::memset(&job, 0, sizeof(job));
  svd::BeginInstallJob(&job);
  std::vector<std::u16string> joined = ReadAll(&job);
  FUZZ_CHECK(winsim::RegSubKeys(kJournal).size() == joined.size());

  // Written again into an empty journal, the entries read back the same.
  winsim::DeleteRegKey(kJournal);
  job.NextJournalEntry = 1;
  for (svd::SavedPrinter* saved = job.SavedPrinterList; saved != nullptr; saved = saved->next) {
    FUZZ_CHECK(svd::WriteJournalEntry(&job, saved));
  }
  svd::ReleaseSavedPrinters(&job.SavedPrinterList);
  FUZZ_CHECK(ReadAll(&job) == joined);
  svd::DestroyInstallJob(&job);

  FUZZ_CHECK(winsim::OpenRegistryKeys() == 0);
  FUZZ_CHECK(winsim::LiveBlocks() == blocksBefore);
  return 0;
}

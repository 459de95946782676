// Field values of saved records as text, and back.
#include "saved_record.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace winsim {

namespace {

const char kListSeparator = '\x1e';

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string FieldText(bool value) { return value ? "1" : "0"; }
std::string FieldText(const std::string& value) { return EscapeField(value); }
std::string FieldText(const std::u16string& value) { return EscapeText(value); }

std::string FieldText(const std::vector<std::u16string>& value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (i) text += kListSeparator;
    text += EscapeText(value[i]);
  }
  return text;
}

std::string FieldText(const std::vector<uint8_t>& value) { return HexBytes(value); }

bool ReadField(const std::string& text, bool* value) {
  if (text != "0" && text != "1") return false;
  *value = text == "1";
  return true;
}

bool ReadField(const std::string& text, std::string* value) {
  *value = UnescapeField(text);
  return true;
}

bool ReadField(const std::string& text, std::u16string* value) {
  *value = UnescapeText(text);
  return true;
}

// An empty text is the empty list; a list of one empty string cannot be
// told from it, and no saved list holds one.
bool ReadField(const std::string& text, std::vector<std::u16string>* value) {
  value->clear();
  if (text.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t cut = text.find(kListSeparator, start);
    size_t length = cut == std::string::npos ? cut : cut - start;
    value->push_back(UnescapeText(text.substr(start, length)));
    if (cut == std::string::npos) return true;
    start = cut + 1;
  }
}

bool ReadField(const std::string& text, std::vector<uint8_t>* value) {
  if (text.size() % 2 != 0) return false;
  for (char c : text)
    if (!IsHexDigit(c)) return false;
  *value = UnhexBytes(text);
  return true;
}

bool ReadSignedNumber(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == 0;
}

bool ReadUnsignedNumber(const std::string& text, unsigned long long* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == 0;
}

void ForEachSavedLine(const std::string& text, const SavedLineReader& line) {
  std::istringstream in(text);
  std::string each;
  while (std::getline(in, each))
    if (!each.empty()) line(SplitTabs(each));
}

bool ReadSaveFile(const std::string& path, const SavedLineReader& line) {
  std::string text;
  if (!ReadTextFile(path, &text)) return false;
  ForEachSavedLine(text, line);
  return true;
}

}  // namespace winsim

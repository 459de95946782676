// Records that the modules of the machine save with it and load back, each
// listed once as a table of named fields.
//
// A table lists, for every field of a record, its name in the save file and
// an accessor that reaches the field; the same table writes the record and
// reads it back, so a new field is one row. A record is one line of its
// module's save file:
//
//   <kind>\t<name>=<value>\t<name>=<value>...
//
//   const winsim::SavedFields<TrayBehaviour>& BehaviourFields() {
//     static const winsim::SavedFields<TrayBehaviour> fields = {
//         winsim::Field("exit", &TrayBehaviour::exit),
//         winsim::Field("exitDelayMs", &TrayBehaviour::exitDelayMs),
//     };
//     return fields;
//   }
//   out << winsim::SavedLine("behaviour", tray.behaviour, BehaviourFields());
//   ...
//   if (parts[0] == "behaviour") winsim::ReadSavedLine(parts, BehaviourFields(), &behaviour, file);
//
// A field that a line does not have keeps the value it had (its default in a
// fresh record); a field the table does not list, or a value that does not
// read back, ends the process with a message, as a damaged machine does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core.h"

namespace winsim {

// ------------------------------------------------------------ values --

// The text of a field's value, and back; ReadField is false when the text is
// not a value of the field's type. Numbers and enumerations are decimal,
// texts escaped (EscapeField), lists separated by '\x1e', byte strings hex
// digits; an optional value is "-" when absent, else "+" and the value.
std::string FieldText(bool value);
std::string FieldText(const std::string& value);
std::string FieldText(const std::u16string& value);
std::string FieldText(const std::vector<std::u16string>& value);
std::string FieldText(const std::vector<uint8_t>& value);
bool ReadField(const std::string& text, bool* value);
bool ReadField(const std::string& text, std::string* value);
bool ReadField(const std::string& text, std::u16string* value);
bool ReadField(const std::string& text, std::vector<std::u16string>* value);
bool ReadField(const std::string& text, std::vector<uint8_t>* value);
bool ReadSignedNumber(const std::string& text, long long* value);
bool ReadUnsignedNumber(const std::string& text, unsigned long long* value);

// The number behind an integer or an enumeration.
template <class T, bool = std::is_enum_v<T>>
struct FieldNumber {
  using type = T;
};
template <class T>
struct FieldNumber<T, true> {
  using type = std::underlying_type_t<T>;
};

template <class T>
std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, std::string> FieldText(T value) {
  return std::to_string(static_cast<typename FieldNumber<T>::type>(value));
}

template <class T>
std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, bool> ReadField(
    const std::string& text, T* value) {
  using Number = typename FieldNumber<T>::type;
  if constexpr (std::is_signed_v<Number>) {
    long long n = 0;
    if (!ReadSignedNumber(text, &n) || n < std::numeric_limits<Number>::min() ||
        n > std::numeric_limits<Number>::max())
      return false;
    *value = static_cast<T>(n);
  } else {
    unsigned long long n = 0;
    if (!ReadUnsignedNumber(text, &n) || n > std::numeric_limits<Number>::max()) return false;
    *value = static_cast<T>(n);
  }
  return true;
}

template <class T>
std::string FieldText(const std::optional<T>& value) {
  return value ? "+" + FieldText(*value) : std::string("-");
}

template <class T>
bool ReadField(const std::string& text, std::optional<T>* value) {
  if (text == "-") {
    value->reset();
    return true;
  }
  if (text.empty() || text[0] != '+') return false;
  T inner{};
  if (!ReadField(text.substr(1), &inner)) return false;
  *value = std::move(inner);
  return true;
}

// A list of enumeration values, separated by commas.
template <class T>
std::enable_if_t<std::is_enum_v<T>, std::string> FieldText(const std::vector<T>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) text += (i ? "," : "") + FieldText(values[i]);
  return text;
}

template <class T>
std::enable_if_t<std::is_enum_v<T>, bool> ReadField(const std::string& text,
                                                    std::vector<T>* values) {
  values->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    T value{};
    if (!ReadField(text.substr(start, comma - start), &value)) return false;
    values->push_back(value);
    start = comma + 1;
  }
  return true;
}

// ------------------------------------------------------------ tables --

template <class Record>
struct SavedField {
  std::string name;
  std::function<std::string(const Record&)> write;
  std::function<bool(const std::string&, Record*)> read;
};

template <class Record>
using SavedFields = std::vector<SavedField<Record>>;

// A field reached by an accessor that serves a const and a non-const record
// alike: Field<Process>("thread", [](auto& p) -> auto& { return p.threadId; }).
template <class Record, class Access>
SavedField<Record> Field(const char* name, Access access) {
  return SavedField<Record>{name,
                            [access](const Record& record) { return FieldText(access(record)); },
                            [access](const std::string& text, Record* record) {
                              return ReadField(text, &access(*record));
                            }};
}

// A member of the record: Field("exitDelayMs", &TrayBehaviour::exitDelayMs).
template <class Record, class Value>
SavedField<Record> Field(const char* name, Value Record::*member) {
  return Field<Record>(name, [member](auto& record) -> auto& { return record.*member; });
}

// The record as one line of a save file, with its line break.
template <class Record>
std::string SavedLine(const std::string& kind, const Record& record,
                      const SavedFields<Record>& fields) {
  std::string line = kind;
  for (const SavedField<Record>& field : fields)
    line += "\t" + field.name + "=" + field.write(record);
  return line + "\n";
}

// Reads the fields of a saved line (split at its tabs, the kind first) into
// the record.
template <class Record>
void ReadSavedLine(const std::vector<std::string>& parts, const SavedFields<Record>& fields,
                   Record* record, const std::string& file) {
  for (size_t i = 1; i < parts.size(); ++i) {
    size_t equals = parts[i].find('=');
    const SavedField<Record>* field = nullptr;
    for (const SavedField<Record>& candidate : fields)
      if (equals != std::string::npos && parts[i].compare(0, equals, candidate.name) == 0 &&
          candidate.name.size() == equals)
        field = &candidate;
    if (field == nullptr || !field->read(parts[i].substr(equals + 1), record))
      Fatal(file + ": unreadable field '" + parts[i] + "' of a " + parts[0] + " line");
  }
}

// Calls `line` with each line of a save file's text, split at its tabs (the
// kind first); empty lines are skipped.
using SavedLineReader = std::function<void(const std::vector<std::string>&)>;
void ForEachSavedLine(const std::string& text, const SavedLineReader& line);
// The same for the file at path; false when it is missing.
bool ReadSaveFile(const std::string& path, const SavedLineReader& line);

}  // namespace winsim

// Declared fields that load records (the key ring's stored keys, the key
// server's events): what each kind of field accepts, what a field does with
// an absent or null value, the exact messages of a refusal, and the shape
// of the errors of one load.
//
// A load reads each field under its name, or, when that key is absent,
// under its external name (load_from), and stores the loaded value under
// its attribute (its name when it has none). Errors are messages by key,
// and with many items by item index first, each in the order first met;
// an item that is no mapping is refused under kSchemaKey.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velna::schema {

// Kind is what a field converts to:
//  Raw       anything, unchanged
//  Int       an integer (what int() takes)
//  Str       text, or bytes that are UTF-8
//  Bool      one of the spellings of bool_from_text, or 1, 0, 0.0, true, false
//  DateTime  date and time text (velna::time::parse_field_date_time)
//  Uuid      an identifier, or text that velna::utils::parse_uuid reads
//  Dict      any mapping, unchanged
enum class Kind { Raw, Int, Str, Bool, DateTime, Uuid, Dict };

struct Field {
  std::string name;  // attribute name, and the first key looked up
  Kind kind = Kind::Raw;
  std::string load_from = {};  // external key read when |name| is absent; empty for none
  std::string attribute = {};  // key of the loaded value; empty for |name|
  bool allow_none = false;
  bool required = false;

  // output_key is the key the loaded value is stored under.
  const std::string& output_key() const { return attribute.empty() ? name : attribute; }
};

// Processor names a hook of the schema. With |pass_many| it receives the
// whole input and whether it holds many items, once; otherwise each item.
// The hooks of one stage that take the whole input run first.
struct Processor {
  std::string method;
  bool pass_many = false;
};

struct Definition {
  std::vector<Field> fields;  // in declaration order
  std::vector<Processor> pre_load;
  std::vector<Processor> post_load;
  bool strict = false;  // whether a load with errors raises, unless told otherwise
};

// The messages of a load.
inline constexpr std::string_view kSchemaKey = "_schema";
inline constexpr std::string_view kInvalidInput = "Invalid input type.";
inline constexpr std::string_view kMissing = "Missing data for required field.";
inline constexpr std::string_view kNull = "Field may not be null.";
inline constexpr std::string_view kInvalidUtf8 = "Not a valid utf-8 string.";

// invalid_message is the message of a value that a field of |kind| refuses
// ("Not a valid integer." and so on; Raw refuses nothing and has none).
std::string_view invalid_message(Kind kind);

// kind_name is the name a field's description gives its kind ("UUID" for Uuid).
std::string_view kind_name(Kind kind);

// bool_from_text reads the text spellings of a Bool field: "t", "T", "true",
// "True", "TRUE", "1" and "f", "F", "false", "False", "FALSE", "0"; empty
// for any other text.
std::optional<bool> bool_from_text(std::string_view text);

// Presence is what a field found: no value under either of its keys, a
// null value, or a value.
enum class Presence { Absent, Null, Value };

// Step is what a field does with what it found: leave it out of the loaded
// item, store null, convert the value, or fail with |message|.
struct Step {
  enum Action { Skip, Null, Convert, Fail } action;
  std::string_view message = {};
};

// step_for: an absent field is left out when |partial| (the load may leave
// it out) or when it is not required, else it fails with kMissing; a null
// value is stored where the field allows none, else it fails with kNull.
Step step_for(const Field& field, Presence presence, bool partial);

// Report gathers the errors of one load in the order they were met.
class Report {
 public:
  // Error is one message: the item index (with many), the key it was read
  // under and the field that failed (none for an item that is no mapping).
  struct Error {
    std::optional<std::size_t> index;
    std::string key;
    std::string_view message;
    const Field* field = nullptr;
  };
  // Messages are the messages of one key, in order.
  struct Messages {
    std::string key;
    std::vector<std::string_view> messages;
  };
  // Group is what the errors map holds for one item index (or, without an
  // index, at the top): keys in the order first met.
  struct Group {
    std::optional<std::size_t> index;
    std::vector<Messages> keys;
  };

  void add(std::optional<std::size_t> index, std::string_view key, std::string_view message,
           const Field* field = nullptr);
  // refuse_item records an item that is no mapping.
  void refuse_item(std::optional<std::size_t> index) { add(index, kSchemaKey, kInvalidInput); }

  bool empty() const { return errors_.empty(); }
  const std::vector<Error>& errors() const { return errors_; }
  // groups is the errors map: by index, then by key, in the order first met.
  std::vector<Group> groups() const;

 private:
  std::vector<Error> errors_;
};

}  // namespace velna::schema

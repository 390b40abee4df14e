// HTTP header fields: an ordered list whose names compare without regard to
// case, the checks that keep a field from splitting a request, and what a
// field's value says (the charset of a Content-Type).
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velna::http {

// iequals compares two ASCII texts without regard to case.
bool iequals(std::string_view a, std::string_view b);

// lower_ascii is |text| with the ASCII capitals in lower case.
std::string lower_ascii(std::string_view text);

// check_field refuses a header whose name is not an HTTP token, or whose
// value holds CR, LF or NUL (which would end the field early and let the
// rest pass as a header or a request of its own), with InvalidArgument.
void check_field(std::string_view name, std::string_view value);

// content_type_charset is the charset that a Content-Type value names
// ("text/plain; charset=UTF-8" names "utf-8"), in lower case without quotes
// or blanks; nothing when it names none.
std::optional<std::string> content_type_charset(std::string_view content_type);

template <typename Value>
struct BasicField {
  std::string name;
  Value value;
};

// FieldList keeps fields of any value in the order they were added; lookups
// ignore the case of the names. Headers holds text values; a binding keeps
// its own objects in one.
template <typename Value>
class FieldList {
 public:
  using Field = BasicField<Value>;

  // append adds one field as it is, whatever fields of that name there are.
  void append(std::string name, Value value) {
    fields_.push_back({std::move(name), std::move(value)});
  }
  // put makes |name| and |value| the one field of that name, at the place
  // of the first such field, or appends it.
  void put(std::string_view name, Value value) {
    auto first = position(name);
    if (first == fields_.end()) return append(std::string(name), std::move(value));
    first->name = std::string(name);
    first->value = std::move(value);
    fields_.erase(std::remove_if(first + 1, fields_.end(),
                                 [&](const Field& f) { return iequals(f.name, name); }),
                  fields_.end());
  }
  // find is the first field called |name|, or null.
  Field* find(std::string_view name) {
    auto at = position(name);
    return at == fields_.end() ? nullptr : &*at;
  }
  const Field* find(std::string_view name) const {
    return const_cast<FieldList*>(this)->find(name);
  }
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // erase removes every field called |name|; false when there was none.
  bool erase(std::string_view name) {
    auto end = std::remove_if(fields_.begin(), fields_.end(),
                              [&](const Field& f) { return iequals(f.name, name); });
    const bool found = end != fields_.end();
    fields_.erase(end, fields_.end());
    return found;
  }

  const std::vector<Field>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }
  void clear() { fields_.clear(); }

 protected:
  typename std::vector<Field>::iterator position(std::string_view name) {
    return std::find_if(fields_.begin(), fields_.end(),
                        [&](const Field& f) { return iequals(f.name, name); });
  }
  std::vector<Field> fields_;
};

using Field = BasicField<std::string>;

// Headers holds text fields: those a request sends, checked as they are
// added, or those an answer brought.
class Headers : public FieldList<std::string> {
 public:
  Headers() = default;
  // received takes the fields of an answer as they came, unchecked.
  static Headers received(std::vector<Field> fields) {
    Headers h;
    h.fields_ = std::move(fields);
    return h;
  }

  // add appends one field after check_field.
  void add(std::string name, std::string value);
  // set is put after check_field.
  void set(std::string_view name, std::string value);
  // get is the value of the first field called |name|.
  std::optional<std::string_view> get(std::string_view name) const {
    const Field* f = find(name);
    return f ? std::optional<std::string_view>(f->value) : std::nullopt;
  }
};

}  // namespace velna::http

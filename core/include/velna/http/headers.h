// HTTP header fields: an ordered list whose names compare without regard to
// case, and the checks that keep a field from splitting a request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velna::http {

// iequals compares two ASCII texts without regard to case.
bool iequals(std::string_view a, std::string_view b);

// check_field refuses a header whose name is not an HTTP token, or whose
// value holds CR, LF or NUL (which would end the field early and let the
// rest pass as a header or a request of its own), with InvalidArgument.
void check_field(std::string_view name, std::string_view value);

struct Field {
  std::string name;
  std::string value;
};

// Headers keeps fields in the order they were added; lookups ignore case.
class Headers {
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
  // set replaces every field called |name| by one field at the place of the
  // first, or appends it.
  void set(std::string_view name, std::string value);
  // get is the value of the first field called |name|.
  std::optional<std::string_view> get(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name).has_value(); }
  // erase removes every field called |name|; false when there was none.
  bool erase(std::string_view name);

  const std::vector<Field>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }
  void clear() { fields_.clear(); }

 private:
  std::vector<Field> fields_;
};

}  // namespace velna::http

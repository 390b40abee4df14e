#include "velna/schema/fields.h"

#include <algorithm>

namespace velna::schema {

std::string_view invalid_message(Kind kind) {
  switch (kind) {
    case Kind::Raw:
      return {};
    case Kind::Int:
      return "Not a valid integer.";
    case Kind::Str:
      return "Not a valid string.";
    case Kind::Bool:
      return "Not a valid boolean.";
    case Kind::DateTime:
      return "Not a valid datetime.";
    case Kind::Uuid:
      return "Not a valid UUID.";
    case Kind::Dict:
      return "Not a valid mapping type.";
  }
  return {};
}

std::string_view kind_name(Kind kind) {
  switch (kind) {
    case Kind::Raw:
      return "Raw";
    case Kind::Int:
      return "Int";
    case Kind::Str:
      return "Str";
    case Kind::Bool:
      return "Bool";
    case Kind::DateTime:
      return "DateTime";
    case Kind::Uuid:
      return "UUID";
    case Kind::Dict:
      return "Dict";
  }
  return "Raw";
}

std::optional<bool> bool_from_text(std::string_view text) {
  static constexpr std::string_view kTrue[] = {"t", "T", "true", "True", "TRUE", "1"};
  static constexpr std::string_view kFalse[] = {"f", "F", "false", "False", "FALSE", "0"};
  if (std::find(std::begin(kTrue), std::end(kTrue), text) != std::end(kTrue)) return true;
  if (std::find(std::begin(kFalse), std::end(kFalse), text) != std::end(kFalse)) return false;
  return std::nullopt;
}

Step step_for(const Field& field, Presence presence, bool partial) {
  switch (presence) {
    case Presence::Absent:
      if (partial || !field.required) return {Step::Skip};
      return {Step::Fail, kMissing};
    case Presence::Null:
      if (field.allow_none) return {Step::Null};
      return {Step::Fail, kNull};
    case Presence::Value:
      break;
  }
  return {Step::Convert};
}

void Report::add(std::optional<std::size_t> index, std::string_view key, std::string_view message,
                 const Field* field) {
  errors_.push_back({index, std::string(key), message, field});
}

std::vector<Report::Group> Report::groups() const {
  std::vector<Group> out;
  for (const Error& e : errors_) {
    // The errors of one item come together: the last group is nearly always it.
    auto group = !out.empty() && out.back().index == e.index
                     ? out.end() - 1
                     : std::find_if(out.begin(), out.end(),
                                    [&](const Group& g) { return g.index == e.index; });
    if (group == out.end()) group = out.insert(out.end(), Group{e.index, {}});
    auto key = std::find_if(group->keys.begin(), group->keys.end(),
                            [&](const Messages& m) { return m.key == e.key; });
    if (key == group->keys.end()) key = group->keys.insert(group->keys.end(), Messages{e.key, {}});
    key->messages.push_back(e.message);
  }
  return out;
}

}  // namespace velna::schema

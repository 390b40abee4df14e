// The key server's event objects as records load them: the record's
// attributes, the fields that load them (each under its attribute name, or
// under its key on the wire when that name is absent) and the lookup of a
// member name of an event object, made at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "velna/schema/fields.h"

namespace velna::schema::events {

// The record's attributes, in their order.
inline constexpr std::array<const char*, 11> kAttributes = {
    "action",
    "id",
    "changes",
    "client_app_name",
    "container_expired_at",
    "container_id",
    "container_modified_at",
    "container_type",
    "date",
    "related_user_id",
    "type",
};
inline constexpr std::size_t kCount = kAttributes.size();

// One field, in declaration order: its name (the attribute's), its key on
// the wire ("" when it is the name), kind, whether null is taken, and the
// attribute's place in kAttributes.
struct EventField {
  const char* name;
  const char* load_from;
  Kind kind;
  bool allow_none;
  std::size_t attribute;
};
inline constexpr EventField kFields[] = {
    {"action", "", Kind::Str, false, 0},
    {"changes", "", Kind::Dict, true, 2},
    {"client_app_name", "clientAppName", Kind::Str, true, 3},
    {"container_expired_at", "containerExpiredAt", Kind::DateTime, true, 4},
    {"container_id", "containerId", Kind::Uuid, true, 5},
    {"container_modified_at", "containerModifiedAt", Kind::DateTime, true, 6},
    {"container_type", "containerType", Kind::Str, true, 7},
    {"date", "", Kind::DateTime, false, 8},
    {"id", "eventId", Kind::Int, false, 1},
    {"related_user_id", "relatedUserId", Kind::Uuid, true, 9},
    {"type", "", Kind::Str, false, 10},
};
static_assert(std::size(kFields) == kCount);

// The field of the event's identifier (on the wire "eventId", which the
// next page of events starts from).
inline constexpr std::size_t kIdField = [] {
  std::size_t d = 0;
  while (std::string_view(kFields[d].name) != "id") ++d;
  return d;
}();

// same_text compares texts of a few dozen characters where they stand: the
// length, then eight bytes at a time (the last eight overlapping what went
// before), a text of four to seven bytes as two overlapping fours, a
// shorter one byte by byte.
[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  auto four = [](const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
  };
  auto eight = [](const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  if (n < 4) {
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  if (n < 8)
    return ((four(a.data()) ^ four(b.data())) |
            (four(a.data() + n - 4) ^ four(b.data() + n - 4))) == 0;
  for (std::size_t i = 0; i + 8 < n; i += 8)
    if (eight(a.data() + i) != eight(b.data() + i)) return false;
  return eight(a.data() + n - 8) == eight(b.data() + n - 8);
}

// A key an event object's member may be read for: its text, the field
// (its place in kFields), and whether it is the field's name, which is read
// before its wire key.
struct Key {
  std::string_view text;
  std::size_t field;
  bool own_name;
};

// kKeys lists every key (kKeyCount of them): each field's name, followed by
// its wire key when it has one.
inline constexpr std::size_t kKeyCount = [] {
  std::size_t n = 0;
  for (const EventField& f : kFields) n += *f.load_from ? 2 : 1;
  return n;
}();
inline constexpr std::array<Key, kKeyCount> kKeys = [] {
  std::array<Key, kKeyCount> keys{};
  std::size_t n = 0;
  for (std::size_t d = 0; d < kCount; ++d) {
    keys[n++] = {kFields[d].name, d, true};
    if (*kFields[d].load_from) keys[n++] = {kFields[d].load_from, d, false};
  }
  return keys;
}();

namespace detail {
// The keys by a hash of the length and two characters, with linear
// probing: a key of ours is found with one comparison, another text with
// one or two.
inline constexpr std::size_t kKeySlots = 64;
constexpr std::size_t key_slot(const char* text, std::size_t n) {
  return (n + 3 * static_cast<unsigned char>(text[n - 1]) +
          14 * static_cast<unsigned char>(text[n / 2])) %
         kKeySlots;
}
inline constexpr std::array<std::uint8_t, kKeySlots> kKeySlotTable = [] {
  std::array<std::uint8_t, kKeySlots> slots{};  // entry + 1, 0 when free
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    std::size_t at = key_slot(kKeys[k].text.data(), kKeys[k].text.size());
    while (slots[at]) at = (at + 1) % kKeySlots;
    slots[at] = static_cast<std::uint8_t>(k + 1);
  }
  return slots;
}();
}  // namespace detail

// key_of is the place in kKeys of the member name |text|, kKeyCount for a
// name that loads no field (the text's exact bytes are compared).
inline std::size_t key_of(std::string_view text) {
  if (text.empty()) return kKeyCount;
  for (std::size_t at = detail::key_slot(text.data(), text.size());;
       at = (at + 1) % detail::kKeySlots) {
    const std::size_t entry = detail::kKeySlotTable[at];
    if (!entry) return kKeyCount;
    if (same_text(kKeys[entry - 1].text, text)) return entry - 1;
  }
}

}  // namespace velna::schema::events

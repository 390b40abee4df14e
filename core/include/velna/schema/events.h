// The key server's event objects as records load them: the record's
// attributes, the fields that load them (each under its attribute name, or
// under its key on the wire when that name is absent) and the lookup of a
// member name of an event object, made at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "velna/schema/fields.h"
#include "velna/utils.h"

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

// ---- reading a page of event objects ---------------------------------------

// kQuotedKeys is each key of kKeys as it stands in an object: "action",
// and with the colon that follows it when no blank stands between: "action":
struct QuotedKey {
  std::array<char, 32> text;
  std::size_t size;
  std::string_view view() const { return {text.data(), size}; }
  std::string_view opening() const { return {text.data(), size + 1}; }
};
inline constexpr std::array<QuotedKey, kKeyCount> kQuotedKeys = [] {
  std::array<QuotedKey, kKeyCount> quoted{};
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    const std::string_view key = kKeys[k].text;
    QuotedKey& q = quoted[k];
    if (key.size() + 3 > q.text.size()) throw "a key longer than its room";
    q.text[0] = '"';
    for (std::size_t i = 0; i < key.size(); ++i) q.text[1 + i] = key[i];
    q.text[1 + key.size()] = '"';
    q.text[2 + key.size()] = ':';
    q.size = key.size() + 2;
  }
  return quoted;
}();

// KeyOrder remembers the key read at each place of the last object: the
// objects of a page mostly list their keys in one order, so the key at the
// same place is tried first.
class KeyOrder {
 public:
  KeyOrder() { order_.fill(kNone); }
  // expected is the key read last at |place|, or kKeyCount.
  std::size_t expected(std::size_t place) const {
    return place < order_.size() && order_[place] != kNone ? order_[place] : kKeyCount;
  }
  // read notes key |k| (kKeyCount: a name that loads no field) at |place|.
  void read(std::size_t place, std::size_t k) {
    if (place < order_.size())
      order_[place] = k == kKeyCount ? kNone : static_cast<std::uint8_t>(k);
  }

 private:
  static constexpr std::uint8_t kNone = 0xff;
  static_assert(kKeyCount < kNone);
  std::array<std::uint8_t, 32> order_;
};

// RecentTexts keeps the values made of the last short texts, one for each
// slot of a table the texts hash into: values that recur on a page
// (actions, types, the identifiers of a container and of its users) are
// made once and shared. V is a value that tests false when empty.
template <typename V, std::size_t Slots>
class RecentTexts {
 public:
  // get is the value kept for |text|, else the one |make| gives, kept for
  // it; null when |make| gives an empty value.
  template <typename Make>
  const V* get(std::string_view text, Make&& make) {
    // Four slots from the text's own: a text finds its value, or the first
    // free slot, or takes over its own slot.
    const std::size_t home = slot(text);
    Entry* free = nullptr;
    for (std::size_t k = 0; k < 4; ++k) {
      Entry& e = slots_[(home + k) % Slots];
      if (!e.value) {
        free = free ? free : &e;
      } else if (same_text(e.text, text)) {
        return &e.value;
      }
    }
    V made = make();
    if (!made) return nullptr;
    Entry& e = free ? *free : slots_[home];
    e.text.assign(text);
    e.value = std::move(made);
    return &e.value;
  }

 private:
  static_assert((Slots & (Slots - 1)) == 0, "a power of two");

  // slot mixes the length and the first and last eight bytes of |text|.
  static std::size_t slot(std::string_view text) {
    // Whole words where the text has them: a shorter copy into a word
    // would stall the load that follows it.
    std::uint64_t head = 0, tail = 0;
    if (text.size() >= 8) {
      std::memcpy(&head, text.data(), 8);
      std::memcpy(&tail, text.data() + text.size() - 8, 8);
    } else {
      for (std::size_t i = 0; i < text.size(); ++i)
        head |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
      tail = head;
    }
    const std::uint64_t h =
        ((head ^ (tail * 0xc2b2ae3d27d4eb4fu)) + text.size()) * 0x9e3779b97f4a7c15u;
    return static_cast<std::size_t>(h >> 40) % Slots;
  }

  struct Entry {
    std::string text;
    V value;
  };
  std::array<Entry, Slots> slots_;
};

// RecentIds keeps the values made of the last identifiers, by the
// identifier, one for each of 256 slots the identifiers hash into.
template <typename V>
class RecentIds {
 public:
  // get is as RecentTexts::get, for the identifier |id|.
  template <typename Make>
  const V* get(const utils::Uuid& id, Make&& make) {
    std::uint64_t hi, lo;
    std::memcpy(&hi, id.data(), 8);
    std::memcpy(&lo, id.data() + 8, 8);
    Entry& e = slots_[static_cast<std::size_t>(((hi ^ lo) * 0x9e3779b97f4a7c15u) >> 56)];
    if (e.value && e.hi == hi && e.lo == lo) return &e.value;
    V made = make();
    if (!made) return nullptr;
    e = {hi, lo, std::move(made)};
    return &e.value;
  }

 private:
  struct Entry {
    std::uint64_t hi = 0, lo = 0;
    V value;
  };
  std::array<Entry, 256> slots_;
};

}  // namespace velna::schema::events

// One user's permissions on one container: eight flags packed into one
// byte, each at its own bit.
#pragma once

#include <cstdint>
#include <string_view>

namespace velna::permissions {

struct Flag {
  std::string_view name;  // dotted: "container.type.view"
  int bit;
};

// kFlags lists the flags in the order their text form names them, which is
// also the order they are packed in.
inline constexpr Flag kFlags[] = {
    {"container.download", 0},  {"container.decrypt", 1},
    {"container.upload", 2},    {"container.access_events", 7},
    {"container.type.view", 6}, {"container.type.modify", 5},
    {"access.view", 3},         {"access.modify", 4},
};

// bit_of is the bit of the flag |name|, or -1 when there is none.
constexpr int bit_of(std::string_view name) {
  for (const Flag& f : kFlags)
    if (f.name == name) return f.bit;
  return -1;
}

// kAll: every flag, what a new access entry holds unless told otherwise.
inline constexpr std::uint8_t kAll = 0xff;
// kDefaultRecipient: what a recipient of a container holds by default, the
// right to download and decrypt it, read its access events and view its
// access list.
inline constexpr std::uint8_t kDefaultRecipient =
    (1u << bit_of("container.download")) | (1u << bit_of("container.decrypt")) |
    (1u << bit_of("container.access_events")) | (1u << bit_of("access.view"));

}  // namespace velna::permissions

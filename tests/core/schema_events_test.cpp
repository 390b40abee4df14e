// The fields of an event record and the lookup of an event object's member
// names.
#include "velna/schema/events.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <string_view>

namespace velna::schema::events {
namespace {

TEST(SchemaEvents, FieldsLoadEachAttributeOnce) {
  std::set<std::size_t> attributes;
  for (const EventField& f : kFields) {
    ASSERT_LT(f.attribute, kCount) << f.name;
    EXPECT_STREQ(kAttributes[f.attribute], f.name);
    attributes.insert(f.attribute);
  }
  EXPECT_EQ(attributes.size(), kCount);
  EXPECT_STREQ(kFields[kIdField].name, "id");
  EXPECT_STREQ(kFields[kIdField].load_from, "eventId");
}

TEST(SchemaEvents, EveryNameAndWireKeyFindsItsField) {
  struct Case {
    const char* text;
    const char* field;
    bool own_name;
  };
  const Case cases[] = {
      {"action", "action", true},
      {"changes", "changes", true},
      {"client_app_name", "client_app_name", true},
      {"clientAppName", "client_app_name", false},
      {"container_expired_at", "container_expired_at", true},
      {"containerExpiredAt", "container_expired_at", false},
      {"container_id", "container_id", true},
      {"containerId", "container_id", false},
      {"container_modified_at", "container_modified_at", true},
      {"containerModifiedAt", "container_modified_at", false},
      {"container_type", "container_type", true},
      {"containerType", "container_type", false},
      {"date", "date", true},
      {"id", "id", true},
      {"eventId", "id", false},
      {"related_user_id", "related_user_id", true},
      {"relatedUserId", "related_user_id", false},
      {"type", "type", true},
  };
  ASSERT_EQ(std::size(cases), kKeyCount);
  for (const Case& c : cases) {
    const std::size_t k = key_of(c.text);
    ASSERT_LT(k, kKeyCount) << c.text;
    EXPECT_EQ(kKeys[k].text, c.text);
    EXPECT_STREQ(kFields[kKeys[k].field].name, c.field) << c.text;
    EXPECT_EQ(kKeys[k].own_name, c.own_name) << c.text;
  }
}

TEST(SchemaEvents, OtherTextsFindNoField) {
  // Near misses of every length around the keys', other cases, a NUL inside,
  // and texts that share a key's slot.
  for (std::string_view t : {"",
                             "a",
                             "i",
                             "ID",
                             "Id",
                             "eventid",
                             "EventId",
                             "event_id",
                             "Type",
                             "types",
                             "dat",
                             "dates",
                             "action ",
                             " action",
                             "actioN",
                             "clientappname",
                             "containerid",
                             "container",
                             "containerIdx",
                             "related_user_i",
                             "relatedUserID",
                             "userId",
                             "details"}) {
    EXPECT_EQ(key_of(t), kKeyCount) << t;
  }
  EXPECT_EQ(key_of(std::string_view("id\0", 3)), kKeyCount);
  for (const Key& key : kKeys) {
    std::string changed(key.text);
    for (std::size_t i = 0; i < changed.size(); ++i) {
      std::string t = changed;
      t[i] = static_cast<char>(t[i] ^ 0x20);
      EXPECT_EQ(key_of(t), kKeyCount) << t;
    }
  }
}

TEST(SchemaEvents, SameTextComparesEveryByte) {
  // Lengths below, at and beyond a word, differing at each place in turn.
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string a(n, 'x');
    EXPECT_TRUE(same_text(a, std::string(n, 'x')));
    EXPECT_FALSE(same_text(a, std::string(n + 1, 'x')));
    for (std::size_t i = 0; i < n; ++i) {
      std::string b = a;
      b[i] = 'y';
      EXPECT_FALSE(same_text(a, b)) << n << " " << i;
    }
  }
}

TEST(SchemaEvents, QuotedKeysAndTheOrderOfTheLastObject) {
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    EXPECT_EQ(kQuotedKeys[k].view(), "\"" + std::string(kKeys[k].text) + "\"");
    EXPECT_EQ(kQuotedKeys[k].opening(), "\"" + std::string(kKeys[k].text) + "\":");
  }
  KeyOrder order;
  EXPECT_EQ(order.expected(0), kKeyCount);
  order.read(0, 3);
  order.read(1, kKeyCount);  // a name of no field
  order.read(40, 2);         // beyond what is remembered
  EXPECT_EQ(order.expected(0), 3u);
  EXPECT_EQ(order.expected(1), kKeyCount);
  EXPECT_EQ(order.expected(40), kKeyCount);
  order.read(0, 5);
  EXPECT_EQ(order.expected(0), 5u);
}

// A value that counts how often it was made, empty for "".
struct Made {
  std::string text;
  explicit operator bool() const { return !text.empty(); }
};

TEST(SchemaEvents, RecentTextsMakeEachRecurringTextOnce) {
  RecentTexts<Made, 8> recent;
  int made = 0;
  auto get = [&](const std::string& t) {
    const Made* v = recent.get(t, [&] {
      ++made;
      return Made{t};
    });
    return v ? v->text : std::string("(none)");
  };
  // Far more texts than slots: every answer is its own text's value, and a
  // text asked for again at once is not made again.
  for (int i = 0; i < 200; ++i) {
    const std::string t = "text-" + std::to_string(i * 7919);
    const int before = made;
    EXPECT_EQ(get(t), t);
    EXPECT_EQ(get(t), t);
    EXPECT_EQ(made, before + 1) << t;
  }
  EXPECT_EQ(get(""), "(none)");  // an empty value is not kept
  EXPECT_EQ(get("a"), "a");
  EXPECT_EQ(get("ab"), "ab");  // texts that share a prefix stay apart
  const int before = made;
  EXPECT_EQ(get("a"), "a");
  EXPECT_EQ(made, before);
}

TEST(SchemaEvents, RecentIdsKeepTheValueOfEachIdentifier) {
  RecentIds<Made> recent;
  int made = 0;
  auto get = [&](utils::Uuid id) {
    return recent
        .get(id,
             [&] {
               ++made;
               return Made{std::string(id.begin(), id.end())};
             })
        ->text;
  };
  utils::Uuid a{}, b{};
  a[0] = 1;
  b[8] = 1;  // its halves, xored, are those of a: the same slot
  EXPECT_EQ(get(a), std::string(a.begin(), a.end()));
  EXPECT_EQ(get(a), std::string(a.begin(), a.end()));
  EXPECT_EQ(made, 1);
  EXPECT_EQ(get(b), std::string(b.begin(), b.end()));
  EXPECT_EQ(get(a), std::string(a.begin(), a.end()));
  EXPECT_EQ(made, 3);
}

}  // namespace
}  // namespace velna::schema::events

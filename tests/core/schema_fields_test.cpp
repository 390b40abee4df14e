// The loading rules of declared fields: messages, presence, the spellings
// of a Bool field and the shape of a load's errors.
#include "velna/schema/fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velna::schema {
namespace {

TEST(SchemaFields, EveryKindHasItsMessageAndName) {
  struct Case {
    Kind kind;
    const char* message;
    const char* name;
  };
  const Case cases[] = {
      {Kind::Raw, "", "Raw"},
      {Kind::Int, "Not a valid integer.", "Int"},
      {Kind::Str, "Not a valid string.", "Str"},
      {Kind::Bool, "Not a valid boolean.", "Bool"},
      {Kind::DateTime, "Not a valid datetime.", "DateTime"},
      {Kind::Uuid, "Not a valid UUID.", "UUID"},
      {Kind::Dict, "Not a valid mapping type.", "Dict"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(invalid_message(c.kind), c.message) << c.name;
    EXPECT_EQ(kind_name(c.kind), c.name);
  }
  EXPECT_EQ(kMissing, "Missing data for required field.");
  EXPECT_EQ(kNull, "Field may not be null.");
  EXPECT_EQ(kInvalidInput, "Invalid input type.");
  EXPECT_EQ(kInvalidUtf8, "Not a valid utf-8 string.");
}

TEST(SchemaFields, BoolSpellingsAreExactlyTwelve) {
  for (const char* t : {"t", "T", "true", "True", "TRUE", "1"})
    EXPECT_EQ(bool_from_text(t), true) << t;
  for (const char* f : {"f", "F", "false", "False", "FALSE", "0"})
    EXPECT_EQ(bool_from_text(f), false) << f;
  // Near spellings, other case mixes, blanks, numbers beyond 0 and 1: none.
  for (const char* other :
       {"", "tRUE", "yes", "no", "on", " true", "true ", "1.0", "01", "2", "y", "FALSe", "ture"})
    EXPECT_EQ(bool_from_text(other), std::nullopt) << '"' << other << '"';
  EXPECT_EQ(bool_from_text(std::string_view("1\0", 2)), std::nullopt);
}

TEST(SchemaFields, PresenceDecidesBeforeConversion) {
  struct Case {
    bool required, allow_none, partial;
    Presence presence;
    Step::Action action;
    std::string_view message;
  };
  const Case cases[] = {
      {false, false, false, Presence::Absent, Step::Skip, {}},
      {true, false, false, Presence::Absent, Step::Fail, kMissing},
      {true, true, false, Presence::Absent, Step::Fail, kMissing},
      {true, false, true, Presence::Absent, Step::Skip, {}},
      {false, false, true, Presence::Absent, Step::Skip, {}},
      {false, false, false, Presence::Null, Step::Fail, kNull},
      {true, false, true, Presence::Null, Step::Fail, kNull},  // partial spares absence only
      {false, true, false, Presence::Null, Step::Null, {}},
      {true, true, false, Presence::Null, Step::Null, {}},
      {false, false, false, Presence::Value, Step::Convert, {}},
      {true, true, true, Presence::Value, Step::Convert, {}},
  };
  int row = 0;
  for (const Case& c : cases) {
    Field f{"f", Kind::Int};
    f.required = c.required;
    f.allow_none = c.allow_none;
    const Step s = step_for(f, c.presence, c.partial);
    EXPECT_EQ(s.action, c.action) << "row " << row;
    EXPECT_EQ(s.message, c.message) << "row " << row;
    ++row;
  }
}

TEST(SchemaFields, OutputKeyIsTheAttributeWhenThereIsOne) {
  Field plain{"id", Kind::Int, "eventId"};
  EXPECT_EQ(plain.output_key(), "id");
  Field renamed{"id", Kind::Int, "", "event_id"};
  EXPECT_EQ(renamed.output_key(), "event_id");
}

TEST(SchemaFields, ReportGroupsByIndexThenKeyInTheOrderFirstMet) {
  Field a{"a", Kind::Int}, b{"b", Kind::Str};
  Report r;
  EXPECT_TRUE(r.empty());
  r.add(2, "a", invalid_message(Kind::Int), &a);
  r.add(2, "bKey", kMissing, &b);
  r.refuse_item(5);
  r.add(0, "a", kNull, &a);
  r.add(2, "a", kNull, &a);  // back to an earlier item and key
  EXPECT_FALSE(r.empty());

  ASSERT_EQ(r.errors().size(), 5u);
  EXPECT_EQ(r.errors()[1].key, "bKey");
  EXPECT_EQ(r.errors()[1].field, &b);
  EXPECT_EQ(r.errors()[2].key, kSchemaKey);
  EXPECT_EQ(r.errors()[2].message, kInvalidInput);
  EXPECT_EQ(r.errors()[2].field, nullptr);

  const std::vector<Report::Group> g = r.groups();
  ASSERT_EQ(g.size(), 3u);
  EXPECT_EQ(g[0].index, 2u);
  EXPECT_EQ(g[1].index, 5u);
  EXPECT_EQ(g[2].index, 0u);
  ASSERT_EQ(g[0].keys.size(), 2u);
  EXPECT_EQ(g[0].keys[0].key, "a");
  EXPECT_EQ(g[0].keys[0].messages,
            (std::vector<std::string_view>{invalid_message(Kind::Int), kNull}));
  EXPECT_EQ(g[0].keys[1].key, "bKey");
  EXPECT_EQ(g[1].keys[0].key, "_schema");

  Report top;  // without many: one group without an index
  top.add(std::nullopt, "a", kMissing, &a);
  top.add(std::nullopt, "b", kMissing, &b);
  ASSERT_EQ(top.groups().size(), 1u);
  EXPECT_FALSE(top.groups()[0].index.has_value());
  EXPECT_EQ(top.groups()[0].keys.size(), 2u);
}

}  // namespace
}  // namespace velna::schema

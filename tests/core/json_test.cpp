// JSON text: the writer's escapes and number text, the reader's grammar,
// its errors and their positions, read into a small tree.
#include "velna/json/text.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velna::json {
namespace {

// Node is a value as the test builder makes it.
struct Node {
  enum Kind { Null, Bool, Int, BigInt, Real, String, Array, Object } kind = Null;
  bool flag = false;
  std::int64_t integer = 0;
  double real = 0;
  std::string digits;
  std::u32string text;
  std::vector<Node> items;
  std::vector<std::pair<std::u32string, Node>> members;  // every member, in order
};

// render writes a tree back with the writer; a big integer is marked.
void render(Writer& w, const Node& n) {
  switch (n.kind) {
    case Node::Null:
      return w.null();
    case Node::Bool:
      return w.boolean(n.flag);
    case Node::Int:
      return w.integer(n.integer);
    case Node::BigInt:
      return w.raw("big:" + n.digits);
    case Node::Real:
      return w.number(n.real);
    case Node::String:
      return w.string(n.text.data(), n.text.size());
    case Node::Array:
      w.begin_array();
      for (std::size_t i = 0; i < n.items.size(); ++i) {
        if (i) w.next();
        render(w, n.items[i]);
      }
      return w.end_array();
    case Node::Object:
      w.begin_object();
      for (std::size_t i = 0; i < n.members.size(); ++i) {
        if (i) w.next();
        w.string(n.members[i].first.data(), n.members[i].first.size());
        w.colon();
        render(w, n.members[i].second);
      }
      return w.end_object();
  }
}

// utf8_units decodes valid UTF-8 (the grammar hands plain strings over as
// they stand).
std::u32string utf8_units(const char8_t* p, std::size_t n) {
  std::u32string out;
  for (std::size_t i = 0; i < n;) {
    const unsigned lead = p[i];
    const std::size_t len = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    char32_t c = len == 1 ? lead : lead & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) c = c << 6 | (p[i + k] & 0x3f);
    out.push_back(c);
    i += len;
  }
  return out;
}

template <typename Ch>
struct TreeBuilder {
  using Value = std::unique_ptr<Node>;  // small: the grammar holds a few a level

  TreeBuilder(const Ch* text, std::size_t size) : s(text), n(size) {}

  const Ch* s;
  std::size_t n;
  std::string error;
  std::size_t open = 0, deepest = 0;
  std::size_t refuse_at = kNoPos;  // enter() fails at this depth

  static Value make(Node::Kind kind) {
    Value node = std::make_unique<Node>();
    node->kind = kind;
    return node;
  }
  Value null() { return make(Node::Null); }
  Value boolean(bool v) {
    Value node = make(Node::Bool);
    node->flag = v;
    return node;
  }
  Value real(double v) {
    Value node = make(Node::Real);
    node->real = v;
    return node;
  }
  Value integer(std::int64_t v) {
    Value node = make(Node::Int);
    node->integer = v;
    return node;
  }
  Value big_integer(std::string_view digits) {
    Value node = make(Node::BigInt);
    node->digits = digits;
    return node;
  }
  Value plain_string(const Ch* p, std::size_t len, std::size_t pos) {
    EXPECT_EQ(p, s + pos);
    Value node = make(Node::String);
    if constexpr (std::is_same_v<Ch, char8_t>) {
      node->text = utf8_units(p, len);
    } else {
      node->text.assign(p, p + len);
    }
    return node;
  }
  Value string(std::u32string_view units) {
    Value node = make(Node::String);
    node->text = units;
    return node;
  }
  Value array() { return make(Node::Array); }
  bool push(Value& a, Value item) {
    a->items.push_back(std::move(*item));
    return true;
  }
  Value object() { return make(Node::Object); }
  bool member(Value& o, Value name, Value value) {
    o->members.emplace_back(std::move(name->text), std::move(*value));
    return true;
  }
  bool enter(Container) {
    if (open + 1 == refuse_at) {
      error = "refused";
      return false;
    }
    deepest = std::max(deepest, ++open);
    return true;
  }
  void leave() { --open; }
  void too_deep(Container kind) {
    error = kind == Container::Array ? "too deep (array)" : "too deep (object)";
  }
  void syntax_error(std::string_view message, std::size_t pos, std::size_t end) {
    EXPECT_TRUE(error.empty()) << "a second failure: " << message;
    error =
        error_text(message, pos, locate(s, pos), end, end == kNoPos ? Location{} : locate(s, end));
  }
  void not_utf8(std::size_t pos) { error = "not UTF-8 at " + std::to_string(pos); }
};

// read is the text of the document |text| read back, or its error.
template <typename Ch>
std::string read(const Ch* text, std::size_t n, std::size_t refuse_at = kNoPos) {
  TreeBuilder<Ch> b(text, n);
  b.refuse_at = refuse_at;
  std::unique_ptr<Node> v = Parser<Ch, TreeBuilder<Ch>>(text, n, b).parse();
  EXPECT_EQ(b.open, 0u) << "every container entered is left";
  if (!v) {
    EXPECT_FALSE(b.error.empty()) << "a failure is reported";
    return "error: " + b.error;
  }
  EXPECT_TRUE(b.error.empty()) << b.error;
  Writer w;
  render(w, *v);
  return w.text();
}

// Latin-1 text: one byte a character.
std::string read(std::string_view text) {
  return read(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}
template <typename Ch>
std::string read(std::basic_string_view<Ch> text) {
  return read(text.data(), text.size());
}

std::string number_text(double v) {
  std::string out;
  append_number(out, v);
  return out;
}

TEST(JsonText, ReadsDocumentsAsTheirValues) {
  const std::pair<const char*, const char*> cases[] = {
      {" \t\r\n{\"a\" : [1 ,-2,3.5, true,false , null ] }\n",
       "{\"a\": [1, -2, 3.5, true, false, null]}"},
      {"[]", "[]"},
      {"[ \n]", "[]"},
      {"{ }", "{}"},
      {"[[[]], {}]", "[[[]], {}]"},
      {"\"\"", "\"\""},
      {"[NaN, Infinity, -Infinity]", "[NaN, Infinity, -Infinity]"},
      // Integers: up to 18 digits as a number, longer ones as their digits.
      {"[0, -0, 999999999999999999, -999999999999999999]",
       "[0, 0, 999999999999999999, -999999999999999999]"},
      {"[1000000000000000000, -123456789012345678901234567890]",
       "[big:1000000000000000000, big:-123456789012345678901234567890]"},
      // Floats: a fraction or an exponent; beyond the range infinite or zero.
      {"[0.5, -0.0, 2.5E+2, 1e2, 1E-2, 0e99999, 1.7976931348623157e308]",
       "[0.5, -0.0, 250.0, 100.0, 0.01, 0.0, 1.7976931348623157e+308]"},
      {"[1e400, -1e400, 1e-400, -2e-324, 4.9e-324, 123.456e-330, 0.0001e313]",
       "[Infinity, -Infinity, 0.0, -0.0, 5e-324, 0.0, Infinity]"},
      {"[1000e306, 0.001e-321, 1e00000000000000000000400, 1e-00000000000000000000000330]",
       "[Infinity, 0.0, Infinity, 0.0]"},
      // Repeated names are the builder's to settle: it is handed each.
      {"{\"a\": 1, \"b\": 2, \"a\": 3}", "{\"a\": 1, \"b\": 2, \"a\": 3}"},
      // Escapes, surrogates paired or left alone, characters beyond ASCII.
      {R"(["\"\\\/\b\f\n\r\t", "\u00e9\u20AC", "\ud83d\ude00", "\ud83d", "\ude00\ud83d",
          "\ud83d\u0041", "\ud83dx"])",
       R"(["\"\\/\b\f\n\r\t", "\u00e9\u20ac", "\ud83d\ude00", "\ud83d", "\ude00\ud83d", )"
       R"("\ud83dA", "\ud83dx"])"},
      {"\"caf\xe9 \x7f\"", "\"caf\\u00e9 \\u007f\""},
      {"\xef\xbb\xbf"
       "1",
       "error: Expecting value: line 1 column 1 (char 0)"},  // no BOM in Latin-1
  };
  for (const auto& [doc, want] : cases) EXPECT_EQ(read(doc), want) << doc;
}

TEST(JsonText, RefusesMalformedTextWithTheMessageAndPosition) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "Expecting value: line 1 column 1 (char 0)"},
      {"  \n ", "Expecting value: line 2 column 2 (char 4)"},
      {"nul", "Expecting value: line 1 column 1 (char 0)"},
      {"[1,]", "Expecting value: line 1 column 4 (char 3)"},
      {"[", "Expecting value or ']': line 1 column 2 (char 1)"},
      {"[1", "Expecting ',' delimiter or ']': line 1 column 3 (char 2)"},
      {"[1 2]", "Expecting ',' delimiter or ']': line 1 column 4 (char 3)"},
      {"{", "Expecting property name enclosed in double quotes or '}': line 1 column 2 (char 1)"},
      {"{\"a\":1,}", "Expecting property name enclosed in double quotes: line 1 column 8 (char 7)"},
      {"{1: 2}", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
      {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
      {"{\"a\": }", "Expecting value: line 1 column 7 (char 6)"},
      {"{\"a\": 1 \"b\"}", "Expecting ',' delimiter or '}': line 1 column 9 (char 8)"},
      {"-", "Expecting value: line 1 column 1 (char 0)"},
      {"-x", "Expecting value: line 1 column 2 (char 1)"},
      {".5", "Expecting value: line 1 column 1 (char 0)"},
      {"[1, 2] x", "Extra data: line 1 column 8 - line 1 column 9 (char 7 - 8)"},
      {"01", "Extra data: line 1 column 2 - line 1 column 3 (char 1 - 2)"},
      {"1.", "Extra data: line 1 column 2 - line 1 column 3 (char 1 - 2)"},
      {"1e+", "Extra data: line 1 column 2 - line 1 column 4 (char 1 - 3)"},
      {"nan", "Expecting value: line 1 column 1 (char 0)"},
      {"\n\n  [\ntrue\n}", "Expecting ',' delimiter or ']': line 5 column 1 (char 11)"},
      {"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)"},
      {"[\"a\\\"]", "Unterminated string starting at: line 1 column 2 (char 1)"},
      {"\"a\\", "Unterminated string starting at: line 1 column 1 (char 0)"},
      {"\"a\tb\"", "Invalid control character '\\t' at: line 1 column 3 (char 2)"},
      {"\"\\n\nb\"", "Invalid control character '\\n' at: line 1 column 4 (char 3)"},
      {"\"\x1f\"", "Invalid control character '\\x1f' at: line 1 column 2 (char 1)"},
      {"\"a\\x\"", "Invalid \\X escape sequence '\\\\': line 1 column 3 (char 2)"},
      {"\"\\u12g4\"", "Invalid \\uXXXX escape sequence: line 1 column 3 (char 2)"},
      {"\"\\u12\"", "Invalid \\uXXXX escape sequence: line 1 column 3 (char 2)"},
      {"\"\\ud83d\\u12\"", "Invalid \\uXXXX escape sequence: line 1 column 9 (char 8)"},
  };
  for (const auto& [doc, want] : cases) EXPECT_EQ(read(doc), std::string("error: ") + want) << doc;
}

TEST(JsonText, ReadsEveryCharacterWidthAlike) {
  // Positions count characters, whatever their width.
  EXPECT_EQ(read(std::u16string_view(u"[\"\u20ac\", \"\U0001F600\"]")),
            "[\"\\u20ac\", \"\\ud83d\\ude00\"]");  // two UTF-16 units stay two
  EXPECT_EQ(read(std::u32string_view(U"[\"\u20ac\U0001F600\"]")), "[\"\\u20ac\\ud83d\\ude00\"]");
  EXPECT_EQ(read(std::u32string_view(U"\ufeff [\"\u20ac\\n\U0001F600\"] ")),
            "[\"\\u20ac\\n\\ud83d\\ude00\"]");  // a byte-order mark is passed
  EXPECT_EQ(read(std::u32string_view(U"[\"\u20ac\U0001F600\" 1]")),
            "error: Expecting ',' delimiter or ']': line 1 column 7 (char 6)");
  EXPECT_EQ(read(std::u16string_view(u"\"\u20ac\u0001\"")),
            "error: Invalid control character '\\x01' at: line 1 column 3 (char 2)");
  // UTF-8 text is read where it stands: positions count bytes.
  EXPECT_EQ(read(std::u8string_view(u8"\xef\xbb\xbf[\"\u00e9\", \"\u00e9\\n\U0001F600\"]")),
            "[\"\\u00e9\", \"\\u00e9\\n\\ud83d\\ude00\"]");
  const std::pair<std::u8string_view, const char*> bad[] = {
      {u8"\"\\n\xc3\"", "not UTF-8 at 3"},
      {u8"\"\\n\xc0\x80\"", "not UTF-8 at 3"},          // overlong
      {u8"\"\\n\xed\xa0\x80\"", "not UTF-8 at 3"},      // a surrogate
      {u8"\"\xe2\x82\\n\"", "not UTF-8 at 1"},          // cut short before an escape
      {u8"\"\\n\xf4\x90\x80\x80\"", "not UTF-8 at 3"},  // beyond U+10FFFF
  };
  for (const auto& [doc, want] : bad) EXPECT_EQ(read(doc), std::string("error: ") + want);
}

// on_large_stack runs |fn| on a thread of its own with a stack of 512 MiB: a
// document nested to the limit recurses deeper than a sanitizer's frames fit
// in the main thread's stack.
static void on_large_stack(const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, std::size_t{512} << 20), 0);
  pthread_t thread;
  auto run = [](void* f) -> void* {
    (*static_cast<const std::function<void()>*>(f))();
    return nullptr;
  };
  const int made = pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&fn));
  pthread_attr_destroy(&attr);
  ASSERT_EQ(made, 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

TEST(JsonText, NestingIsBoundedAndEveryContainerIsLeft) {
  on_large_stack([] {
    const std::string ok = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
    EXPECT_EQ(read(ok), ok);
    EXPECT_EQ(read("[" + ok + "]"), "error: too deep (array)");
    std::string objects;
    for (std::size_t i = 0; i < kMaxDepth; ++i) objects += "{\"a\":";
    EXPECT_EQ(read(objects + "1" + std::string(kMaxDepth, '}')).substr(0, 6), "{\"a\": ");
    EXPECT_EQ(read("[" + objects + "1" + std::string(kMaxDepth, '}') + "]"),
              "error: too deep (object)");
  });
  // The builder may refuse a container; a failure deep inside unwinds them all.
  const std::string doc = "[[[1]]]";
  const auto* s = reinterpret_cast<const unsigned char*>(doc.data());
  EXPECT_EQ(read(s, doc.size(), 3), "error: refused");
  EXPECT_EQ(read("[[[1, x]]]"), "error: Expecting value: line 1 column 7 (char 6)");
}

TEST(JsonText, StepsReadADocumentOfAKnownShape) {
  const std::string doc = " {\"events\": [ {\"id\": \"a-1\"}, \"caf\\u00e9\" ], \"more\" : null } ";
  const auto* s = reinterpret_cast<const unsigned char*>(doc.data());
  TreeBuilder<unsigned char> b(s, doc.size());
  Parser<unsigned char, TreeBuilder<unsigned char>> p(s, doc.size(), b);
  std::string_view name;
  EXPECT_FALSE(p.take('['));
  ASSERT_TRUE(p.take('{'));
  ASSERT_TRUE(p.plain_ascii(name));
  EXPECT_EQ(name, "events");
  ASSERT_TRUE(p.take(':') && p.take('['));
  EXPECT_FALSE(p.literal("null"));
  std::unique_ptr<Node> first = p.step_value();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->members.at(0).second.text, U"a-1");
  ASSERT_TRUE(p.take(','));
  EXPECT_FALSE(p.plain_ascii(name)) << "an escape is not plain";
  std::unique_ptr<Node> second = p.step_value();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->text, U"caf\u00e9");
  ASSERT_TRUE(p.take(']') && p.take(','));
  ASSERT_TRUE(p.plain_ascii(name));
  EXPECT_EQ(name, "more");
  ASSERT_TRUE(p.take(':'));
  EXPECT_TRUE(p.literal("null"));
  EXPECT_EQ(p.peek(), '}');
  ASSERT_TRUE(p.take('}'));
  EXPECT_EQ(p.peek(), -1);
  EXPECT_FALSE(p.step_value());
  EXPECT_EQ(b.error, "Expecting value: line 1 column 61 (char 60)");

  // Wide text is copied for plain_ascii; the word-at-a-time scan stops at
  // every character that is not plain, wherever it stands.
  for (std::size_t at = 0; at < 20; ++at) {
    for (char16_t c : {u'"', u'\\', u'\x1f', u'\x80', u'\u2028'}) {
      std::u16string text = u"\"" + std::u16string(20, u'x') + u"\"";
      text[1 + at] = c;
      TreeBuilder<char16_t> wb(text.data(), text.size());
      Parser<char16_t, TreeBuilder<char16_t>> wp(text.data(), text.size(), wb);
      const bool plain = wp.plain_ascii(name);
      if (c == u'"') {
        ASSERT_TRUE(plain);
        EXPECT_EQ(name, std::string(at, 'x'));
      } else {
        EXPECT_FALSE(plain) << at << " " << static_cast<int>(c);
      }
    }
  }
  // A literal is passed only when every one of its units stands there, the
  // text's end included.
  for (std::size_t n = 1; n <= 20; ++n) {
    const std::string lit = "\"" + std::string(n - 1, 'k');
    for (std::size_t at = 0; at <= n; ++at) {
      std::string text = lit + " ";
      if (at < n) text[at] = 'z';
      const std::string shown = at < n ? text : text.substr(0, n - 1);  // cut short
      const auto* bytes = reinterpret_cast<const unsigned char*>(shown.data());
      TreeBuilder<unsigned char> lb(bytes, shown.size());
      Parser<unsigned char, TreeBuilder<unsigned char>> lp(bytes, shown.size(), lb);
      EXPECT_FALSE(lp.literal(lit)) << n << " " << at;
      const std::int64_t first = shown.empty() ? -1 : static_cast<unsigned char>(shown[0]);
      EXPECT_EQ(lp.peek(), first) << n << " " << at << ": nothing passed";
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(lit.data());
    TreeBuilder<unsigned char> lb(bytes, lit.size());
    Parser<unsigned char, TreeBuilder<unsigned char>> lp(bytes, lit.size(), lb);
    EXPECT_TRUE(lp.literal(lit)) << n;
    EXPECT_EQ(lp.peek(), -1);
  }
  // Byte text alike, on strings as long as several words: the scan ends at
  // the first unit that is not plain, and passes the plain ones of every
  // value.
  struct Unit {
    unsigned char c;
    bool plain;
  };
  for (const Unit u : {Unit{'"', false}, Unit{'\\', false}, Unit{0x00, false}, Unit{0x1f, false},
                       Unit{0x80, false}, Unit{0xff, false}, Unit{0x20, true}, Unit{0x7f, true},
                       Unit{'!', true}, Unit{'#', true}, Unit{'[', true}, Unit{']', true}}) {
    for (std::size_t n = 1; n <= 40; ++n) {
      for (std::size_t at = 0; at < n; ++at) {
        std::string text = "\"" + std::string(n, 'x') + "\"";
        text[1 + at] = static_cast<char>(u.c);
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        TreeBuilder<unsigned char> bb(bytes, text.size());
        Parser<unsigned char, TreeBuilder<unsigned char>> bp(bytes, text.size(), bb);
        const bool plain = bp.plain_ascii(name);
        if (u.c == '"') {
          ASSERT_TRUE(plain);
          EXPECT_EQ(name, std::string(at, 'x'));
        } else if (u.plain) {
          ASSERT_TRUE(plain) << n << " " << at << " " << int{u.c};
          EXPECT_EQ(name, text.substr(1, n));
        } else {
          EXPECT_FALSE(plain) << n << " " << at << " " << int{u.c};
        }
      }
    }
  }
}

TEST(JsonText, WritesStringsWithTheEscapes) {
  const std::pair<std::u32string, const char*> cases[] = {
      {U"plain ~ text", "\"plain ~ text\""},
      {U"\"\\/\b\f\n\r\t", R"("\"\\/\b\f\n\r\t")"},
      {std::u32string{0, 1, 0x1f, 0x7f, 0x80, 0xff}, R"("\u0000\u0001\u001f\u007f\u0080\u00ff")"},
      {U"\u20ac\uFFFF", R"("\u20ac\uffff")"},
      {U"\U0001F600\U00010000\U0010FFFF", R"("\ud83d\ude00\ud800\udc00\udbff\udfff")"},
      {std::u32string{0xd83d, 'a', 0xdc00}, R"("\ud83da\udc00")"},  // lone surrogates as they are
  };
  for (const auto& [units, want] : cases) {
    Writer w;
    w.string(units.data(), units.size());
    EXPECT_EQ(w.text(), want);
    // The same characters in narrower units where they fit.
    if (std::all_of(units.begin(), units.end(), [](char32_t c) { return c < 0x100; })) {
      const std::basic_string<unsigned char> narrow(units.begin(), units.end());
      Writer n;
      n.string(narrow.data(), narrow.size());
      EXPECT_EQ(n.text(), want);
    }
  }
  Writer w;
  w.begin_object();
  w.string(U"k", 1);
  w.colon();
  w.begin_array();
  w.integer(std::numeric_limits<std::int64_t>::min());
  w.next();
  w.quote();
  w.number(1.5);
  w.quote();
  w.end_array();
  w.end_object();
  EXPECT_EQ(w.text(), "{\"k\": [-9223372036854775808, \"1.5\"]}");
}

TEST(JsonText, WritesNumbersAsTheShortestTextThatReadsBack) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {123456789.125, "123456789.125"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {0.00001, "1e-05"},
      {-1.25e-7, "-1.25e-07"},
      {1e100, "1e+100"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {std::nan(""), "NaN"},
      {inf, "Infinity"},
      {-inf, "-Infinity"},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(number_text(v), want) << want;
  // Whatever the double, its text reads back as it.
  std::uint64_t bits = 0x9e3779b97f4a7c15u;
  for (int i = 0; i < 20000; ++i) {
    bits ^= bits << 13;
    bits ^= bits >> 7;
    bits ^= bits << 17;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string text = number_text(v);
    const double back = to_double(text);
    ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
  }
}

}  // namespace
}  // namespace velna::json

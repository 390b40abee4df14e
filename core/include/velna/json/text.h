// JSON text as the system writes and reads it: payload plaintexts, container
// headers, key-file sections and the key server's pages. The text is that of
// the JSON library's default options, so stored data stays byte-for-byte
// compatible: Writer writes it, Parser reads it into the values that a
// builder makes (the builder decides what a value is; the grammar, its
// errors and their positions are the same for every builder).
//
// Text is a sequence of code units of an unsigned character type: one unit a
// character (unsigned char for Latin-1 text, char16_t or uint16_t for text
// below U+10000 and lone surrogates, char32_t or uint32_t for any), or, for
// char8_t, UTF-8 text read where it stands.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace velna::json {

// Nesting deeper than this fails, whatever else allows it, so that a deep
// document cannot exhaust the C stack (reading or writing).
inline constexpr std::size_t kMaxDepth = 10000;

inline constexpr std::size_t kNoPos = static_cast<std::size_t>(-1);

// ---- writing ----------------------------------------------------------------

namespace detail {
inline constexpr char kHex[] = "0123456789abcdef";

// kEscape[c] for c < 0x80: 0 when c is written as itself, the letter of its
// short escape, or 'u' for a \u00XX escape.
inline constexpr auto kEscape = [] {
  std::array<char, 128> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t[0x7f] = 'u';
  return t;
}();
}  // namespace detail

// append_number appends the text of |v| as a float is written: the shortest
// text that reads back as |v|, in positional notation with at least one
// digit after the point for exponents -4..15 and as d[.ddd]e+XX otherwise;
// NaN, Infinity and -Infinity for those.
void append_number(std::string& out, double v);

// Writer writes one document: ", " between items and members, ": " after a
// member's name, no line breaks, every character outside printable ASCII as
// a lower-case \uXXXX escape (a surrogate pair above U+FFFF).
class Writer {
 public:
  Writer() { out_.reserve(128); }

  std::string& text() { return out_; }

  void null() { put("null"); }
  void boolean(bool v) { v ? put("true") : put("false"); }
  void integer(std::int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
  }
  void number(double v) { append_number(out_, v); }
  // string writes the code units [p, p + n) as a quoted string.
  template <typename Ch>
  void string(const Ch* p, std::size_t n) {
    out_.reserve(out_.size() + n + 2);
    out_.push_back('"');
    escape(p, n);
    out_.push_back('"');
  }
  // raw appends |text| as it stands (a number's text made elsewhere).
  void raw(std::string_view text) { out_.append(text); }
  void quote() { out_.push_back('"'); }  // around a name made of a number
  void begin_array() { out_.push_back('['); }
  void end_array() { out_.push_back(']'); }
  void begin_object() { out_.push_back('{'); }
  void end_object() { out_.push_back('}'); }
  void empty_array() { put("[]"); }
  void empty_object() { put("{}"); }
  void next() { put(", "); }   // between items and between members
  void colon() { put(": "); }  // between a member's name and its value

 private:
  template <std::size_t N>
  [[gnu::always_inline]] void put(const char (&literal)[N]) {
    out_.append(literal, N - 1);
  }

  void escape_unit(std::uint32_t c) {
    using detail::kHex;
    const char e[6] = {
        '\\',         'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf],
        kHex[c & 0xf]};
    out_.append(e, 6);
  }

  template <typename Ch>
  void escape(const Ch* p, std::size_t n) {
    static_assert(std::is_unsigned_v<Ch>, "code units are unsigned");
    std::size_t i = 0;
    while (i < n) {
      std::size_t j = i;
      while (j < n && static_cast<std::uint32_t>(p[j]) < 0x80 && !detail::kEscape[p[j]]) ++j;
      if (j > i) {
        if constexpr (sizeof(Ch) == 1) {
          out_.append(reinterpret_cast<const char*>(p + i), j - i);
        } else {
          for (std::size_t k = i; k < j; ++k) out_.push_back(static_cast<char>(p[k]));
        }
      }
      if (j == n) break;
      const std::uint32_t c = p[j];
      if (c < 0x80) {
        const char e = detail::kEscape[c];
        if (e == 'u') {
          escape_unit(c);
        } else {
          out_.push_back('\\');
          out_.push_back(e);
        }
      } else if (c <= 0xffff) {
        escape_unit(c);
      } else {
        const std::uint32_t v = c - 0x10000;
        escape_unit(0xd800 | (v >> 10));
        escape_unit(0xdc00 | (v & 0x3ff));
      }
      i = j + 1;
    }
  }

  std::string out_;
};

// ---- reading ----------------------------------------------------------------

enum class Container { Array, Object };

// Location is where a character stands: lines count from 1 and are ended by
// "\n" alone; columns count characters from 1.
struct Location {
  std::size_t line, column;
};

template <typename Ch>
Location locate(const Ch* s, std::size_t pos) {
  Location at{1, pos + 1};
  for (std::size_t i = 0; i < pos; ++i) {
    if (s[i] == '\n') {
      ++at.line;
      at.column = pos - i;
    }
  }
  return at;
}

// error_text is the message of a syntax error: "|message|: line L column C
// (char P)", or with |end| (not kNoPos) "...: line L column C - line L2
// column C2 (char P - E)".
std::string error_text(std::string_view message, std::size_t pos, Location at,
                       std::size_t end = kNoPos, Location end_at = {});

// control_character_error is the message of a control character |c| (below
// U+0020) inside a string: "Invalid control character '\x01' at".
std::string control_character_error(std::uint32_t c);

// to_double is the double nearest to a number's text (the grammar's syntax,
// with a fraction or an exponent): infinite or zero beyond the range.
double to_double(std::string_view text);

// Parser reads JSON text into values made by a Builder, which provides:
//
//   using Value = ...;  // movable, false when empty: an empty value is a failure
//   Value null(); Value boolean(bool); Value real(double);  // NaN, Infinity too
//   Value integer(std::int64_t);          // an integer of at most 18 digits
//   Value big_integer(std::string_view);  // a longer one: "-" and digits
//   Value plain_string(const Ch* s, std::size_t n, std::size_t pos);
//       // the units [s, s + n) at |pos| stand for themselves: no escape, no
//       // control character; in UTF-8 text they are not checked
//   Value string(std::u32string_view);    // a decoded string, lone surrogates kept
//   Value array(); bool push(Value& array, Value item);
//   Value object(); bool member(Value& object, Value name, Value value);
//       // a repeated name is the builder's to settle
//   bool enter(Container); void leave();  // around each container; false fails
//   void too_deep(Container);             // nesting beyond kMaxDepth
//   void syntax_error(std::string_view message, std::size_t pos, std::size_t end);
//       // a failure of the text at |pos| (up to |end| unless kNoPos)
//   void not_utf8(std::size_t pos);       // bytes that are not UTF-8 (char8_t text)
//
// Every failure but a builder's own is reported to the builder once, and the
// reading then returns an empty value (or false) at once. The text and the
// builder are the caller's, and outlive the parser.
template <typename Ch, typename Builder>
class Parser {
 public:
  using Value = typename Builder::Value;
  static_assert(std::is_unsigned_v<Ch>, "code units are unsigned");

  Parser(const Ch* s, std::size_t n, Builder& b) : s_(s), n_(n), b_(b) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // skip_bom passes a byte-order mark at the start of the text.
  void skip_bom() {
    if constexpr (kUtf8) {
      if (pos_ == 0 && n_ >= 3 && s_[0] == 0xef && s_[1] == 0xbb && s_[2] == 0xbf) pos_ = 3;
    } else {
      if (pos_ == 0 && n_ > 0 && static_cast<std::uint32_t>(s_[0]) == 0xfeff) pos_ = 1;
    }
  }

  // parse reads the whole text (a byte-order mark skipped) as one value.
  Value parse() {
    skip_bom();
    skip_ws(pos_);
    Value v = item(pos_);
    if (!v) return v;
    skip_ws(pos_);
    if (pos_ != n_) {
      b_.syntax_error("Extra data", pos_, n_);
      return {};
    }
    return v;
  }

  // ---- steps, for a caller that reads a document of a known shape ----------
  // A step that does not find what it looks for moves past blanks alone.

  // peek is the character after blanks, or -1 at the end.
  std::int64_t peek() {
    skip_ws(pos_);
    return pos_ < n_ ? static_cast<std::int64_t>(s_[pos_]) : -1;
  }
  // pass moves past the character that peek() has just found.
  void pass() { ++pos_; }
  // take passes |c| when it stands next after blanks.
  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  // step_value reads the value that stands next after blanks.
  Value step_value() {
    skip_ws(pos_);
    return item(pos_);
  }
  // literal passes the literal |lit| (null, true, false) when it stands next
  // after blanks.
  bool literal(std::string_view lit) {
    skip_ws(pos_);
    if (!match(pos_, lit)) return false;
    pos_ += lit.size();
    return true;
  }
  // quoted_as passes the string that stands next after blanks when |accept|
  // takes the text between its quotation mark and the next one, unjudged
  // and unescaped, for a caller whose accepted texts hold no backslash,
  // control character or character beyond ASCII (a time, an identifier):
  // such a text is the string's content. UTF-8 text only.
  template <typename Accept>
  bool quoted_as(Accept&& accept) {
    static_assert(sizeof(Ch) == 1);
    skip_ws(pos_);
    const std::size_t i = pos_;
    if (i >= n_ || s_[i] != '"') return false;
    const void* end = std::memchr(s_ + i + 1, '"', n_ - i - 1);
    if (!end) return false;
    const auto* close = static_cast<const Ch*>(end);
    if (!accept(std::string_view(reinterpret_cast<const char*>(s_ + i + 1),
                                 static_cast<std::size_t>(close - (s_ + i + 1)))))
      return false;
    pos_ = static_cast<std::size_t>(close - s_) + 1;
    return true;
  }

  // plain_ascii passes the string that stands next after blanks when it has
  // neither escapes nor characters beyond ASCII; |out| is its content, valid
  // until the next step.
  bool plain_ascii(std::string_view& out) {
    skip_ws(pos_);
    std::size_t i = pos_;
    if (i >= n_ || s_[i] != '"') return false;
    std::size_t j = i + 1;
    if constexpr (sizeof(Ch) <= 2) {
      // Eight bytes at a time while no character is a quotation mark, a
      // backslash, a control character or beyond ASCII.
      constexpr std::uint64_t kOnes = sizeof(Ch) == 1 ? 0x0101010101010101u : 0x0001000100010001u;
      constexpr std::uint64_t kSign = kOnes << (8 * sizeof(Ch) - 1);
      constexpr std::uint64_t kBeyond = sizeof(Ch) == 1 ? kSign : 0xff80ff80ff80ff80u;
      auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kSign; };
      constexpr std::size_t kStep = 8 / sizeof(Ch);
      for (; j + kStep <= n_; j += kStep) {
        std::uint64_t w;
        std::memcpy(&w, s_ + j, 8);
        // A flag of each unit that is not plain; the flags that the borrows
        // set in error all stand above the first true one.
        const std::uint64_t flags = (w & kBeyond) | zero(w ^ (kOnes * '"')) |
                                    zero(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w & kSign);
        if (flags) {
          if constexpr (std::endian::native == std::endian::little)
            j += static_cast<std::size_t>(std::countr_zero(flags)) / (8 * sizeof(Ch));
          break;
        }
      }
    }
    while (j < n_ && plain_char(s_[j])) ++j;
    if (j >= n_ || s_[j] != '"') return false;
    const std::size_t len = j - i - 1;
    if constexpr (sizeof(Ch) == 1) {
      out = std::string_view(reinterpret_cast<const char*>(s_ + i + 1), len);
    } else {
      copy_.resize(len);
      const Ch* from = s_ + i + 1;
      char* to = copy_.data();
      for (std::size_t k = 0; k < len; ++k) to[k] = static_cast<char>(from[k]);
      out = copy_;
    }
    pos_ = j + 1;
    return true;
  }

 private:
  static constexpr bool kUtf8 = std::is_same_v<Ch, char8_t>;

  // plain_char: |c| stands for itself in a string, and is ASCII.
  static bool plain_char(Ch c) {
    static constexpr auto kPlain = [] {
      std::array<bool, 128> t{};
      for (int k = 0x20; k < 0x80; ++k) t[k] = k != '"' && k != '\\';
      return t;
    }();
    return static_cast<std::uint32_t>(c) < 0x80 && kPlain[c];
  }

  void skip_ws(std::size_t& i) const {
    while (i < n_) {
      const Ch c = s_[i];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++i;
    }
  }

  bool is_digit(std::size_t i) const { return i < n_ && s_[i] >= '0' && s_[i] <= '9'; }

  bool match(std::size_t i, std::string_view lit) const {
    if (n_ - i < lit.size()) return false;
    std::size_t k = 0;
    if constexpr (sizeof(Ch) == 1) {
      // Eight bytes at a time, in place: a literal is a few dozen at most.
      // The last word of one of eight or more overlaps the one before, and
      // one of four to eight is read as two words of four that overlap.
      auto same = [&](std::size_t at, auto word) {
        decltype(word) a, b;
        std::memcpy(&a, s_ + i + at, sizeof a);
        std::memcpy(&b, lit.data() + at, sizeof b);
        return a == b;
      };
      const std::size_t m = lit.size();
      if (m >= 8) {
        for (; k + 8 < m; k += 8)
          if (!same(k, std::uint64_t{})) return false;
        return same(m - 8, std::uint64_t{});
      }
      if (m >= 4) return same(0, std::uint32_t{}) && same(m - 4, std::uint32_t{});
    }
    for (; k < lit.size(); ++k) {
      if (s_[i + k] != static_cast<unsigned char>(lit[k])) return false;
    }
    return true;
  }

  bool hex4(std::size_t i, std::uint32_t& out) const {
    if (i > n_ || n_ - i < 4) return false;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const std::uint32_t c = s_[i + k];
      std::uint32_t d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        return false;
      }
      v = (v << 4) | d;
    }
    out = v;
    return true;
  }

  // utf8_char decodes the UTF-8 sequence of a character beyond ASCII at |j|
  // into |out| and moves past it; false, reported, for bytes that the strict
  // decoder refuses.
  bool utf8_char(std::size_t& j, std::uint32_t& out) {
    const unsigned lead = s_[j];
    const std::size_t len = lead >= 0xc2 && lead <= 0xdf   ? 2
                            : lead >= 0xe0 && lead <= 0xef ? 3
                            : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                           : 0;
    std::uint32_t cp = lead & (len == 2 ? 0x1f : len == 3 ? 0x0f : 0x07);
    bool ok = len > 0 && len <= n_ - j;
    for (std::size_t k = 1; ok && k < len; ++k) {
      const unsigned c = s_[j + k];
      ok = (c & 0xc0) == 0x80;
      cp = cp << 6 | (c & 0x3f);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kMin[len] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
    if (!ok) {
      b_.not_utf8(j);
      return false;
    }
    out = cp;
    j += len;
    return true;
  }

  // Nested leaves a container that enter() accepted when it goes out of
  // scope.
  class Nested {
   public:
    explicit Nested(Parser& p) : p_(p) {}
    ~Nested() {
      --p_.depth_;
      p_.b_.leave();
    }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    Parser& p_;
  };

  bool enter(Container kind) {
    if (!b_.enter(kind)) return false;
    if (depth_ >= kMaxDepth) {
      b_.leave();
      b_.too_deep(kind);
      return false;
    }
    ++depth_;
    return true;
  }

  // item reads the value at |i|: a failure when there is none.
  Value item(std::size_t& i) {
    std::size_t stop = kNoPos;
    Value v = value(i, stop);
    if (!v && stop != kNoPos) b_.syntax_error("Expecting value", stop, kNoPos);
    return v;
  }

  // value reads the value at |i| and moves |i| past it. When there is no
  // value there, it returns an empty value with |stop| set to the position
  // to report; on any other failure |stop| stays kNoPos.
  Value value(std::size_t& i, std::size_t& stop) {
    if (i >= n_) {
      stop = i;
      return {};
    }
    switch (s_[i]) {
      case '"':
        return string(i);
      case '{':
        return container<Container::Object>(i);
      case '[':
        return container<Container::Array>(i);
      case 'n':
        if (match(i, "null")) {
          i += 4;
          return b_.null();
        }
        break;
      case 't':
        if (match(i, "true")) {
          i += 4;
          return b_.boolean(true);
        }
        break;
      case 'f':
        if (match(i, "false")) {
          i += 5;
          return b_.boolean(false);
        }
        break;
      case 'N':
        if (match(i, "NaN")) {
          i += 3;
          return b_.real(std::numeric_limits<double>::quiet_NaN());
        }
        break;
      case 'I':
        if (match(i, "Infinity")) {
          i += 8;
          return b_.real(std::numeric_limits<double>::infinity());
        }
        break;
      case '-':
        if (match(i, "-Infinity")) {
          i += 9;
          return b_.real(-std::numeric_limits<double>::infinity());
        }
        return number(i, stop);
      default:
        if (is_digit(i)) return number(i, stop);
        break;
    }
    stop = i;
    return {};
  }

  Value number(std::size_t& i, std::size_t& stop) {
    const std::size_t start = i;
    std::size_t j = i;
    if (s_[j] == '-') {
      ++j;
      if (j >= n_) {
        stop = start;
        return {};
      }
    }
    if (s_[j] >= '1' && s_[j] <= '9') {
      while (is_digit(j)) ++j;
    } else if (s_[j] == '0') {
      ++j;
    } else {
      stop = j;
      return {};
    }
    const std::size_t int_end = j;
    bool is_float = false;
    if (j + 1 < n_ && s_[j] == '.' && is_digit(j + 1)) {
      j += 2;
      while (is_digit(j)) ++j;
      is_float = true;
    }
    if (j + 1 < n_ && (s_[j] == 'e' || s_[j] == 'E')) {
      std::size_t e = j + 1;
      if (e < n_ && (s_[e] == '+' || s_[e] == '-')) ++e;
      if (is_digit(e)) {
        while (is_digit(e)) ++e;
        j = e;
        is_float = true;
      }
    }
    i = j;
    const bool negative = s_[start] == '-';
    const std::size_t first = start + (negative ? 1 : 0);
    if (!is_float && int_end - first <= 18) {
      std::int64_t v = 0;
      for (std::size_t k = first; k < int_end; ++k) v = v * 10 + (s_[k] - '0');
      return b_.integer(negative ? -v : v);
    }
    // The literal is ASCII.
    char small[64];
    std::string big;
    const std::size_t len = j - start;
    char* buf = small;
    if (len > sizeof small) {
      big.resize(len);
      buf = big.data();
    }
    for (std::size_t k = 0; k < len; ++k) buf[k] = static_cast<char>(s_[start + k]);
    const std::string_view text(buf, len);
    if (!is_float) return b_.big_integer(text);
    return b_.real(to_double(text));
  }

  // string reads the string whose quotation mark is at |i|.
  Value string(std::size_t& i) {
    const std::size_t start = i;
    std::size_t j = i + 1;
    while (j < n_) {
      const Ch c = s_[j];
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++j;
    }
    if (j >= n_) {
      b_.syntax_error("Unterminated string starting at", start, kNoPos);
      return {};
    }
    if (s_[j] == '"') {
      i = j + 1;
      return b_.plain_string(s_ + start + 1, j - start - 1, start + 1);
    }
    if (s_[j] < 0x20) {
      b_.syntax_error(control_character_error(s_[j]), j, kNoPos);
      return {};
    }
    return escaped_string(start, j, i);
  }

  // escaped_string reads on from |j|, the first character past the
  // quotation mark at |start| that needs more than copying, and sets |i|
  // past the closing quotation mark.
  Value escaped_string(std::size_t start, std::size_t j, std::size_t& i) {
    buf_.clear();
    for (std::size_t k = start + 1; k < j;) {
      std::uint32_t c = s_[k];
      if (kUtf8 && c >= 0x80) {
        if (!utf8_char(k, c)) return {};
      } else {
        ++k;
      }
      buf_.push_back(static_cast<char32_t>(c));
    }
    for (;;) {
      if (j >= n_) {
        b_.syntax_error("Unterminated string starting at", start, kNoPos);
        return {};
      }
      const Ch c = s_[j];
      if (c == '"') break;
      if (c < 0x20) {
        b_.syntax_error(control_character_error(c), j, kNoPos);
        return {};
      }
      std::uint32_t unit = c;
      if (c == '\\') {
        if (!escape(j, start, unit)) return {};
      } else if (kUtf8 && c >= 0x80) {
        if (!utf8_char(j, unit)) return {};
      } else {
        ++j;
      }
      buf_.push_back(static_cast<char32_t>(unit));
    }
    i = j + 1;
    return b_.string(std::u32string_view(buf_.data(), buf_.size()));
  }

  // escape reads the escape sequence whose backslash is at |j| into |out|
  // and moves |j| past it; false, reported, for a bad one.
  bool escape(std::size_t& j, std::size_t start, std::uint32_t& out) {
    if (j + 1 >= n_) {
      b_.syntax_error("Unterminated string starting at", start, kNoPos);
      return false;
    }
    const Ch c = s_[j + 1];
    if (c == 'u') return unicode_escape(j, out);
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    const std::size_t at = c < 0x80 ? kFrom.find(static_cast<char>(c)) : std::string_view::npos;
    if (at == std::string_view::npos) {
      b_.syntax_error("Invalid \\X escape sequence '\\\\'", j, kNoPos);
      return false;
    }
    out = static_cast<unsigned char>(kTo[at]);
    j += 2;
    return true;
  }

  // unicode_escape reads the \uXXXX escape at |j|. A high surrogate pairs
  // with a low one escaped right after it; anything else leaves it alone,
  // as it was written.
  bool unicode_escape(std::size_t& j, std::uint32_t& out) {
    if (!hex4(j + 2, out)) {
      b_.syntax_error("Invalid \\uXXXX escape sequence", j + 1, kNoPos);
      return false;
    }
    j += 6;
    if (out >= 0xd800 && out <= 0xdbff && j + 1 < n_ && s_[j] == '\\' && s_[j + 1] == 'u') {
      std::uint32_t low;
      if (!hex4(j + 2, low)) {
        b_.syntax_error("Invalid \\uXXXX escape sequence", j + 1, kNoPos);
        return false;
      }
      if (low >= 0xdc00 && low <= 0xdfff) {
        out = 0x10000 + ((out - 0xd800) << 10) + (low - 0xdc00);
        j += 6;
      }
    }
    return true;
  }

  // open passes the opening mark of a container at |i| and the blanks after
  // it: Closed when |close| follows at once (passed), Next when a first item
  // or member stands there, Failed on failure (|expecting| at the end).
  enum class Step { Next, Closed, Failed };
  Step open(std::size_t& i, char close, const char* expecting) {
    ++i;
    skip_ws(i);
    if (i >= n_) {
      b_.syntax_error(expecting, i, kNoPos);
      return Step::Failed;
    }
    if (s_[i] == static_cast<unsigned char>(close)) {
      ++i;
      return Step::Closed;
    }
    return Step::Next;
  }

  // after_member reads what follows an item of an array or a member of an
  // object that |close| ends: the end (Closed), or a comma and the blanks
  // after it (Next); anything else is the error |expecting|.
  Step after_member(std::size_t& i, char close, const char* expecting) {
    skip_ws(i);
    if (i < n_ && s_[i] == static_cast<unsigned char>(close)) {
      ++i;
      return Step::Closed;
    }
    if (i >= n_ || s_[i] != ',') {
      b_.syntax_error(expecting, i, kNoPos);
      return Step::Failed;
    }
    ++i;
    skip_ws(i);
    return Step::Next;
  }

  // container reads the array or the object at |i|: items, or members,
  // up to its closing mark.
  template <Container kind>
  Value container(std::size_t& i) {
    constexpr bool kArray = kind == Container::Array;
    constexpr char kClose = kArray ? ']' : '}';
    if (!enter(kind)) return {};
    Nested nested(*this);
    Value made = kArray ? b_.array() : b_.object();
    if (!made) return made;
    Step step = open(i, kClose,
                     kArray ? "Expecting value or ']'"
                            : "Expecting property name enclosed in double quotes or '}'");
    while (step == Step::Next) {
      if constexpr (kArray) {
        Value v = item(i);
        if (!v || !b_.push(made, std::move(v))) return {};
      } else if (!member(i, made)) {
        return {};
      }
      step = after_member(
          i, kClose, kArray ? "Expecting ',' delimiter or ']'" : "Expecting ',' delimiter or '}'");
    }
    if (step == Step::Failed) return {};
    return made;
  }

  // member reads a member of |object| at |i|: a name, ':' and a value.
  bool member(std::size_t& i, Value& object) {
    if (i >= n_ || s_[i] != '"') {
      b_.syntax_error("Expecting property name enclosed in double quotes", i, kNoPos);
      return false;
    }
    Value name = string(i);
    if (!name) return false;
    skip_ws(i);
    if (i >= n_ || s_[i] != ':') {
      b_.syntax_error("Expecting ':' delimiter", i, kNoPos);
      return false;
    }
    ++i;
    skip_ws(i);
    Value v = item(i);
    return v && b_.member(object, std::move(name), std::move(v));
  }

  const Ch* s_;
  std::size_t n_;
  Builder& b_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  std::vector<char32_t> buf_;
  std::string copy_;
};

}  // namespace velna::json

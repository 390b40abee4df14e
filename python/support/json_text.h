// JSON text as the system writes and reads it: payload plaintexts, container
// headers and key-file sections. The text is that of the JSON library's
// default options, so stored data stays byte-for-byte compatible.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "velna/json/text.h"
#include "velna_py.h"

namespace velna::py::json {

// dumps writes |value| as JSON text: ", " and ": " separators, no line
// breaks, every character outside printable ASCII as a lower-case \uXXXX
// escape (a surrogate pair above U+FFFF), floats as their repr with NaN,
// Infinity and -Infinity, members in the mapping's own order. Byte strings
// are written as their UTF-8 text; objects with a callable _asdict() as
// objects; tuples as arrays; Decimal as its str. Raises TypeError
// "Object of type X is not JSON serializable" for other values, TypeError
// "keys must be str, int, float, bool or None, not X" for other keys,
// ValueError "Circular reference detected" for a container inside itself and
// RecursionError for nesting deeper than the interpreter allows.
VELNA_PY_API pybind11::str dumps(pybind11::handle value);

// loads parses JSON text given as str or bytes (UTF-8, a leading BOM
// skipped). NaN, Infinity and -Infinity are accepted, integers are exact,
// lone surrogates in \u escapes are kept and a repeated member name keeps
// its last value at its first position. Malformed text raises decode_error()
// with a message such as "Expecting value: line 1 column 1 (char 0)"; bytes
// that are not UTF-8 raise UnicodeDecodeError; any other type raises
// TypeError; nesting deeper than the interpreter allows raises
// RecursionError.
VELNA_PY_API pybind11::object loads(pybind11::handle text);

// decode_error is the ValueError subclass "JSONDecodeError" that loads
// raises: one class per interpreter, shared by every module. Its instances
// carry msg, doc, pos, end, lineno, colno, endlineno and endcolno.
VELNA_PY_API pybind11::handle decode_error();

namespace detail {

namespace vj = ::velna::json;

// raise_decode sets decode_error() for |msg| at character |pos| of |doc|
// (and up to |end| unless kNoPos), |s| being the characters of |doc|.
template <typename Ch>
void raise_decode(PyObject* doc, const Ch* s, std::string_view msg, std::size_t pos,
                  std::size_t end) {
  const bool has_end = end != vj::kNoPos;
  const vj::Location at = vj::locate(s, pos);
  const vj::Location end_at = has_end ? vj::locate(s, end) : vj::Location{};
  const std::string text = vj::error_text(msg, pos, at, end, end_at);
  // The parser reports failures by returning null with the error set.
  try {
    auto number_or_none = [&](std::size_t v) -> pyb::object {
      return has_end ? pyb::object(pyb::int_(v)) : pyb::none();
    };
    raise_error(decode_error(), text,
                {{"msg", pyb::str(msg.data(), msg.size())},
                 {"doc", doc},
                 {"pos", pyb::int_(pos)},
                 {"end", number_or_none(end)},
                 {"lineno", pyb::int_(at.line)},
                 {"colno", pyb::int_(at.column)},
                 {"endlineno", number_or_none(end_at.line)},
                 {"endcolno", number_or_none(end_at.column)}});
  } catch (pyb::error_already_set& e) {
    e.restore();
  }
}

inline Py_ssize_t ssize(std::size_t n) { return static_cast<Py_ssize_t>(n); }

// Builder makes the Python objects of a document whose characters |s| are
// those of the str |doc|. |doc| may be null for ASCII or UTF-8 text, and is
// then made only to report a failure. It is hidden, as pybind11's own
// types are: each library that reads with it has its own copy.
template <typename Ch>
class [[gnu::visibility("hidden")]] Builder {
 public:
  using Value = pyb::object;

  Builder(PyObject * doc, const Ch* s, std::size_t n) : doc_(doc), s_(s), n_(n) {}
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  Value null() { return pyb::none(); }
  Value boolean(bool v) { return borrow(v ? Py_True : Py_False); }
  Value real(double v) { return own(PyFloat_FromDouble(v)); }
  Value integer(std::int64_t v) { return own(PyLong_FromLongLong(v)); }
  // The runtime's own conversion keeps a big integer exact, within its limit
  // on the digit count.
  Value big_integer(std::string_view digits) {
    return own(PyLong_FromString(std::string(digits).c_str(), nullptr, 10));
  }
  Value plain_string(const Ch* p, std::size_t n, std::size_t pos) {
    if (doc_) return own(PyUnicode_Substring(doc_, ssize(pos), ssize(pos + n)));
    if constexpr (kUtf8) {
      return own(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), ssize(n), nullptr));
    } else {
      pyb::object t = own(PyUnicode_New(ssize(n), 127));
      if (t) std::memcpy(PyUnicode_DATA(t.ptr()), p, n);
      return t;
    }
  }
  Value string(std::u32string_view units) {
    return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, units.data(), ssize(units.size())));
  }
  Value array() { return own(PyList_New(0)); }
  bool push(Value & list, Value item) { return PyList_Append(list.ptr(), item.ptr()) == 0; }
  Value object() { return own(PyDict_New()); }
  // A repeated name keeps its last value at its first position, and repeated
  // names share one string object.
  bool member(Value & dict, Value name, Value value) {
    if (!memo_) {
      memo_ = own(PyDict_New());
      if (!memo_) return false;
    }
    PyObject* shared = PyDict_SetDefault(memo_.ptr(), name.ptr(), name.ptr());  // borrowed
    return shared && PyDict_SetItem(dict.ptr(), shared, value.ptr()) == 0;
  }

  bool enter(vj::Container kind) { return !Py_EnterRecursiveCall(where(kind)); }
  void leave() { Py_LeaveRecursiveCall(); }
  void too_deep(vj::Container kind) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where(kind));
  }
  void syntax_error(std::string_view msg, std::size_t pos, std::size_t end) {
    if constexpr (kUtf8) {
      // Positions in UTF-8 text count bytes, not the characters that a
      // decode error counts: its reader (Reader) only tells that it failed.
      PyErr_SetString(PyExc_ValueError, std::string(msg).c_str());
    } else if (PyObject* d = doc()) {
      raise_decode(d, s_, msg, pos, end);
    }
  }
  // Bytes that the strict decoder refuses: the text is then read decoded,
  // which reports them.
  void not_utf8(std::size_t) { PyErr_SetString(PyExc_ValueError, "not UTF-8"); }

 private:
  static constexpr bool kUtf8 = std::is_same_v<Ch, char8_t>;

  static const char* where(vj::Container kind) {
    return kind == vj::Container::Array ? " while decoding a JSON array from a unicode string"
                                        : " while decoding a JSON object from a unicode string";
  }

  PyObject* doc() {
    if (!doc_) {
      made_doc_ = own(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s_), ssize(n_), nullptr));
      doc_ = made_doc_.ptr();
    }
    return doc_;
  }

  PyObject* doc_;
  pyb::object made_doc_;
  const Ch* s_;
  std::size_t n_;
  pyb::object memo_;
};

}  // namespace detail

// Reader reads one JSON document of UTF-8 text held by the caller step by
// step, each value as loads reads it, for a caller that builds its own
// objects from a document of a known shape (the key server's pages of
// events). Its steps are inline, so that such a caller's loop holds them. A
// step that does not find what it looks for returns false and moves nothing;
// value() returns a new reference, or null with an error for the text there.
// Text is read where it stands, each string decoded on its own: bytes that
// are not UTF-8 fail to read (ValueError) where they stand, and so does a
// syntax error (loads reports either for the whole text).
class [[gnu::visibility("hidden")]] Reader {
 public:
  Reader(const char* utf8, std::size_t n)
      : builder_(nullptr, reinterpret_cast<const char8_t*>(utf8), n),
        parser_(reinterpret_cast<const char8_t*>(utf8), n, builder_) {
    parser_.skip_bom();
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool take(char c) { return parser_.take(c); }    // after blanks, |c| stands next: it is passed
  bool at(char c) { return parser_.peek() == c; }  // after blanks, |c| stands next
  std::int64_t next() { return parser_.peek(); }   // the byte after blanks, -1 at the end
  void pass() { parser_.pass(); }                  // after next(): the byte it gave is passed
  bool end() { return parser_.peek() < 0; }        // after blanks, the document ends
  PyObject* value() { return parser_.step_value().release().ptr(); }
  // ascii_string: a string stands next without escapes and all ASCII; |text|
  // is its content until the next step.
  bool ascii_string(std::string_view & text) { return parser_.plain_ascii(text); }
  // quoted_as: after blanks, a string stands next whose text up to the next
  // quotation mark |accept| takes (see Parser::quoted_as): it is passed.
  template <typename Accept>
  bool quoted_as(Accept && accept) {
    return parser_.quoted_as(std::forward<Accept>(accept));
  }
  bool null() { return parser_.literal("null"); }  // "null" stands next: it is passed
  // literal: after blanks, the text |lit| stands next (a key in its quotes,
  // say): it is passed.
  bool literal(std::string_view lit) { return parser_.literal(lit); }

 private:
  detail::Builder<char8_t> builder_;
  ::velna::json::Parser<char8_t, detail::Builder<char8_t>> parser_;
};

// ---- readers for one kind of answer --------------------------------------
//
// A caller that knows what an answer holds may decode its body straight into
// its own objects. It arms a BodyReader on this thread for the request whose
// query is the very object |token|; the key-server session claims the reader
// for that request alone, right before it decodes the answer, and the HTTP
// layer's decoding then hands the body to it. read returns a new reference
// (the reader is then disarmed), or null without an error when the body is
// not of its kind (it is then decoded as usual); null with an error set is a
// failure.
class BodyReader {
 public:
  virtual PyObject* read(PyObject* content) = 0;

 protected:
  ~BodyReader() = default;
};

// arm_reader arms |reader| for the request with the query |token| (null
// disarms); claim_reader claims it when |token| is that query, release_claim
// ends the claim; claimed_reader is the reader claimed now, or null.
VELNA_PY_API void arm_reader(BodyReader* reader, PyObject* token);
VELNA_PY_API void claim_reader(PyObject* token);
VELNA_PY_API void release_claim();
VELNA_PY_API BodyReader* claimed_reader();

// ArmedReader arms |reader| for as long as it lives.
class ArmedReader {
 public:
  ArmedReader(BodyReader* reader, PyObject* token) { arm_reader(reader, token); }
  ~ArmedReader() { arm_reader(nullptr, nullptr); }
  ArmedReader(const ArmedReader&) = delete;
  ArmedReader& operator=(const ArmedReader&) = delete;
};

}  // namespace velna::py::json

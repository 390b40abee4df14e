#include "json_text.h"
#include "py_compat.h"
#include "velna_py.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace velna::py::json {
namespace {

namespace pyb = pybind11;

// Nesting deeper than this fails even when the interpreter's recursion limit
// has been raised, so that a deep document cannot exhaust the C stack.
constexpr std::size_t kMaxDepth = 10000;

// The writer and the reader report failures the C API's way (false or null,
// with the Python error set) and turn them into error_already_set only at
// dumps and loads: a deep document fails through thousands of frames, and
// most values never fail at all.

// Objects kept for the life of the process (with keep, so that nothing runs
// at interpreter shutdown), made on first use; null, with the error set,
// only while they cannot be made.
PyObject* asdict_name() {
  static PyObject* name = nullptr;
  if (!name) {
    pyb::object made = own(PyUnicode_InternFromString("_asdict"));
    if (!made) return nullptr;
    name = keep(std::move(made));
  }
  return name;
}

// decimal_type is decimal.Decimal (the module is only needed once a value
// has passed every cheaper test). Borrowed reference.
PyObject* decimal_type() {
  static PyObject* type = nullptr;
  if (!type) {
    pyb::object mod = own(PyImport_ImportModule("decimal"));
    if (!mod) return nullptr;
    pyb::object made = own(PyObject_GetAttrString(mod.ptr(), "Decimal"));
    if (!made) return nullptr;
    type = keep(std::move(made));
  }
  return type;
}

// PyMemFree releases what the runtime's own text conversions allocate.
struct PyMemFree {
  void operator()(char* p) const { PyMem_Free(p); }
};

// ---------------------------------------------------------------------------
// Writing

constexpr char kHex[] = "0123456789abcdef";

// kEscape[c] for c < 0x80: 0 when c is written as itself, the letter of its
// short escape, or 'u' for a \u00XX escape.
constexpr auto kEscape = [] {
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

class Encoder {
 public:
  Encoder() { out_.reserve(128); }

  bool value(PyObject* o);
  pyb::str result();

 private:
  bool text(PyObject* s);
  bool utf8_bytes(PyObject* b);
  bool integer(PyObject* o);
  bool real(PyObject* o);
  bool key(PyObject* k);
  bool raw_text(PyObject* s);
  int named_tuple(PyObject* o);
  bool list(PyObject* o);
  bool tuple(PyObject* o);
  bool iterable(PyObject* o);
  bool object(PyObject* d);
  bool object_items(PyObject* d);
  bool member(PyObject* k, PyObject* v);
  bool enter(PyObject* container);
  void leave(PyObject* container);

  // Open leaves a container that enter() accepted when it goes out of scope.
  class Open {
   public:
    Open(Encoder& e, PyObject* container) : e_(e), container_(container) {}
    ~Open() { e_.leave(container_); }
    Open(const Open&) = delete;
    Open& operator=(const Open&) = delete;

   private:
    Encoder& e_;
    PyObject* container_;
  };
  void escape_unit(std::uint32_t c);

  template <typename Ch>
  void escape(const Ch* p, Py_ssize_t n);

  // put appends a literal with its length known at the call.
  template <std::size_t N>
  [[gnu::always_inline]] void put(const char (&literal)[N]) {
    out_.append(literal, N - 1);
  }

  std::string out_;
  bool ascii_ = true;
  // Containers being written, outermost first: a container met again while
  // it is still open is a cycle. A set takes over from the linear search once
  // the path is long.
  std::vector<PyObject*> path_;
  std::unordered_set<PyObject*> path_set_;
  bool use_set_ = false;
};

void Encoder::escape_unit(std::uint32_t c) {
  char e[6] = {'\\',         'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf],
               kHex[c & 0xf]};
  out_.append(e, 6);
}

template <typename Ch>
void Encoder::escape(const Ch* p, Py_ssize_t n) {
  Py_ssize_t i = 0;
  while (i < n) {
    Py_ssize_t j = i;
    while (j < n && static_cast<std::uint32_t>(p[j]) < 0x80 && !kEscape[p[j]]) ++j;
    if (j > i) {
      if constexpr (sizeof(Ch) == 1) {
        out_.append(reinterpret_cast<const char*>(p + i), static_cast<std::size_t>(j - i));
      } else {
        for (Py_ssize_t k = i; k < j; ++k) out_.push_back(static_cast<char>(p[k]));
      }
    }
    if (j == n) break;
    const std::uint32_t c = p[j];
    if (c < 0x80) {
      const char e = kEscape[c];
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

// Every string goes through text: its appends are inlined here whatever the
// compiler decides for the rest of the writer.
[[gnu::flatten]] bool Encoder::text(PyObject* s) {
  if (PyUnicode_READY(s) < 0) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  out_.reserve(out_.size() + static_cast<std::size_t>(n) + 2);
  out_.push_back('"');
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      escape(static_cast<const Py_UCS1*>(data), n);
      break;
    case PyUnicode_2BYTE_KIND:
      escape(static_cast<const Py_UCS2*>(data), n);
      break;
    default:
      escape(static_cast<const Py_UCS4*>(data), n);
      break;
  }
  out_.push_back('"');
  return true;
}

bool Encoder::utf8_bytes(PyObject* b) {
  pyb::object s = own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b), nullptr));
  return s && text(s.ptr());
}

bool Encoder::integer(PyObject* o) {
  pyb::object owned;
  if (!PyLong_CheckExact(o)) {
    // Subclasses are written as the plain integer they convert to, whatever
    // their own text form says.
    owned = own(PyNumber_Long(o));
    if (!owned) return false;
    o = owned.ptr();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (!overflow) {
    if (v == -1 && PyErr_Occurred()) return false;
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
    return true;
  }
  // The runtime's own conversion, with its limit on the digit count.
  pyb::object r = own(PyLong_Type.tp_repr(o));
  if (!r) return false;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(r.ptr(), &n);
  if (!p) return false;
  out_.append(p, static_cast<std::size_t>(n));
  return true;
}

bool Encoder::real(PyObject* o) {
  double v;
  if (PyFloat_CheckExact(o)) {
    v = PyFloat_AS_DOUBLE(o);
  } else {
    pyb::object f = own(PyNumber_Float(o));
    if (!f) return false;
    v = PyFloat_AsDouble(f.ptr());
    if (v == -1.0 && PyErr_Occurred()) return false;
  }
  if (std::isnan(v)) {
    put("NaN");
  } else if (std::isinf(v)) {
    out_ += v > 0 ? "Infinity" : "-Infinity";
  } else {
    std::unique_ptr<char, PyMemFree> r(
        PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr));
    if (!r) return false;
    out_ += r.get();
  }
  return true;
}

// raw_text appends the text of |s| as it is (the str of a Decimal). It is
// ASCII for every Decimal; a subclass may say otherwise, and the result is
// then rebuilt from UTF-8 at the end.
bool Encoder::raw_text(PyObject* s) {
  if (PyUnicode_READY(s) < 0) return false;
  if (PyUnicode_IS_ASCII(s)) {
    out_.append(static_cast<const char*>(PyUnicode_DATA(s)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
    return true;
  }
  pyb::object b = own(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (!b) return false;
  out_.append(PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
  ascii_ = false;
  return true;
}

bool Encoder::key(PyObject* k) {
  if (PyUnicode_Check(k)) return text(k);
  if (PyBytes_Check(k)) return utf8_bytes(k);
  if (PyFloat_Check(k)) {
    out_.push_back('"');
    if (!real(k)) return false;
    out_.push_back('"');
    return true;
  }
  if (k == Py_True) {
    put("\"true\"");
    return true;
  }
  if (k == Py_False) {
    put("\"false\"");
    return true;
  }
  if (k == Py_None) {
    put("\"null\"");
    return true;
  }
  if (PyLong_Check(k)) {
    out_.push_back('"');
    if (!integer(k)) return false;
    out_.push_back('"');
    return true;
  }
  PyObject* dec = decimal_type();
  if (!dec) return false;
  const int is_dec = PyObject_IsInstance(k, dec);
  if (is_dec < 0) return false;
  if (is_dec) {
    pyb::object s = own(PyObject_Str(k));
    return s && text(s.ptr());
  }
  PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
               Py_TYPE(k)->tp_name);
  return false;
}

bool Encoder::enter(PyObject* container) {
  const bool seen = use_set_ ? path_set_.count(container) != 0
                             : std::find(path_.begin(), path_.end(), container) != path_.end();
  if (seen) {
    PyErr_SetString(PyExc_ValueError, "Circular reference detected");
    return false;
  }
  if (Py_EnterRecursiveCall(" while encoding a JSON object")) return false;
  if (path_.size() >= kMaxDepth) {
    Py_LeaveRecursiveCall();
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while encoding a JSON object");
    return false;
  }
  path_.push_back(container);
  if (!use_set_ && path_.size() > 32) {
    use_set_ = true;
    path_set_.insert(path_.begin(), path_.end());
  } else if (use_set_) {
    path_set_.insert(container);
  }
  return true;
}

void Encoder::leave(PyObject* container) {
  path_.pop_back();
  if (use_set_) path_set_.erase(container);
  Py_LeaveRecursiveCall();
}

// named_tuple writes |o| as an object when it has a callable _asdict that
// accepts no arguments: 1 when written, 0 when |o| is not such an object,
// -1 on error. A failing attribute lookup, or a TypeError from the call,
// means "not a named tuple".
int Encoder::named_tuple(PyObject* o) {
  PyObject* name = asdict_name();
  if (!name) return -1;
  pyb::object d;
  {
    pyb::object method = own(PyObject_GetAttr(o, name));
    if (!method) {
      PyErr_Clear();
      return 0;
    }
    if (!PyCallable_Check(method.ptr())) return 0;
    d = own(PyObject_CallObject(method.ptr(), nullptr));
  }
  if (!d) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  if (!PyDict_Check(d.ptr())) {
    PyErr_Format(PyExc_TypeError, "_asdict() must return a dict, not %.80s",
                 Py_TYPE(d.ptr())->tp_name);
    return -1;
  }
  return object(d.ptr()) ? 1 : -1;
}

bool Encoder::list(PyObject* o) {
  if (PyList_GET_SIZE(o) == 0) {
    put("[]");
    return true;
  }
  if (!PyList_CheckExact(o)) return iterable(o);
  if (!enter(o)) return false;
  Open open(*this, o);
  out_.push_back('[');
  // The size is read again at every step, and the item is held while it is
  // written: a value's conversion may run code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
    if (i) put(", ");
    pyb::object item = borrow(PyList_GET_ITEM(o, i));
    if (!value(item.ptr())) return false;
  }
  out_.push_back(']');
  return true;
}

bool Encoder::tuple(PyObject* o) {
  const Py_ssize_t n = PyTuple_GET_SIZE(o);
  if (n == 0) {
    put("[]");
    return true;
  }
  if (!PyTuple_CheckExact(o)) return iterable(o);
  if (!enter(o)) return false;
  Open open(*this, o);
  out_.push_back('[');
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i) put(", ");
    if (!value(PyTuple_GET_ITEM(o, i))) return false;
  }
  out_.push_back(']');
  return true;
}

// iterable writes a list or tuple subclass through its own iteration.
bool Encoder::iterable(PyObject* o) {
  if (!enter(o)) return false;
  Open open(*this, o);
  {
    pyb::object it = own(PyObject_GetIter(o));
    if (!it) return false;
    out_.push_back('[');
    bool first = true;
    while (pyb::object item = own(PyIter_Next(it.ptr()))) {
      if (!first) put(", ");
      first = false;
      if (!value(item.ptr())) return false;
    }
  }
  if (PyErr_Occurred()) return false;
  out_.push_back(']');
  return true;
}

bool Encoder::object(PyObject* d) {
  if (PyDict_GET_SIZE(d) == 0) {
    put("{}");
    return true;
  }
  if (!PyDict_CheckExact(d)) return object_items(d);
  if (!enter(d)) return false;
  Open open(*this, d);
  out_.push_back('{');
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  bool first = true;
  while (PyDict_Next(d, &pos, &k, &v)) {
    if (!first) put(", ");
    first = false;
    // Held while written (the key let go first): converting a value may run
    // code that changes d.
    pyb::object held_value = borrow(v);
    pyb::object held_key = borrow(k);
    if (!member(k, v)) return false;
  }
  out_.push_back('}');
  return true;
}

// object_items writes a dict subclass through its own items().
bool Encoder::object_items(PyObject* d) {
  if (!enter(d)) return false;
  Open open(*this, d);
  out_.push_back('{');
  pyb::object items = own(PyMapping_Items(d));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
      return false;
    }
    if (i) put(", ");
    if (!member(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) return false;
  }
  out_.push_back('}');
  return true;
}

bool Encoder::member(PyObject* k, PyObject* v) {
  if (!key(k)) return false;
  put(": ");
  return value(v);
}

bool Encoder::value(PyObject* o) {
  if (PyUnicode_Check(o)) return text(o);
  if (PyBytes_Check(o)) return utf8_bytes(o);
  if (o == Py_None) {
    put("null");
    return true;
  }
  if (o == Py_True) {
    put("true");
    return true;
  }
  if (o == Py_False) {
    put("false");
    return true;
  }
  if (PyLong_Check(o)) return integer(o);
  if (PyFloat_Check(o)) return real(o);
  // Plain lists, tuples and dicts cannot carry an _asdict; anything else,
  // subclasses of those included, is asked first.
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && !PyDict_CheckExact(o)) {
    const int r = named_tuple(o);
    if (r) return r > 0;
  }
  if (PyList_Check(o)) return list(o);
  if (PyTuple_Check(o)) return tuple(o);
  if (PyDict_Check(o)) return object(o);
  PyObject* dec = decimal_type();
  if (!dec) return false;
  const int is_dec = PyObject_IsInstance(o, dec);
  if (is_dec < 0) return false;
  if (is_dec) {
    pyb::object s = own(PyObject_Str(o));
    return s && raw_text(s.ptr());
  }
  pyb::object name;
  {
    pyb::object cls = own(PyObject_GetAttrString(o, "__class__"));
    if (!cls) return false;
    name = own(PyObject_GetAttrString(cls.ptr(), "__name__"));
  }
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "Object of type %S is not JSON serializable", name.ptr());
  return false;
}

// result is the text written, null with the error set when it cannot be
// made.
pyb::str Encoder::result() {
  if (!ascii_) {
    return pyb::reinterpret_steal<pyb::str>(
        PyUnicode_DecodeUTF8(out_.data(), static_cast<Py_ssize_t>(out_.size()), "surrogatepass"));
  }
  auto s =
      pyb::reinterpret_steal<pyb::str>(PyUnicode_New(static_cast<Py_ssize_t>(out_.size()), 127));
  if (s) std::memcpy(PyUnicode_DATA(s.ptr()), out_.data(), out_.size());
  return s;
}

// ---------------------------------------------------------------------------
// Reading

// raise_decode sets decode_error() for |msg| at character |pos| of |doc|
// (and up to |end| when it is not negative), with the line and column
// numbers counted as the JSON library counts them.
void raise_decode(PyObject* doc, const std::string& msg, Py_ssize_t pos, Py_ssize_t end = -1) {
  const int kind = PyUnicode_KIND(doc);
  const void* data = PyUnicode_DATA(doc);
  auto line_col = [&](Py_ssize_t p, Py_ssize_t& line, Py_ssize_t& col) {
    line = 1;
    Py_ssize_t last_nl = -1;
    for (Py_ssize_t i = 0; i < p; ++i) {
      if (PyUnicode_READ(kind, data, i) == '\n') {
        ++line;
        last_nl = i;
      }
    }
    col = p - last_nl;
  };
  Py_ssize_t line, col, end_line = 0, end_col = 0;
  line_col(pos, line, col);
  std::string text = msg;
  char buf[160];
  if (end >= 0) {
    line_col(end, end_line, end_col);
    std::snprintf(buf, sizeof buf, ": line %zd column %zd - line %zd column %zd (char %zd - %zd)",
                  line, col, end_line, end_col, pos, end);
  } else {
    std::snprintf(buf, sizeof buf, ": line %zd column %zd (char %zd)", line, col, pos);
  }
  text += buf;

  // The parser reports failures by returning null with the error set.
  try {
    auto number_or_none = [](bool has, Py_ssize_t v) -> pyb::object {
      return has ? pyb::object(pyb::int_(v)) : pyb::none();
    };
    raise_error(decode_error(), text,
                {{"msg", pyb::str(msg)},
                 {"doc", doc},
                 {"pos", pyb::int_(pos)},
                 {"end", number_or_none(end >= 0, end)},
                 {"lineno", pyb::int_(line)},
                 {"colno", pyb::int_(col)},
                 {"endlineno", number_or_none(end >= 0, end_line)},
                 {"endcolno", number_or_none(end >= 0, end_col)}});
  } catch (pyb::error_already_set& e) {
    e.restore();
  }
}

constexpr const char kArrayDepth[] = " while decoding a JSON array from a unicode string";
constexpr const char kObjectDepth[] = " while decoding a JSON object from a unicode string";

template <typename Ch>
class Parser {
 public:
  // |doc| is the str of the text [s, s + n); it may be null for ASCII text,
  // and is then made only to report a failure.
  Parser(PyObject* doc, const Ch* s, Py_ssize_t n) : doc_(doc), s_(s), n_(n) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // parse reads the whole document: null, with the error set, when it is
  // not one JSON value.
  pyb::object parse() {
    Py_ssize_t i = 0;
    if (n_ > 0 && static_cast<Py_UCS4>(s_[0]) == 0xfeff) i = 1;
    skip_ws(i);
    Py_ssize_t stop = -1;
    pyb::object v = value(i, stop);
    if (!v) {
      if (stop >= 0) fail("Expecting value", stop);
      return {};
    }
    skip_ws(i);
    if (i != n_) {
      v = {};
      raise_decode(doc(), "Extra data", i, n_);
      return {};
    }
    return v;
  }

  // ---- steps for Reader ----------------------------------------------------

  // at skips blanks from |i| and is the character there, or -1 at the end.
  long at(Py_ssize_t& i) const {
    skip_ws(i);
    return i < n_ ? static_cast<long>(s_[i]) : -1;
  }

  // step_value reads the value at |i| (after blanks) as parse reads one.
  pyb::object step_value(Py_ssize_t& i) {
    skip_ws(i);
    Py_ssize_t stop = -1;
    pyb::object v = value(i, stop);
    if (!v && stop >= 0) fail("Expecting value", stop);
    return v;
  }

  // plain_ascii is the text of the string at |i| when it has neither escapes
  // nor characters beyond ASCII; |i| then moves past it.
  bool plain_ascii(Py_ssize_t& i, std::string_view& out, std::string& copy) const {
    skip_ws(i);
    if (i >= n_ || s_[i] != '"') return false;
    Py_ssize_t j = i + 1;
    if constexpr (sizeof(Ch) <= 2) {
      // Eight bytes at a time while no character is a quotation mark, a
      // backslash, a control character or beyond ASCII.
      constexpr std::uint64_t kOnes = sizeof(Ch) == 1 ? 0x0101010101010101u : 0x0001000100010001u;
      constexpr std::uint64_t kSign = kOnes << (8 * sizeof(Ch) - 1);
      constexpr std::uint64_t kBeyond = sizeof(Ch) == 1 ? kSign : 0xff80ff80ff80ff80u;
      auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kSign; };
      constexpr Py_ssize_t kStep = 8 / sizeof(Ch);
      for (; j + kStep <= n_; j += kStep) {
        std::uint64_t w;
        std::memcpy(&w, s_ + j, 8);
        if ((w & kBeyond) || (zero(w ^ (kOnes * '"')) | zero(w ^ (kOnes * '\\')) |
                              ((w - kOnes * 0x20) & ~w & kSign)))
          break;
      }
    }
    while (j < n_ && plain_char(s_[j])) ++j;
    if (j >= n_ || s_[j] != '"') return false;
    const auto len = static_cast<std::size_t>(j - i - 1);
    if constexpr (sizeof(Ch) == 1) {
      out = std::string_view(reinterpret_cast<const char*>(s_ + i + 1), len);
    } else {
      copy.resize(len);
      const Ch* from = s_ + i + 1;
      char* to = copy.data();
      for (std::size_t k = 0; k < len; ++k) to[k] = static_cast<char>(from[k]);
      out = copy;
    }
    i = j + 1;
    return true;
  }

  // plain_char: |c| stands for itself in a string, and is ASCII.
  static bool plain_char(Ch c) {
    static constexpr auto kPlain = [] {
      std::array<bool, 128> t{};
      for (int k = 0x20; k < 0x80; ++k) t[k] = k != '"' && k != '\\';
      return t;
    }();
    return static_cast<Py_UCS4>(c) < 0x80 && kPlain[c];
  }

  // literal reports whether the literal |lit| (null, true, false) is at |i|
  // followed by no part of a longer word, and moves past it.
  bool literal(Py_ssize_t& i, const char* lit, Py_ssize_t len) const {
    skip_ws(i);
    if (!match(i, lit, len)) return false;
    i += len;
    return true;
  }

 private:
  void fail(const char* msg, Py_ssize_t pos) {
    if constexpr (std::is_same_v<Ch, char8_t>) {
      // Positions in UTF-8 text count bytes, not the characters that a
      // decode error counts: its reader (Reader) only tells that it failed.
      PyErr_SetString(PyExc_ValueError, msg);
    } else if (PyObject* d = doc()) {
      raise_decode(d, msg, pos);
    }
  }

  // In UTF-8 text (Ch is char8_t, for Reader) a string is decoded from its
  // bytes.
  static constexpr bool kUtf8 = std::is_same_v<Ch, char8_t>;

  // utf8_char decodes the UTF-8 sequence of a character beyond ASCII at
  // |j| into |out| and moves past it; false, with ValueError set, for bytes
  // that the strict decoder refuses (the text is then read decoded, which
  // reports them).
  bool utf8_char(Py_ssize_t& j, Py_UCS4& out) const {
    const unsigned lead = s_[j];
    const int len = lead >= 0xc2 && lead <= 0xdf   ? 2
                    : lead >= 0xe0 && lead <= 0xef ? 3
                    : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                   : 0;
    Py_UCS4 cp = lead & (len == 2 ? 0x1f : len == 3 ? 0x0f : 0x07);
    bool ok = len > 0 && j + len <= n_;
    for (int k = 1; ok && k < len; ++k) {
      const unsigned c = s_[j + k];
      ok = (c & 0xc0) == 0x80;
      cp = cp << 6 | (c & 0x3f);
    }
    static constexpr Py_UCS4 kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= kMin[len] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
    if (!ok) {
      PyErr_SetString(PyExc_ValueError, "not UTF-8");
      return false;
    }
    out = cp;
    j += len;
    return true;
  }

  PyObject* doc() {
    if (!doc_) {
      made_doc_ = own(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s_), n_, nullptr));
      doc_ = made_doc_.ptr();
    }
    return doc_;
  }

  void skip_ws(Py_ssize_t& i) const {
    while (i < n_) {
      const Ch c = s_[i];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++i;
    }
  }

  bool is_digit(Py_ssize_t i) const { return i < n_ && s_[i] >= '0' && s_[i] <= '9'; }

  bool match(Py_ssize_t i, const char* lit, Py_ssize_t len) const {
    if (n_ - i < len) return false;
    for (Py_ssize_t k = 0; k < len; ++k) {
      if (s_[i + k] != static_cast<Ch>(lit[k])) return false;
    }
    return true;
  }

  bool hex4(Py_ssize_t i, Py_UCS4& out) const {
    if (n_ - i < 4) return false;
    Py_UCS4 v = 0;
    for (Py_ssize_t k = 0; k < 4; ++k) {
      const Py_UCS4 c = s_[i + k];
      int d;
      if (c >= '0' && c <= '9') {
        d = static_cast<int>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<int>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<int>(c - 'A' + 10);
      } else {
        return false;
      }
      v = (v << 4) | static_cast<Py_UCS4>(d);
    }
    out = v;
    return true;
  }

  // Nested leaves a container that enter() accepted when it goes out of
  // scope.
  class Nested {
   public:
    explicit Nested(Parser& p) : p_(p) {}
    ~Nested() { p_.leave(); }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    Parser& p_;
  };

  bool enter(const char* where) {
    if (Py_EnterRecursiveCall(where)) return false;
    if (depth_ >= kMaxDepth) {
      Py_LeaveRecursiveCall();
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      return false;
    }
    ++depth_;
    return true;
  }
  void leave() {
    --depth_;
    Py_LeaveRecursiveCall();
  }

  // value reads the value at |i| and moves |i| past it. When there is no
  // value there, it returns null with |stop| set to the position to report;
  // on any other error it returns null with a Python error set.
  pyb::object value(Py_ssize_t& i, Py_ssize_t& stop) {
    if (i >= n_) {
      stop = i;
      return {};
    }
    switch (s_[i]) {
      case '"':
        return string(i);
      case '{':
        return object(i);
      case '[':
        return array(i);
      case 'n':
        if (match(i, "null", 4)) {
          i += 4;
          return pyb::none();
        }
        break;
      case 't':
        if (match(i, "true", 4)) {
          i += 4;
          return borrow(Py_True);
        }
        break;
      case 'f':
        if (match(i, "false", 5)) {
          i += 5;
          return borrow(Py_False);
        }
        break;
      case 'N':
        if (match(i, "NaN", 3)) {
          i += 3;
          return own(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()));
        }
        break;
      case 'I':
        if (match(i, "Infinity", 8)) {
          i += 8;
          return own(PyFloat_FromDouble(std::numeric_limits<double>::infinity()));
        }
        break;
      case '-':
        if (match(i, "-Infinity", 9)) {
          i += 9;
          return own(PyFloat_FromDouble(-std::numeric_limits<double>::infinity()));
        }
        return number(i, stop);
      default:
        if (is_digit(i)) return number(i, stop);
        break;
    }
    stop = i;
    return {};
  }

  pyb::object number(Py_ssize_t& i, Py_ssize_t& stop) {
    const Py_ssize_t start = i;
    Py_ssize_t j = i;
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
    const Py_ssize_t int_end = j;
    bool is_float = false;
    if (j < n_ - 1 && s_[j] == '.' && is_digit(j + 1)) {
      j += 2;
      while (is_digit(j)) ++j;
      is_float = true;
    }
    if (j < n_ - 1 && (s_[j] == 'e' || s_[j] == 'E')) {
      Py_ssize_t e = j + 1;
      if (e < n_ && (s_[e] == '+' || s_[e] == '-')) ++e;
      if (is_digit(e)) {
        while (is_digit(e)) ++e;
        j = e;
        is_float = true;
      }
    }
    i = j;
    const bool negative = s_[start] == '-';
    if (!is_float && int_end - start - (negative ? 1 : 0) <= 18) {
      long long v = 0;
      for (Py_ssize_t k = start + (negative ? 1 : 0); k < int_end; ++k) v = v * 10 + (s_[k] - '0');
      return own(PyLong_FromLongLong(negative ? -v : v));
    }
    // The literal is ASCII; the runtime's own conversions keep big integers
    // exact and round floats as float() does.
    char small[64];
    std::string big;
    const std::size_t len = static_cast<std::size_t>(j - start);
    char* buf = small;
    if (len >= sizeof small) {
      big.resize(len + 1);
      buf = big.data();
    }
    for (std::size_t k = 0; k < len; ++k)
      buf[k] = static_cast<char>(s_[start + static_cast<Py_ssize_t>(k)]);
    buf[len] = '\0';
    if (!is_float) return own(PyLong_FromString(buf, nullptr, 10));
    const double d = PyOS_string_to_double(buf, nullptr, nullptr);
    if (d == -1.0 && PyErr_Occurred()) return {};
    return own(PyFloat_FromDouble(d));
  }

  void control_character(Py_ssize_t pos) {
    pyb::object r;
    {
      pyb::object ch = own(PyUnicode_FromOrdinal(static_cast<int>(s_[pos])));
      if (!ch) return;
      r = own(PyObject_Repr(ch.ptr()));
    }
    if (!r) return;
    const char* p = PyUnicode_AsUTF8(r.ptr());
    if (!p) return;
    std::string msg = "Invalid control character ";
    msg += p;
    msg += " at";
    r = {};
    fail(msg.c_str(), pos);
  }

  // string reads the string whose quotation mark is at |i|.
  pyb::object string(Py_ssize_t& i) {
    const Py_ssize_t start = i;
    Py_ssize_t j = i + 1;
    while (j < n_) {
      const Ch c = s_[j];
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++j;
    }
    if (j >= n_) {
      fail("Unterminated string starting at", start);
      return {};
    }
    if (s_[j] == '"') {
      i = j + 1;
      if (doc_) return own(PyUnicode_Substring(doc_, start + 1, j));
      if constexpr (kUtf8)
        return own(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s_ + start + 1),
                                        j - start - 1, nullptr));
      pyb::object t = own(PyUnicode_New(j - start - 1, 127));
      if (t)
        std::memcpy(PyUnicode_DATA(t.ptr()), s_ + start + 1,
                    static_cast<std::size_t>(j - start - 1));
      return t;
    }
    if (s_[j] < 0x20) {
      control_character(j);
      return {};
    }
    return escaped_string(start, j, i);
  }

  // escaped_string reads on from |j|, the first character past the
  // quotation mark at |start| that needs more than copying, and sets |i|
  // past the closing quotation mark.
  pyb::object escaped_string(Py_ssize_t start, Py_ssize_t j, Py_ssize_t& i) {
    buf_.clear();
    for (Py_ssize_t k = start + 1; k < j;) {
      Py_UCS4 c = s_[k];
      if (kUtf8 && c >= 0x80) {
        if (!utf8_char(k, c)) return {};
      } else {
        ++k;
      }
      buf_.push_back(c);
    }
    for (;;) {
      if (j >= n_) {
        fail("Unterminated string starting at", start);
        return {};
      }
      const Ch c = s_[j];
      if (c == '"') break;
      if (c < 0x20) {
        control_character(j);
        return {};
      }
      Py_UCS4 unit = c;
      if (c == '\\') {
        if (!escape(j, start, unit)) return {};
      } else if (kUtf8 && c >= 0x80) {
        if (!utf8_char(j, unit)) return {};
      } else {
        ++j;
      }
      buf_.push_back(unit);
    }
    i = j + 1;
    return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf_.data(),
                                         static_cast<Py_ssize_t>(buf_.size())));
  }

  // escape reads the escape sequence whose backslash is at |j| into |out|
  // and moves |j| past it; false, with the error set, for a bad one.
  bool escape(Py_ssize_t& j, Py_ssize_t start, Py_UCS4& out) {
    if (j + 1 >= n_) {
      fail("Unterminated string starting at", start);
      return false;
    }
    const Ch c = s_[j + 1];
    if (c == 'u') return unicode_escape(j, out);
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    const std::size_t at = c < 0x80 ? kFrom.find(static_cast<char>(c)) : std::string_view::npos;
    if (at == std::string_view::npos) {
      fail("Invalid \\X escape sequence '\\\\'", j);
      return false;
    }
    out = static_cast<unsigned char>(kTo[at]);
    j += 2;
    return true;
  }

  // unicode_escape reads the \\uXXXX escape at |j|. A high surrogate pairs
  // with a low one escaped right after it; anything else leaves it alone,
  // as it was written.
  bool unicode_escape(Py_ssize_t& j, Py_UCS4& out) {
    if (!hex4(j + 2, out)) {
      fail("Invalid \\uXXXX escape sequence", j + 1);
      return false;
    }
    j += 6;
    if (out >= 0xd800 && out <= 0xdbff && j + 1 < n_ && s_[j] == '\\' && s_[j + 1] == 'u') {
      Py_UCS4 low;
      if (!hex4(j + 2, low)) {
        fail("Invalid \\uXXXX escape sequence", j + 1);
        return false;
      }
      if (low >= 0xdc00 && low <= 0xdfff) {
        out = 0x10000 + ((out - 0xd800) << 10) + (low - 0xdc00);
        j += 6;
      }
    }
    return true;
  }

  // after_member reads what follows an item of an array or a member of an
  // object that |close| ends: the end (Closed), or a comma and the blanks
  // after it (Next); anything else is the error |expecting|.
  enum class After { Next, Closed, Failed };
  After after_member(Py_ssize_t& i, char close, const char* expecting) {
    skip_ws(i);
    if (i < n_ && s_[i] == static_cast<Ch>(close)) {
      ++i;
      return After::Closed;
    }
    if (i >= n_ || s_[i] != ',') {
      fail(expecting, i);
      return After::Failed;
    }
    ++i;
    skip_ws(i);
    return After::Next;
  }

  pyb::object array(Py_ssize_t& i) {
    if (!enter(kArrayDepth)) return {};
    Nested nested(*this);
    pyb::object list = own(PyList_New(0));
    if (!list) return {};
    ++i;
    skip_ws(i);
    if (i >= n_) {
      fail("Expecting value or ']'", i);
      return {};
    }
    if (s_[i] == ']') {
      ++i;
      return list;
    }
    for (;;) {
      Py_ssize_t stop = -1;
      pyb::object v = value(i, stop);
      if (!v) {
        if (stop >= 0) fail("Expecting value", stop);
        return {};
      }
      if (PyList_Append(list.ptr(), v.ptr()) < 0) return {};
      const After after = after_member(i, ']', "Expecting ',' delimiter or ']'");
      if (after == After::Failed) return {};
      if (after == After::Closed) break;
    }
    return list;
  }

  pyb::object object(Py_ssize_t& i) {
    if (!enter(kObjectDepth)) return {};
    Nested nested(*this);
    pyb::object dict = own(PyDict_New());
    if (!dict) return {};
    ++i;
    skip_ws(i);
    if (i >= n_) {
      fail("Expecting property name enclosed in double quotes or '}'", i);
      return {};
    }
    if (s_[i] == '}') {
      ++i;
      return dict;
    }
    for (;;) {
      if (i >= n_ || s_[i] != '"') {
        fail("Expecting property name enclosed in double quotes", i);
        return {};
      }
      pyb::object k = string(i);
      if (!k) return {};
      // Repeated member names share one string object.
      if (!memo_) {
        memo_ = own(PyDict_New());
        if (!memo_) return {};
      }
      PyObject* shared = PyDict_SetDefault(memo_.ptr(), k.ptr(), k.ptr());  // borrowed
      if (!shared) return {};
      k = borrow(shared);
      skip_ws(i);
      if (i >= n_ || s_[i] != ':') {
        fail("Expecting ':' delimiter", i);
        return {};
      }
      ++i;
      skip_ws(i);
      Py_ssize_t stop = -1;
      pyb::object v = value(i, stop);
      if (!v) {
        if (stop >= 0) fail("Expecting value", stop);
        return {};
      }
      if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) < 0) return {};
      const After after = after_member(i, '}', "Expecting ',' delimiter or '}'");
      if (after == After::Failed) return {};
      if (after == After::Closed) break;
    }
    return dict;
  }

  PyObject* doc_;
  pyb::object made_doc_;
  const Ch* s_;
  Py_ssize_t n_;
  pyb::object memo_;
  std::vector<Py_UCS4> buf_;
  std::size_t depth_ = 0;
};

}  // namespace

pybind11::handle decode_error() {
  // Made once and kept: the support library is one per process, so every
  // module raises the very same class.
  static PyObject* cls = velna::py::keep_new(PyErr_NewExceptionWithDoc(
      "velna.JSONDecodeError",
      "Subclass of ValueError with the following additional properties:\n\n"
      "msg: The unformatted error message\n"
      "doc: The JSON document being parsed\n"
      "pos: The start index of doc where parsing failed\n"
      "end: The end index of doc where parsing failed (may be None)\n"
      "lineno: The line corresponding to pos\n"
      "colno: The column corresponding to pos\n"
      "endlineno: The line corresponding to end (may be None)\n"
      "endcolno: The column corresponding to end (may be None)",
      PyExc_ValueError, nullptr));
  return cls;
}

pybind11::str dumps(pybind11::handle value) {
  Encoder enc;
  if (!enc.value(value.ptr())) throw pyb::error_already_set();
  pyb::str s = enc.result();
  if (!s) throw pyb::error_already_set();
  return s;
}

pybind11::object loads(pybind11::handle text) {
  PyObject* o = text.ptr();
  pyb::object owned;
  if (PyUnicode_Check(o)) {
    owned = borrow(o);
  } else if (PyBytes_Check(o)) {
    owned = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), nullptr));
  } else {
    raise_type_error("Input string must be text, not bytes");
  }
  PyObject* doc = owned.ptr();
  if (PyUnicode_READY(doc) < 0) throw pyb::error_already_set();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(doc);
  pyb::object result;
  switch (PyUnicode_KIND(doc)) {
    case PyUnicode_1BYTE_KIND:
      result = Parser<Py_UCS1>(doc, PyUnicode_1BYTE_DATA(doc), n).parse();
      break;
    case PyUnicode_2BYTE_KIND:
      result = Parser<Py_UCS2>(doc, PyUnicode_2BYTE_DATA(doc), n).parse();
      break;
    default:
      result = Parser<Py_UCS4>(doc, PyUnicode_4BYTE_DATA(doc), n).parse();
      break;
  }
  if (!result) throw pyb::error_already_set();
  return result;
}

// Reader holds a Parser of the document's kind behind one interface.
struct Reader::Impl {
  virtual ~Impl() = default;
  virtual long at() = 0;
  virtual pyb::object value() = 0;
  virtual bool plain_ascii(std::string_view& out) = 0;
  virtual bool literal(const char* lit, Py_ssize_t len) = 0;
  Py_ssize_t i = 0;
  std::string copy;
};

namespace {

template <typename Ch>
struct ReaderOf final : Reader::Impl {
  ReaderOf(PyObject* doc, const Ch* s, Py_ssize_t n) : parser(doc, s, n) {
    if (n > 0 && static_cast<Py_UCS4>(s[0]) == 0xfeff) i = 1;
  }
  long at() override { return parser.at(i); }
  pyb::object value() override { return parser.step_value(i); }
  bool plain_ascii(std::string_view& out) override { return parser.plain_ascii(i, out, copy); }
  bool literal(const char* lit, Py_ssize_t len) override { return parser.literal(i, lit, len); }
  Parser<Ch> parser;
};

}  // namespace

Reader::Reader(PyObject* doc) {
  if (PyUnicode_READY(doc) < 0) throw pyb::error_already_set();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(doc);
  switch (PyUnicode_KIND(doc)) {
    case PyUnicode_1BYTE_KIND:
      impl_ = std::make_unique<ReaderOf<Py_UCS1>>(doc, PyUnicode_1BYTE_DATA(doc), n);
      break;
    case PyUnicode_2BYTE_KIND:
      impl_ = std::make_unique<ReaderOf<Py_UCS2>>(doc, PyUnicode_2BYTE_DATA(doc), n);
      break;
    default:
      impl_ = std::make_unique<ReaderOf<Py_UCS4>>(doc, PyUnicode_4BYTE_DATA(doc), n);
      break;
  }
}

Reader::Reader(const char* utf8, std::size_t n) {
  std::uint64_t high = 0;
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    std::uint64_t w;
    std::memcpy(&w, utf8 + k, 8);
    high |= w;
  }
  for (; k < n; ++k) high |= static_cast<unsigned char>(utf8[k]);
  if (!(high & 0x8080808080808080u)) {
    impl_ = std::make_unique<ReaderOf<Py_UCS1>>(nullptr, reinterpret_cast<const Py_UCS1*>(utf8),
                                                static_cast<Py_ssize_t>(n));
    return;
  }
  impl_ = std::make_unique<ReaderOf<char8_t>>(nullptr, reinterpret_cast<const char8_t*>(utf8),
                                              static_cast<Py_ssize_t>(n));
  if (n >= 3 && std::memcmp(utf8, "\xef\xbb\xbf", 3) == 0) impl_->i = 3;  // the BOM
}

Reader::~Reader() = default;

bool Reader::take(char c) {
  if (impl_->at() != c) return false;
  ++impl_->i;
  return true;
}
bool Reader::at(char c) { return impl_->at() == c; }
bool Reader::end() { return impl_->at() < 0; }
PyObject* Reader::value() { return impl_->value().release().ptr(); }
bool Reader::ascii_string(std::string_view& text) { return impl_->plain_ascii(text); }
bool Reader::null() { return impl_->literal("null", 4); }

namespace {
struct Armed {
  BodyReader* reader = nullptr;
  PyObject* token = nullptr;  // identity only
  BodyReader* claimed = nullptr;
};
thread_local Armed armed;
}  // namespace

void arm_reader(BodyReader* reader, PyObject* token) { armed = {reader, token, nullptr}; }
void claim_reader(PyObject* token) {
  armed.claimed = armed.reader && token && token == armed.token ? armed.reader : nullptr;
}
void release_claim() { armed.claimed = nullptr; }
BodyReader* claimed_reader() { return armed.claimed; }

}  // namespace velna::py::json

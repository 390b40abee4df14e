#include "json_text.h"
#include "py_compat.h"
#include "velna/json/text.h"
#include "velna_py.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace velna::py::json {
namespace {

namespace pyb = pybind11;

namespace vj = ::velna::json;
using vj::kMaxDepth;  // even when the interpreter's limit is higher

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

// ---------------------------------------------------------------------------
// Writing

class Encoder {
 public:
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
  velna::json::Writer w_;
  bool ascii_ = true;
  // Containers being written, outermost first: a container met again while
  // it is still open is a cycle. A set takes over from the linear search once
  // the path is long.
  std::vector<PyObject*> path_;
  std::unordered_set<PyObject*> path_set_;
  bool use_set_ = false;
};

// Every string goes through text: its appends are inlined here whatever the
// compiler decides for the rest of the writer.
[[gnu::flatten]] bool Encoder::text(PyObject* s) {
  if (PyUnicode_READY(s) < 0) return false;
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      w_.string(static_cast<const Py_UCS1*>(data), n);
      break;
    case PyUnicode_2BYTE_KIND:
      w_.string(static_cast<const Py_UCS2*>(data), n);
      break;
    default:
      w_.string(static_cast<const Py_UCS4*>(data), n);
      break;
  }
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
    w_.integer(v);
    return true;
  }
  // The runtime's own conversion, with its limit on the digit count.
  pyb::object r = own(PyLong_Type.tp_repr(o));
  if (!r) return false;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(r.ptr(), &n);
  if (!p) return false;
  w_.raw(std::string_view(p, static_cast<std::size_t>(n)));
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
  w_.number(v);
  return true;
}

// raw_text appends the text of |s| as it is (the str of a Decimal). It is
// ASCII for every Decimal; a subclass may say otherwise, and the result is
// then rebuilt from UTF-8 at the end.
bool Encoder::raw_text(PyObject* s) {
  if (PyUnicode_READY(s) < 0) return false;
  if (PyUnicode_IS_ASCII(s)) {
    w_.raw(std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))));
    return true;
  }
  pyb::object b = own(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (!b) return false;
  w_.raw(std::string_view(PyBytes_AS_STRING(b.ptr()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))));
  ascii_ = false;
  return true;
}

bool Encoder::key(PyObject* k) {
  if (PyUnicode_Check(k)) return text(k);
  if (PyBytes_Check(k)) return utf8_bytes(k);
  // Names made of other scalars are their text, quoted.
  if (PyFloat_Check(k) || k == Py_True || k == Py_False || k == Py_None || PyLong_Check(k)) {
    w_.quote();
    if (!value(k)) return false;
    w_.quote();
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
    w_.empty_array();
    return true;
  }
  if (!PyList_CheckExact(o)) return iterable(o);
  if (!enter(o)) return false;
  Open open(*this, o);
  w_.begin_array();
  // The size is read again at every step, and the item is held while it is
  // written: a value's conversion may run code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
    if (i) w_.next();
    pyb::object item = borrow(PyList_GET_ITEM(o, i));
    if (!value(item.ptr())) return false;
  }
  w_.end_array();
  return true;
}

bool Encoder::tuple(PyObject* o) {
  const Py_ssize_t n = PyTuple_GET_SIZE(o);
  if (n == 0) {
    w_.empty_array();
    return true;
  }
  if (!PyTuple_CheckExact(o)) return iterable(o);
  if (!enter(o)) return false;
  Open open(*this, o);
  w_.begin_array();
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i) w_.next();
    if (!value(PyTuple_GET_ITEM(o, i))) return false;
  }
  w_.end_array();
  return true;
}

// iterable writes a list or tuple subclass through its own iteration.
bool Encoder::iterable(PyObject* o) {
  if (!enter(o)) return false;
  Open open(*this, o);
  {
    pyb::object it = own(PyObject_GetIter(o));
    if (!it) return false;
    w_.begin_array();
    bool first = true;
    while (pyb::object item = own(PyIter_Next(it.ptr()))) {
      if (!first) w_.next();
      first = false;
      if (!value(item.ptr())) return false;
    }
  }
  if (PyErr_Occurred()) return false;
  w_.end_array();
  return true;
}

bool Encoder::object(PyObject* d) {
  if (PyDict_GET_SIZE(d) == 0) {
    w_.empty_object();
    return true;
  }
  if (!PyDict_CheckExact(d)) return object_items(d);
  if (!enter(d)) return false;
  Open open(*this, d);
  w_.begin_object();
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  bool first = true;
  while (PyDict_Next(d, &pos, &k, &v)) {
    if (!first) w_.next();
    first = false;
    // Held while written (the key let go first): converting a value may run
    // code that changes d.
    pyb::object held_value = borrow(v);
    pyb::object held_key = borrow(k);
    if (!member(k, v)) return false;
  }
  w_.end_object();
  return true;
}

// object_items writes a dict subclass through its own items().
bool Encoder::object_items(PyObject* d) {
  if (!enter(d)) return false;
  Open open(*this, d);
  w_.begin_object();
  pyb::object items = own(PyMapping_Items(d));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
      return false;
    }
    if (i) w_.next();
    if (!member(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) return false;
  }
  w_.end_object();
  return true;
}

bool Encoder::member(PyObject* k, PyObject* v) {
  if (!key(k)) return false;
  w_.colon();
  return value(v);
}

bool Encoder::value(PyObject* o) {
  if (PyUnicode_Check(o)) return text(o);
  if (PyBytes_Check(o)) return utf8_bytes(o);
  if (o == Py_None) {
    w_.null();
    return true;
  }
  if (o == Py_True || o == Py_False) {
    w_.boolean(o == Py_True);
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
  const std::string& out = w_.text();
  if (!ascii_) {
    return pyb::reinterpret_steal<pyb::str>(
        PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass"));
  }
  auto s =
      pyb::reinterpret_steal<pyb::str>(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
  if (s) std::memcpy(PyUnicode_DATA(s.ptr()), out.data(), out.size());
  return s;
}

// ---------------------------------------------------------------------------
// Reading

template <typename Ch>
using Builder = detail::Builder<Ch>;
template <typename Ch>
using Parser = vj::Parser<Ch, Builder<Ch>>;

// read parses the characters |s| of the str |doc| as one document.
template <typename Ch>
pyb::object read(PyObject* doc, const Ch* s, Py_ssize_t n) {
  Builder<Ch> b(doc, s, static_cast<std::size_t>(n));
  return Parser<Ch>(s, static_cast<std::size_t>(n), b).parse();
}

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
      result = read(doc, PyUnicode_1BYTE_DATA(doc), n);
      break;
    case PyUnicode_2BYTE_KIND:
      result = read(doc, PyUnicode_2BYTE_DATA(doc), n);
      break;
    default:
      result = read(doc, PyUnicode_4BYTE_DATA(doc), n);
      break;
  }
  if (!result) throw pyb::error_already_set();
  return result;
}

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

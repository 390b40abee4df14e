#include "velna_py.h"

#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "fast_path.h"
#include "py_compat.h"
#include "velna/error.h"
#include "velna/store/sqlite.h"

namespace velna::py {
namespace {

struct Names {
  VELNA_PY_NAME_FIELD(getLogger)
  VELNA_PY_NAME_FIELD(velna)
  VELNA_PY_NAME_FIELD(level)
  VELNA_PY_NAME_FIELD(__init__)
  VELNA_PY_NAME_FIELD(__new__)
};
const Names& N() { return table<Names>(); }

// Objects kept for the life of the process; never released, so that nothing
// runs at interpreter shutdown.
PyObject* logging_module() {
  static FirstUse mod{"logging"};
  return mod;
}

class PythonSink final : public log::Sink {
 public:
  void write(std::string_view logger, log::Level level, std::string_view text) override {
    if (compat::finalizing()) return;
    pyb::gil_scoped_acquire gil;
    // A failing log call must not replace the error being reported, if any.
    compat::PendingError pending;
    try {
      log_line(logger, level, text);
    } catch (pyb::error_already_set&) {
    }
  }
};

// Exception classes made by define_error, by qualified name; and our own
// functions by key. One of each per process.
std::map<std::string, PyObject*, std::less<>>& defined_errors() {
  static auto* m = new std::map<std::string, PyObject*, std::less<>>;
  return *m;
}
std::map<std::string, PyObject*, std::less<>>& natives() {
  static auto* m = new std::map<std::string, PyObject*, std::less<>>;
  return *m;
}

// error_class is the class |name| of |module|: the one define_error made,
// else the module's attribute.
PyObject* error_class(const char* module, const char* name) {
  auto& defined = defined_errors();
  auto it = defined.find(std::string(module) + "." + name);
  if (it != defined.end()) return it->second;
  return error_type(module, name).ptr();  // the module holds it
}

void set_error(const char* module, const char* name, const char* message) {
  PyErr_SetString(error_class(module, name), message);
}

// set_os_error raises OSError(code, strerror, path), which Python makes the
// subclass the code names (FileNotFoundError for ENOENT, ...); without a code
// a plain OSError with the message.
void set_os_error(const OsError& e) {
  if (e.code() == 0) {
    PyErr_SetString(PyExc_OSError, e.what());
    return;
  }
  pyb::object path = own(
      PyUnicode_DecodeFSDefaultAndSize(e.path().data(), static_cast<Py_ssize_t>(e.path().size())));
  if (!path) return;  // the decoding error stands instead
  pyb::object error = own(
      PyObject_CallFunction(PyExc_OSError, "isO", e.code(), std::strerror(e.code()), path.ptr()));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

}  // namespace

void translate_core_error(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const InvalidArgument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const TypeMismatch& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const AssertionFailure& e) {
    PyErr_SetString(PyExc_AssertionError, e.what());
  } catch (const InvalidSignature& e) {
    set_error("velna._cryptolib", "InvalidSignature", e.what());
  } catch (const DecryptionError& e) {
    set_error("velna.crypto.aes", "DecryptionError", e.what());
  } catch (const ParseError& e) {
    set_error("velna._cryptolib", "ParseError", e.what());
  } catch (const BuildError& e) {
    set_error("velna._cryptolib", "BuildError", e.what());
  } catch (const AlreadyFinalized& e) {
    set_error("velna._cryptolib", "AlreadyFinalized", e.what());
  } catch (const UnsupportedAlgorithm& e) {
    set_error("velna._cryptolib", "UnsupportedAlgorithm", e.what());
  } catch (const OsError& e) {
    set_os_error(e);
  } catch (const store::IntegrityError& e) {
    set_error("velna.providers.zov.database", "IntegrityError", e.what());
  } catch (const store::DatabaseError& e) {
    set_error("velna.providers.zov.database", "OperationalError", e.what());
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

void install_log_sink() {
  static bool sink_installed = false;
  if (!sink_installed) {
    log::set_sink(std::make_shared<PythonSink>());
    sink_installed = true;
  }
}

void refuse_arg(const char* name, const char* expected) {
  raise_type_error(std::string(name) + " must be " + expected);
}

ByteView stable_bytes(pyb::handle data, pyb::object& holder) {
  if (is_bytes(data)) {
    holder = borrow(data.ptr());
    return view_of(data);
  }
  if (PyMemoryView_Check(data.ptr())) {
    // Our own view first: it raises for a released one, and the buffer it
    // describes stays whatever becomes of the caller's.
    pyb::object own_view = steal(PyMemoryView_FromObject(data.ptr()));
    const Py_buffer* b = PyMemoryView_GET_BUFFER(own_view.ptr());
    if (b->readonly && b->obj && PyBytes_CheckExact(b->obj) && PyBuffer_IsContiguous(b, 'C') &&
        b->itemsize == 1) {
      holder = std::move(own_view);
      return {static_cast<const std::uint8_t*>(b->buf), static_cast<std::size_t>(b->len)};
    }
  }
  holder = steal(PyBytes_FromObject(data.ptr()));
  return view_of(holder);
}

pyb::object get_logger(std::string_view name) {
  pyb::object get = velna::py::get(logging_module(), N().getLogger);
  return call1(get, pyb::str(name.data(), name.size()));
}

bool tracing() {
  // Runs on every traced-or-not call: no new objects but the ones Python
  // hands back. logging.getLogger is still looked up at each call.
  static PyObject* const debug = keep_new(PyLong_FromLong(10));
  const Names& n = N();
  pyb::object get = velna::py::get(logging_module(), n.getLogger);
  pyb::object logger = call1(get, n.velna);
  pyb::object level = velna::py::get(logger, n.level);
  if (PyLong_CheckExact(level.ptr())) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(level.ptr(), &overflow);
    return !overflow && value == 10;
  }
  int eq = PyObject_RichCompareBool(level.ptr(), debug, Py_EQ);
  if (eq < 0) throw pyb::error_already_set();
  return eq == 1;
}

void log_line(std::string_view logger, log::Level level, std::string_view text) {
  pyb::object l = get_logger(logger);
  l.attr("log")(static_cast<int>(level), pyb::str(text.data(), text.size()));
}

namespace {

// A name bound lazily holds, until its first read, a capsule of this name
// with what makes its value; the modules that have such names are of the
// module class below, whose attribute lookup replaces the capsule by the
// value.
constexpr const char* kLazyName = "velna.lazy_name";

struct LazyName {
  const char* module;
  const char* attr;
  const char* arg;
};

bool is_lazy(PyObject* v) {
  return Py_TYPE(v) == &PyCapsule_Type && PyCapsule_IsValid(v, kLazyName);
}

// attribute_path is module |module|, or its attribute |attr| when given, a
// dotted path walked one name after the other; null with an error set when
// any step fails.
PyObject* attribute_path(const char* module, const char* attr) {
  PyObject* value = PyImport_ImportModule(module);
  if (!value || !attr) return value;
  for (std::string_view rest = attr; value;) {
    const std::size_t dot = rest.find('.');
    pyb::object owner = own(value);
    pyb::object name = own(PyUnicode_FromStringAndSize(
        rest.data(), static_cast<Py_ssize_t>(dot == std::string_view::npos ? rest.size() : dot)));
    value = name ? PyObject_GetAttr(owner.ptr(), name.ptr()) : nullptr;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return value;
}

PyObject* make_lazy(const LazyName& n) {
  PyObject* value = attribute_path(n.module, n.attr);
  if (!value || !n.arg) return value;
  pyb::object fn = own(value);
  return PyObject_CallFunction(fn.ptr(), "s", n.arg);
}

// lazy_getattro is the module's own lookup, which makes a lazily bound
// value on its first read and stores it, unless something else was stored
// meanwhile (the import runs Python code).
PyObject* lazy_getattro(PyObject* self, PyObject* name) {
  // The class's own __module__ is no attribute of its modules, as with the
  // module type itself (pybind11 names a function's module by it).
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0 &&
      !PyDict_GetItemWithError(PyModule_GetDict(self), name)) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_AttributeError, "module has no attribute '__module__'");
    return nullptr;
  }
  PyObject* found = PyModule_Type.tp_getattro(self, name);
  if (!found || !is_lazy(found)) return found;
  pyb::object capsule = own(found);
  const auto* n = static_cast<const LazyName*>(PyCapsule_GetPointer(found, kLazyName));
  PyObject* value = make_lazy(*n);
  if (!value) return nullptr;
  PyObject* dict = PyModule_GetDict(self);  // borrowed
  PyObject* now = PyDict_GetItemWithError(dict, name);
  if (now == found) {
    if (PyDict_SetItem(dict, name, value) != 0) {
      Py_DECREF(value);
      return nullptr;
    }
  } else if (now) {
    Py_DECREF(value);
    return lazy_getattro(self, name);
  } else if (PyErr_Occurred()) {
    Py_DECREF(value);
    return nullptr;
  }
  return value;
}

// lazy_module_class is the module class whose lookup makes lazy values: a
// subclass of the module type that adds nothing but that, so that a module
// may take it as its __class__.
PyObject* lazy_module_class() {
  static PyObject* cls = [] {
    PyType_Slot slots[] = {{Py_tp_getattro, reinterpret_cast<void*>(&lazy_getattro)}, {0, nullptr}};
    PyType_Spec spec = {"builtins.module", 0, 0, Py_TPFLAGS_DEFAULT, slots};
    pyb::object bases = pyb::make_tuple(borrow(reinterpret_cast<PyObject*>(&PyModule_Type)));
    return keep_new(PyType_FromSpecWithBases(&spec, bases.ptr()));
  }();
  return cls;
}

}  // namespace

void bind_lazily(pyb::module_& m, const char* name, const char* module, const char* attr,
                 const char* arg) {
  if (Py_TYPE(m.ptr()) != reinterpret_cast<PyTypeObject*>(lazy_module_class()) &&
      PyObject_SetAttrString(m.ptr(), "__class__", lazy_module_class()) != 0)
    throw pyb::error_already_set();
  auto* n = new LazyName{module, attr, arg};  // lives as long as the module
  pyb::object capsule = steal(PyCapsule_New(n, kLazyName, nullptr));
  if (PyDict_SetItemString(PyModule_GetDict(m.ptr()), name, capsule.ptr()) != 0)
    throw pyb::error_already_set();
}

PyObject* FirstUse::get() {
  if (value_) return value_;
  PyObject* value = attribute_path(module_, attr_);
  if (!value) throw pyb::error_already_set();
  if (value_)  // another thread was first while the import ran
    Py_DECREF(value);
  else
    value_ = value;  // kept for the process
  return value_;
}

pyb::object lazy_binding(pyb::module_& m, const char* name) {
  PyObject* v = PyDict_GetItemString(PyModule_GetDict(m.ptr()), name);
  if (!v) return m.attr(name);  // raises as the module does
  return borrow(v);
}

bool is_lazy_binding(PyObject* v) { return is_lazy(v); }

bool resolve_lazy(PyObject** slot) {
  if (!is_lazy(*slot)) return true;
  PyObject* value =
      make_lazy(*static_cast<const LazyName*>(PyCapsule_GetPointer(*slot, kLazyName)));
  if (!value) return false;
  PyObject* stand_in = *slot;
  *slot = value;
  Py_DECREF(stand_in);
  return true;
}

pyb::object define_error(pyb::module_& module, const char* name, const char* doc,
                         pyb::handle base) {
  std::string qualified = pyb::str(module.attr("__name__")).cast<std::string>() + "." + name;
  pyb::object cls = steal(PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr));
  module.add_object(name, cls);
  defined_errors()[qualified] = keep(cls);
  return cls;
}

pyb::object error_type(const char* module, const char* name) {
  return pyb::module_::import(module).attr(name);
}

std::uint64_t positive_limit(pyb::handle value, const char* name) {
  pyb::object n = steal(PyNumber_Index(value.ptr()));
  const int positive = PyObject_RichCompareBool(n.ptr(), pyb::int_(0).ptr(), Py_GT);
  if (positive < 0) throw pyb::error_already_set();
  if (!positive) raise_value_error(std::string(name) + " must be a positive integer");
  const unsigned long long v = PyLong_AsUnsignedLongLong(n.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::numeric_limits<std::uint64_t>::max();
  }
  return v;
}

void raise_error(pyb::handle type, std::string_view message) {
  PyErr_SetObject(type.ptr(), pyb::str(message.data(), message.size()).ptr());
  throw pyb::error_already_set();
}

void raise_error(pyb::handle type, std::string_view message,
                 std::initializer_list<Attribute> attributes) {
  pyb::object error = call1(type, pyb::str(message.data(), message.size()));
  for (const Attribute& a : attributes) error.attr(a.name) = a.value;
  PyErr_SetObject(type.ptr(), error.ptr());
  throw pyb::error_already_set();
}

void raise_error(pyb::handle type) {
  PyErr_SetNone(type.ptr());
  throw pyb::error_already_set();
}

void raise_value_error(std::string_view message) { raise_error(PyExc_ValueError, message); }
void raise_type_error(std::string_view message) { raise_error(PyExc_TypeError, message); }

void translate_current() {
  try {
    throw;
  } catch (pyb::error_already_set& e) {
    e.restore();
  } catch (const pyb::builtin_exception& e) {
    e.set_error();
  } catch (const Error&) {
    translate_core_error(std::current_exception());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

void register_native(const char* key, pyb::handle fn) { natives()[key] = keep(borrow(fn.ptr())); }

bool is_native(const char* key, pyb::handle fn) {
  auto& registry = natives();
  auto it = registry.find(std::string_view(key));
  return it != registry.end() && it->second == fn.ptr();
}

// ---- fast_path.h ---------------------------------------------------------

PyObject* intern(const char* s) { return keep_new(PyUnicode_InternFromString(s)); }

pyb::object attr_or_none(pyb::handle o, PyObject* name) {
  PyObject* v = PyObject_GetAttr(o.ptr(), name);
  if (v) return own(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pyb::error_already_set();
  PyErr_Clear();
  return pyb::none();
}

pyb::object dict_get(pyb::handle d, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(d.ptr(), name);
  if (!v && PyErr_Occurred()) throw pyb::error_already_set();
  return v ? borrow(v) : pyb::object();
}

void dict_set(pyb::handle d, PyObject* name, pyb::handle value) {
  if (PyDict_SetItem(d.ptr(), name, value.ptr()) != 0) throw pyb::error_already_set();
}

void dict_discard(pyb::handle d, PyObject* name) {
  if (PyDict_DelItem(d.ptr(), name) != 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw pyb::error_already_set();
    PyErr_Clear();
  }
}

pyb::object lookup_special(pyb::handle obj, PyObject* name) {
  PyObject* found = resolved(obj, name);
  if (!found) return pyb::object();
  pyb::object attr = borrow(found);  // held while a descriptor runs
  if (descrgetfunc get = Py_TYPE(found)->tp_descr_get)
    return steal(get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
  return attr;
}

bool Member::method_of(pyb::handle o) const {
  if (!installed || resolved(o, name) != installed) return false;
  int shadowed = PyDict_Contains(instance_dict(o).ptr(), name);
  if (shadowed < 0) throw pyb::error_already_set();
  return shadowed == 0;
}

bool constructs_directly(pyb::handle cls, PyObject* init) {
  static PyObject* object_new = compat::type_lookup(&PyBaseObject_Type, N().__new__);
  if (!PyType_Check(cls.ptr()) || Py_TYPE(cls.ptr()) != &PyType_Type) return false;
  return class_resolved(cls, N().__init__) == init &&
         class_resolved(cls, N().__new__) == object_new;
}

pyb::object allocate(pyb::handle cls) {
  static PyObject* empty = keep_new(PyTuple_New(0));
  auto* t = reinterpret_cast<PyTypeObject*>(cls.ptr());
  return steal(t->tp_new(t, empty, nullptr));
}

}  // namespace velna::py

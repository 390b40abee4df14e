#include "schema.h"

// clang-format off
#include <datetime.h>
// clang-format on

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fast_path.h"
#include "plain_class.h"
#include "py_compat.h"
#include "uuids.h"
#include "velna/time.h"
#include "velna/utils.h"
#include "velna_py.h"

namespace velna::py::schema {
namespace {

namespace pyb = pybind11;
namespace core = velna::schema;
using namespace pyb::literals;

constexpr const char* kDefinitionCapsule = "velna.schema.Definition";
constexpr const char* kDefinitionAttr = "_velna_schema_definition";
constexpr const char* kSchemaKey = core::kSchemaKey.data();

// Objects shared by every module that links this library: one Schema base,
// one error class and one result type per process.
struct Shared {
  PyObject* base = nullptr;
  PyObject* error = nullptr;
  PyObject* result = nullptr;
  PyObject* missing = nullptr;  // the marker of an absent key
};

// Objects of the standard library, looked up once per module.
struct Stdlib {
  PyObject* mapping = nullptr;  // collections.abc.Mapping, of the module loaded at start
  PyObject* uuid = nullptr;     // uuid.UUID
  PyObject* truthy = nullptr;   // the values other than text that read as true
  PyObject* falsy = nullptr;    // the values other than text that read as false
};

Shared& shared();
PyObject* result_type();

const Stdlib& stdlib() {
  return first_made<Stdlib>([] {
    auto out = std::make_unique<Stdlib>();
    out->mapping = keep(import_module("_collections_abc").attr("Mapping"));
    out->uuid = keep(import_module("uuid").attr("UUID"));
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw pyb::error_already_set();
    pyb::set t, f;
    t.add(pyb::int_(1));
    t.add(pyb::bool_(true));
    f.add(pyb::int_(0));
    f.add(pyb::float_(0.0));
    f.add(pyb::bool_(false));
    out->truthy = keep(t);
    out->falsy = keep(f);
    return out.release();
  });
}

// A field's conversion gives a value, fails with a message (one of the
// core's literals), or leaves the field out.
struct Outcome {
  pyb::object value;
  std::string_view error = {};
  bool skip = false;
};
Outcome fail(std::string_view message) { return {pyb::object(), message}; }
Outcome fail(Kind kind) { return fail(core::invalid_message(kind)); }

// absorbs: the pending Python error is one of |types|; it is then cleared.
// Any other error is thrown on.
bool absorbs(std::initializer_list<PyObject*> types) {
  for (PyObject* t : types)
    if (PyErr_ExceptionMatches(t)) {
      PyErr_Clear();
      return true;
    }
  throw pyb::error_already_set();
}

Outcome to_int(pyb::handle v) {
  PyObject* n = PyNumber_Long(v.ptr());
  if (n) return {steal(n)};
  // An infinite float is refused like any other value int() does not take.
  absorbs({PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError});
  return fail(Kind::Int);
}

Outcome to_str(pyb::handle v) {
  if (PyUnicode_Check(v.ptr())) {
    if (PyUnicode_CheckExact(v.ptr())) return {borrow(v.ptr())};
    return {steal(PyObject_Str(v.ptr()))};
  }
  if (!PyBytes_Check(v.ptr())) return fail(Kind::Str);
  PyObject* text = PyUnicode_FromEncodedObject(v.ptr(), "utf-8", "strict");
  if (!text) {
    absorbs({PyExc_UnicodeDecodeError});
    return fail(core::kInvalidUtf8);
  }
  return {steal(text)};
}

// in_set is |v| in |set|; an unhashable value is in no set.
bool in_set(PyObject* set, pyb::handle v) {
  int r = PySet_Contains(set, v.ptr());
  if (r >= 0) return r == 1;
  absorbs({PyExc_TypeError});
  return false;
}

Outcome to_bool(pyb::handle v) {
  if (PyUnicode_Check(v.ptr())) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(v.ptr(), &n);
    if (!text) absorbs({PyExc_UnicodeEncodeError});  // lone surrogates spell nothing
    if (auto b = text ? core::bool_from_text({text, static_cast<std::size_t>(n)}) : std::nullopt)
      return {pyb::bool_(*b)};
    return fail(Kind::Bool);
  }
  const Stdlib& s = stdlib();
  if (in_set(s.truthy, v)) return {pyb::bool_(true)};
  if (in_set(s.falsy, v)) return {pyb::bool_(false)};
  return fail(Kind::Bool);
}

Outcome to_datetime(pyb::handle v) {
  // Only text matches; anything else, and empty text, is refused.
  if (!truthy(v) || !PyUnicode_Check(v.ptr())) return fail(Kind::DateTime);
  PyObject* dt = datetime_from_text(v.ptr());
  if (dt) return {steal(dt)};
  if (PyErr_Occurred()) throw pyb::error_already_set();
  return fail(Kind::DateTime);
}

Outcome to_uuid(pyb::handle v) {
  const Stdlib& s = stdlib();
  if (is_instance(v, s.uuid)) return {borrow(v.ptr())};
  if (PyUnicode_CheckExact(v.ptr()) && PyUnicode_READY(v.ptr()) == 0 &&
      PyUnicode_IS_ASCII(v.ptr())) {
    const auto id =
        velna::utils::parse_uuid({static_cast<const char*>(PyUnicode_DATA(v.ptr())),
                                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(v.ptr()))});
    if (!id) return fail(Kind::Uuid);
    return {steal(uuid_of(*id))};
  }
  // Other text (digits of other scripts among it, or a class of its own) and
  // other objects as the class itself takes them.
  PyObject* id = PyObject_CallFunctionObjArgs(s.uuid, v.ptr(), nullptr);
  if (id) return {steal(id)};
  absorbs({PyExc_ValueError, PyExc_AttributeError, PyExc_TypeError});
  return fail(Kind::Uuid);
}

Outcome to_dict(pyb::handle v) {
  if (PyDict_Check(v.ptr()) || is_instance(v, stdlib().mapping)) return {borrow(v.ptr())};
  return fail(Kind::Dict);
}

// convert is what field |f| loads of |raw| (the marker of an absent key
// among them); |partial|: the load may leave the field out.
Outcome convert(const Field& f, pyb::handle raw, bool partial = false) {
  const core::Presence presence = raw.ptr() == shared().missing ? core::Presence::Absent
                                  : raw.is_none()               ? core::Presence::Null
                                                                : core::Presence::Value;
  const core::Step step = core::step_for(f, presence, partial);
  switch (step.action) {
    case core::Step::Skip:
      return {borrow(raw.ptr()), {}, true};
    case core::Step::Null:
      return {pyb::none()};
    case core::Step::Fail:
      return fail(step.message);
    case core::Step::Convert:
      break;
  }
  switch (f.kind) {
    case Kind::Raw:
      return {borrow(raw.ptr())};
    case Kind::Int:
      return to_int(raw);
    case Kind::Str:
      return to_str(raw);
    case Kind::Bool:
      return to_bool(raw);
    case Kind::DateTime:
      return to_datetime(raw);
    case Kind::Uuid:
      return to_uuid(raw);
    case Kind::Dict:
      return to_dict(raw);
  }
  return {borrow(raw.ptr())};
}

// Collector gathers the errors of one load; errors() gives them the shape
// of the core's report as Python objects.
struct Collector {
  core::Report report;
  pyb::list field_names;
  pyb::list fields;

  pyb::dict errors(pyb::handle declared) {
    pyb::dict out;
    for (const core::Report::Group& g : report.groups()) {
      pyb::dict at = out;
      if (g.index) out[pyb::int_(*g.index)] = at = pyb::dict();
      for (const core::Report::Messages& k : g.keys) {
        pyb::list messages;
        for (std::string_view m : k.messages) messages.append(pyb::str(m.data(), m.size()));
        at[pyb::str(k.key)] = messages;
      }
    }
    for (const core::Report::Error& e : report.errors()) {
      field_names.append(pyb::str(e.key));
      if (!e.field) continue;
      PyObject* d = PyDict_GetItemString(declared.ptr(), e.field->name.c_str());
      fields.append(d ? borrow(d) : pyb::none());
    }
    return out;
  }
};

const Definition& definition_of(pyb::handle self) {
  pyb::object cap = self.attr(kDefinitionAttr);
  auto* definition = static_cast<Definition*>(PyCapsule_GetPointer(cap.ptr(), kDefinitionCapsule));
  if (!definition) throw pyb::error_already_set();
  return *definition;
}

// lookup is data.get(key, missing): a dict is read directly, another
// mapping through its own get.
pyb::object lookup(pyb::handle data, const std::string& key) {
  pyb::str k(key);
  if (PyDict_CheckExact(data.ptr())) {
    PyObject* v = PyDict_GetItemWithError(data.ptr(), k.ptr());
    if (v) return borrow(v);
    if (PyErr_Occurred()) throw pyb::error_already_set();
    return borrow(shared().missing);
  }
  return data.attr("get")(k, pyb::handle(shared().missing));
}

bool is_collection(pyb::handle o) {
  if (PyUnicode_Check(o.ptr()) || PyBytes_Check(o.ptr())) return false;
  if (PyDict_Check(o.ptr()) || is_instance(o, stdlib().mapping)) return false;
  pyb::object it = own(PyObject_GetIter(o.ptr()));
  if (!it) PyErr_Clear();
  return static_cast<bool>(it);
}

// selected: the field takes part in this load (only, exclude, dump_only).
bool selected(pyb::handle self, const Field& f) {
  pyb::str name(f.name);
  pyb::object only = self.attr("only");
  if (!only.is_none() && PySequence_Contains(only.ptr(), name.ptr()) != 1) return false;
  for (const char* attr : {"exclude", "dump_only"}) {
    pyb::object names = self.attr(attr);
    if (truthy(names)) {
      int r = PySequence_Contains(names.ptr(), name.ptr());
      if (r < 0) throw pyb::error_already_set();
      if (r == 1) return false;
    }
  }
  return true;
}

pyb::object load_item(pyb::handle self, const Definition& definition, pyb::handle item,
                      pyb::handle partial, std::optional<std::size_t> index, Collector& c) {
  if (!PyDict_Check(item.ptr()) && !is_instance(item, stdlib().mapping)) {
    c.report.refuse_item(index);
    return pyb::none();
  }
  bool partial_all = partial.ptr() == Py_True;
  bool partial_some = !partial_all && truthy(partial) && is_collection(partial);
  bool filtered = !self.attr("only").is_none() || truthy(self.attr("exclude")) ||
                  truthy(self.attr("dump_only"));
  pyb::dict out;
  for (const Field& f : definition.fields) {
    if (filtered && !selected(self, f)) continue;
    std::string key = f.name;
    pyb::object raw = lookup(item, key);
    if (raw.ptr() == shared().missing && !f.load_from.empty()) {
      key = f.load_from;
      raw = lookup(item, key);
    }
    const bool partial_here =
        raw.ptr() == shared().missing &&
        (partial_all ||
         (partial_some && PySequence_Contains(partial.ptr(), pyb::str(f.name).ptr()) == 1));
    Outcome o = convert(f, raw, partial_here);
    if (o.skip) continue;
    if (!o.error.empty()) {
      c.report.add(index, key, o.error, &f);
      continue;
    }
    out[pyb::str(f.output_key())] = o.value;
  }
  return out;
}

pyb::object unmarshal(pyb::handle self, const Definition& definition, pyb::handle data, bool many,
                      pyb::handle partial, Collector& c) {
  if (!many || data.is_none()) return load_item(self, definition, data, partial, std::nullopt, c);
  pyb::list out;
  std::size_t i = 0;
  for (pyb::handle item : data) out.append(load_item(self, definition, item, partial, i++, c));
  return out;
}

// run_hooks applies the hooks of one stage: those that take the whole input
// first, then those that take one item at a time.
pyb::object run_hooks(pyb::handle self, const std::vector<Processor>& hooks, pyb::object data,
                      bool many) {
  for (const Processor& p : hooks) {
    if (!p.pass_many) continue;
    pyb::object r = self.attr(p.method.c_str())(data, pyb::bool_(many));
    if (!r.is_none()) data = r;
  }
  for (const Processor& p : hooks) {
    if (p.pass_many) continue;
    pyb::object fn = self.attr(p.method.c_str());
    if (many) {
      pyb::list items;
      for (pyb::handle item : data) {
        pyb::object r = fn(item);
        items.append(r.is_none() ? borrow(item.ptr()) : r);
      }
      data = std::move(items);
    } else {
      pyb::object r = fn(data);
      if (!r.is_none()) data = r;
    }
  }
  return data;
}

// hook_errors: the messages of a ValidationError that a hook raised, as a
// mapping; any other error passes on.
pyb::dict hook_errors(pyb::error_already_set& e) {
  if (!e.matches(shared().error)) throw;
  pyb::object messages = e.value().attr("normalized_messages")();
  if (PyDict_Check(messages.ptr())) return pyb::reinterpret_borrow<pyb::dict>(messages);
  return pyb::dict(messages);
}

pyb::object load(pyb::object self, pyb::object data, pyb::object many_arg,
                 pyb::object partial_arg) {
  const Definition& definition = definition_of(self);
  bool many = truthy(many_arg.is_none() ? pyb::object(self.attr("many")) : many_arg);
  pyb::object partial = partial_arg.is_none() ? pyb::object(self.attr("partial")) : partial_arg;
  Collector c;
  pyb::dict errors;
  pyb::object result = pyb::none();
  bool pre_failed = false;
  pyb::object processed = data;
  if (!definition.pre_load.empty()) {
    try {
      processed = run_hooks(self, definition.pre_load, data, many);
    } catch (pyb::error_already_set& e) {
      errors = hook_errors(e);
      pre_failed = true;
    }
  }
  if (!pre_failed) {
    result = unmarshal(self, definition, processed, many, partial, c);
    errors = c.errors(self.attr("_declared_fields"));
  }
  if (pyb::len(errors) == 0 && !definition.post_load.empty()) {
    try {
      result = run_hooks(self, definition.post_load, result, many);
    } catch (pyb::error_already_set& e) {
      errors = hook_errors(e);
    }
  }
  if (pyb::len(errors) != 0) {
    pyb::object exc = borrow(shared().error)(errors, "field_names"_a = c.field_names,
                                             "fields"_a = c.fields, "data"_a = data);
    self.attr("handle_error")(exc, data);
    if (truthy(self.attr("strict"))) {
      PyErr_SetObject(shared().error, exc.ptr());
      throw pyb::error_already_set();
    }
  }
  return borrow(result_type())(result, errors);
}

void schema_init(pyb::object self, pyb::object extra, pyb::object only, pyb::object exclude,
                 pyb::object prefix, pyb::object strict, pyb::object many, pyb::object context,
                 pyb::object load_only, pyb::object dump_only, pyb::object partial) {
  self.attr("extra") = extra;
  self.attr("only") = only;
  self.attr("exclude") = exclude;
  self.attr("prefix") = prefix;
  if (strict.is_none()) strict = pyb::bool_(definition_of(self).strict);
  self.attr("strict") = strict;
  self.attr("many") = many;
  self.attr("context") = context.is_none() ? pyb::object(pyb::dict()) : context;
  self.attr("load_only") = load_only;
  self.attr("dump_only") = dump_only;
  self.attr("partial") = partial;
}

void error_init(pyb::object self, pyb::object message, pyb::object field_names, pyb::object fields,
                pyb::object data, pyb::kwargs kwargs) {
  pyb::object messages = message;
  if (!PyDict_Check(message.ptr()) && !PyList_Check(message.ptr())) {
    pyb::list one;
    one.append(message);
    messages = one;
  }
  self.attr("messages") = messages;
  self.attr("fields") = fields;
  if (PyUnicode_Check(field_names.ptr()) || PyBytes_Check(field_names.ptr())) {
    pyb::list one;
    one.append(field_names);
    self.attr("field_names") = one;
  } else {
    self.attr("field_names") = truthy(field_names) ? field_names : pyb::object(pyb::list());
  }
  self.attr("data") = data;
  self.attr("kwargs") = kwargs;
  self.attr("args") = pyb::make_tuple(message);
}

pyb::object normalized_messages(pyb::object self, pyb::object no_field_name) {
  pyb::object messages = self.attr("messages");
  if (PyDict_Check(messages.ptr())) return messages;
  pyb::object names = self.attr("field_names");
  pyb::dict out;
  if (pyb::len(names) == 0) {
    out[no_field_name] = messages;
    return out;
  }
  for (pyb::handle n : names) out[n] = messages;
  return out;
}

Shared* build_shared() {
  // Help texts are the first lines we give, without generated signature lines.
  pyb::options options;
  options.disable_function_signatures();
  auto* s = new Shared;  // lives as long as the process
  s->missing = keep(velna::py::make_class("velna.schema", "missing", pyb::make_tuple(object_type()),
                                          "An absent value.")());

  pyb::dict err_ns;
  err_ns["__init__"] = instance_method(
      pyb::cpp_function(&error_init, pyb::name("initialize"), pyb::arg("self"), pyb::arg("message"),
                        pyb::arg("field_names") = pyb::none(), pyb::arg("fields") = pyb::none(),
                        pyb::arg("data") = pyb::none()));
  err_ns["normalized_messages"] =
      instance_method(pyb::cpp_function(&normalized_messages, pyb::name("normalized_messages"),
                                        pyb::arg("self"), pyb::arg("no_field_name") = kSchemaKey));
  err_ns["__str__"] = instance_method(
      pyb::cpp_function([](pyb::object self) { return pyb::str(self.attr("args")[pyb::int_(0)]); },
                        pyb::name("__str__"), pyb::arg("self")));
  pyb::object base_error = velna::py::make_class("velna.schema", "MarshmallowError",
                                                 pyb::make_tuple(borrow(PyExc_Exception)),
                                                 "Base class of the schema errors.");
  s->error =
      keep(velna::py::make_class("velna.schema", "ValidationError", pyb::make_tuple(base_error),
                                 "Raised when loading finds invalid data.", err_ns));

  pyb::dict ns;
  ns["__init__"] = instance_method(pyb::cpp_function(
      &schema_init, pyb::name("initialize"), pyb::arg("self"), pyb::arg("extra") = pyb::none(),
      pyb::arg("only") = pyb::none(), pyb::arg("exclude") = pyb::tuple(), pyb::arg("prefix") = "",
      pyb::arg("strict") = pyb::none(), pyb::arg("many") = false, pyb::arg("context") = pyb::none(),
      pyb::arg("load_only") = pyb::tuple(), pyb::arg("dump_only") = pyb::tuple(),
      pyb::arg("partial") = false));
  ns["load"] = instance_method(pyb::cpp_function(
      &load, pyb::name("load"), pyb::arg("self"), pyb::arg("data"), pyb::arg("many") = pyb::none(),
      pyb::arg("partial") = pyb::none(),
      "Loads a mapping, or a sequence of them with many, through the declared fields."));
  ns["handle_error"] = instance_method(pyb::cpp_function(
      [](pyb::object, pyb::object, pyb::object) {}, pyb::name("handle_error"), pyb::arg("self"),
      pyb::arg("error"), pyb::arg("data"), "Called with the error of a load that found errors."));
  auto* definition = new Definition;  // the base declares no field
  ns[kDefinitionAttr] = steal(PyCapsule_New(definition, kDefinitionCapsule, nullptr));
  ns["_declared_fields"] = pyb::dict();
  ns["ValidationError"] = borrow(s->error);
  s->base = keep(
      velna::py::make_class("velna.schema", "Schema", pyb::make_tuple(object_type()),
                            "Base class of the schemas: declared fields that load mappings.", ns));
  return s;
}

// One per process: the library is shared.
Shared& shared() { return first_made<Shared>(build_shared); }

// result_type is the named pair of a load's answer, made at the first load
// that answers (or the first caller that asks for the class): collections,
// which makes it, would cost every module with a schema its import.
PyObject* result_type() {
  Shared& s = shared();
  if (s.result) return s.result;
  pyb::object made = import_module("collections")
                         .attr("namedtuple")("UnmarshalResult", pyb::make_tuple("data", "errors"),
                                             "module"_a = "velna.schema");
  if (!s.result) s.result = keep(made);  // else another thread made it while this one imported
  return s.result;
}

}  // namespace

pyb::object convert_value(Kind kind, pyb::handle value, const char*& message) {
  Field f;
  f.kind = kind;
  Outcome o = convert(f, value);
  message = o.error.empty() ? nullptr : o.error.data();  // a literal: NUL-terminated
  return o.value;
}

PyObject* datetime_from_ascii(std::string_view text) {
  const std::optional<velna::time::FieldDateTime> t = velna::time::parse_field_date_time(text);
  if (!t) return nullptr;
  stdlib();  // the datetime C API
  PyObject* tz = Py_None;
  pyb::object zone;
  if (t->has_offset) {
    tz = PyDateTime_TimeZone_UTC;
    if (t->offset_seconds != 0) {
      // Fixed-offset zones are immutable, and a text names one of fewer than
      // 2880: each is made once and kept.
      static std::unordered_map<int, PyObject*> zones;
      PyObject*& kept = zones[t->offset_seconds];
      if (!kept) {
        pyb::object delta = own(PyDelta_FromDSU(0, t->offset_seconds, 0));
        if (!delta) return nullptr;
        zone = own(PyTimeZone_FromOffset(delta.ptr()));
        if (!zone) return nullptr;
        kept = keep(zone);
      }
      tz = kept;
    }
  }
  const velna::time::DateTime& f = t->local;
  return PyDateTimeAPI->DateTime_FromDateAndTime(static_cast<int>(f.date.year), f.date.month,
                                                 f.date.day, f.hour, f.minute, f.second,
                                                 f.microsecond, tz, PyDateTimeAPI->DateTimeType);
}

PyObject* datetime_from_text(PyObject* text) {
  if (PyUnicode_READY(text) < 0) return nullptr;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_IS_ASCII(text))
    return datetime_from_ascii(
        {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(n)});
  // A decimal digit of any script counts as its ASCII digit; the form has no
  // other character beyond ASCII.
  std::string ascii(static_cast<std::size_t>(n), '\0');
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    const int digit = c < 0x80 ? -2 : Py_UNICODE_TODECIMAL(c);
    if (digit == -1) return nullptr;
    ascii[static_cast<std::size_t>(i)] = static_cast<char>(digit == -2 ? c : '0' + digit);
  }
  return datetime_from_ascii(ascii);
}

pyb::handle base_class() { return shared().base; }
pyb::handle validation_error() { return shared().error; }
pyb::handle unmarshal_result() { return result_type(); }

pyb::object make_class(const char* module, const char* name, const char* doc, Definition definition,
                       pyb::dict ns) {
  pyb::object namespace_type = import_module("types").attr("SimpleNamespace");
  pyb::dict declared;
  for (const Field& f : definition.fields) {
    declared[pyb::str(f.name)] = namespace_type(
        "name"_a = f.name, "kind"_a = pyb::str(std::string(core::kind_name(f.kind))),
        "load_from"_a = f.load_from.empty() ? pyb::object(pyb::none()) : pyb::str(f.load_from),
        "attribute"_a = f.attribute.empty() ? pyb::object(pyb::none()) : pyb::str(f.attribute),
        "allow_none"_a = f.allow_none, "required"_a = f.required);
  }
  auto* kept = new Definition(std::move(definition));  // lives as long as the class
  ns[kDefinitionAttr] = steal(PyCapsule_New(kept, kDefinitionCapsule, nullptr));
  ns["_declared_fields"] = declared;
  return velna::py::make_class(module, name, pyb::make_tuple(borrow(base_class().ptr())), doc, ns);
}

}  // namespace velna::py::schema

// velna.event's reader of the key server's pages of events: a page
// {"events": [...], "hasMore": ..., ...} is read in one pass of the JSON
// reader (json_text.h), its event objects straight into what EventSchema's
// load makes of them, whatever their shape: a record for each object that
// loads whole, else the loaded values with the field errors, which
// finish_load joins as the general load would. The page's other members are
// decoded as usual. Text that is not JSON, a page whose events are no array
// or that names them twice, is declined and decoded the usual way.
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

#include "event.h"
#include "event_pages.h"
#include "json_text.h"
#include "uuids.h"
#include "velna/utils.h"
#include "velna_py.h"

namespace velna::event {
namespace {

namespace vp = velna::py;

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// What one field of an event object gave: its loaded value, or its error,
// and the key (its place in ve::kKeys) it was read under, kNoKey while none.
constexpr std::uint8_t kNoKey = 0xff;
static_assert(ve::kKeyCount < kNoKey);
struct Slot {
  pyb::object value;
  const char* error = nullptr;
  std::uint8_t key = kNoKey;
};

// PageParser reads one page; it is made for each page, so that the page's
// caches live no longer than the page. Its steps return null (or false)
// when the page is declined, with an error set only for a failure of the
// runtime.
class PageParser {
 public:
  explicit PageParser(vp::json::Reader& r) : r_(r) {}

  PyObject* read() {
    pyb::object page = vp::own(read_page());
    if (!page && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
    return page.release().ptr();
  }
  PyObject* events() const { return events_; }  // held by the page

  // last is what the general path indexes with "eventId" for the page's
  // last event: the item itself when it is no object, else a mapping that
  // holds what its "eventId" held, if anything.
  pyb::object last() const {
    if (last_raw_) return last_raw_;
    pyb::dict d;
    if (last_id_) d[N().eventId] = last_id_;
    return d;
  }

 private:
  // text is the str of |v|; short texts that recur (actions, types) share
  // one str, as member names do.
  PyObject* text(std::string_view v) {
    auto make = [&] {
      return vp::steal(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
    };
    return v.size() > 32 ? make().release().ptr() : kept(strings_.get(v, make));
  }

  // uuid is the identifier of ASCII text; null without an error for text
  // that is none.
  PyObject* uuid(std::string_view v) {
    const auto id = velna::utils::parse_uuid(v);
    return id ? uuid(*id) : nullptr;
  }
  PyObject* uuid(const velna::utils::Uuid& id) {
    auto make = [&] { return vp::steal(velna::py::uuid_of(id)); };
    return kept(ids_.get(id, make));
  }

  // canonical_uuid is the identifier of |v| in the canonical form, for field
  // |f|, whose last identifier is made again from the same text: one object
  // of a page often names one container throughout. Null without an error
  // for other text.
  PyObject* canonical_uuid(const WireField& f, std::string_view v) {
    auto& [text, made] = last_ids_[static_cast<std::size_t>(&f - kWire)];
    if (made && v == text) return new_ref(made.ptr());
    const auto id = velna::utils::parse_canonical_uuid(v);
    if (!id) return nullptr;
    PyObject* value = uuid(*id);
    if (value) {
      text = v;  // the page's own text, which outlives this reader
      made = vp::borrow(value);
    }
    return value;
  }

  // kept is a new reference to what a table of recent values gave, null
  // (with the error of making it) for none.
  static PyObject* kept(const pyb::object* value) {
    return value ? new_ref(value->ptr()) : nullptr;
  }

  // in_place converts the identifier in its canonical form or the time that
  // stands next, judged where it stands: what either takes holds only
  // letters, digits, blanks and signs (a time's trailing line feed aside),
  // so no escape can stand in it. True when it did; other text is read as
  // any string is.
  bool in_place(const WireField& f, Slot& slot) {
    PyObject* made = nullptr;
    const bool taken = r_.quoted_as([&](std::string_view v) {
      if (f.kind == vs::Kind::Uuid) {
        made = canonical_uuid(f, v);
      } else if (v.empty() || v.back() != '\n') {
        made = vs::datetime_from_ascii(v);
      }
      if (!made && PyErr_Occurred()) throw pyb::error_already_set();
      return made != nullptr;
    });
    if (taken) slot.value = vp::steal(made);
    return taken;
  }

  // plain_value converts the ASCII string without escapes that stands next,
  // for the kinds that read one: true when it did (the slot tells how).
  [[gnu::flatten]] bool plain_value(const WireField& f, Slot& slot) {
    if ((f.kind == vs::Kind::Uuid || f.kind == vs::Kind::DateTime) && in_place(f, slot))
      return true;
    std::string_view v;
    if ((f.kind != vs::Kind::Str && f.kind != vs::Kind::DateTime && f.kind != vs::Kind::Uuid) ||
        !r_.ascii_string(v))
      return false;
    PyObject* made = f.kind == vs::Kind::Str        ? text(v)
                     : f.kind == vs::Kind::DateTime ? vs::datetime_from_ascii(v)
                                                    : uuid(v);
    if (made) {
      slot.value = vp::steal(made);
    } else {
      if (PyErr_Occurred()) throw pyb::error_already_set();
      slot.error = f.kind == vs::Kind::DateTime ? "Not a valid datetime." : "Not a valid UUID.";
    }
    return true;
  }

  // value reads the value of field |f| into |slot|, as the schema converts
  // it; |raw| receives the value as decoded when the field is an integer.
  bool value(const WireField& f, Slot& slot, pyb::object& raw) {
    const std::int64_t next = r_.next();
    if (next == '"' && plain_value(f, slot)) return true;
    if (next == 'n' && r_.null()) {
      if (f.allow_none) {
        slot.value = pyb::none();
      } else {
        slot.error = "Field may not be null.";
      }
      raw = pyb::none();
      return true;
    }
    pyb::object v = vp::own(r_.value());
    if (!v) return false;
    if (f.kind == vs::Kind::Int) raw = v;
    const bool exact = (f.kind == vs::Kind::Str && PyUnicode_CheckExact(v.ptr())) ||
                       (f.kind == vs::Kind::Int && PyLong_CheckExact(v.ptr())) ||
                       (f.kind == vs::Kind::Dict && PyDict_CheckExact(v.ptr()));
    if (exact) {
      slot.value = v;
    } else {
      slot.value = vs::convert_value(f.kind, v, slot.error);
    }
    return true;
  }

  // member_name reads the member name at |place| in its object and the
  // colon after it: its entry in ve::kKeys (ve::kKeyCount for a key of no
  // field), or false for text that is not one. The key at each place of the
  // object before is tried first, with its colon: the objects of a page
  // mostly list their keys in one order.
  [[gnu::flatten]] bool member_name(std::size_t& k, std::size_t place) {
    const std::size_t expected = order_.expected(place);
    if (expected != ve::kKeyCount && r_.literal(ve::kQuotedKeys[expected].opening())) {
      k = expected;
      return true;
    }
    std::string_view v;
    if (r_.ascii_string(v)) {
      k = ve::key_of(v);
    } else {
      if (!r_.at('"')) return false;
      pyb::object name = vp::own(r_.value());
      if (!name) return false;
      Py_ssize_t n = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &n);
      if (!utf8) {
        PyErr_Clear();  // a lone surrogate: no key of ours
        k = ve::kKeyCount;
      } else {
        k = ve::key_of({utf8, static_cast<std::size_t>(n)});
      }
    }
    order_.read(place, k);
    return r_.take(':');
  }

  // event reads one event object into a record, or into the pair (loaded
  // values, errors or None) when it does not load whole.
  PyObject* event() {
    if (!r_.take('{')) return nullptr;
    // A field's name wins over its wire key; of one key, the last value.
    std::array<Slot, kCount> fields;
    pyb::object event_id;  // what "eventId" holds, as decoded
    if (!r_.take('}')) {
      for (std::size_t place = 0;; ++place) {
        std::size_t k = ve::kKeyCount;
        if (!member_name(k, place)) return nullptr;
        if (k == ve::kKeyCount) {
          if (!vp::own(r_.value())) return nullptr;
        } else {
          const ve::Key& key = ve::kKeys[k];
          Slot& held = fields[key.field];
          const bool loses = !key.own_name && held.key != kNoKey && ve::kKeys[held.key].own_name;
          Slot unused;
          Slot& slot = loses ? unused : held;
          slot = Slot{};
          slot.key = static_cast<std::uint8_t>(k);
          pyb::object raw;
          if (!value(kWire[key.field], slot, raw)) return nullptr;
          if (!key.own_name && key.field == ve::kIdField) event_id = raw;
        }
        const std::int64_t after = r_.next();
        if (after != ',' && after != '}') return nullptr;
        r_.pass();
        if (after == '}') break;
      }
    }
    last_id_ = std::move(event_id);
    last_raw_ = pyb::object();
    return made(fields);
  }

  // made is what the load makes of one event object's fields.
  PyObject* made(std::array<Slot, kCount>& fields) {
    pyb::object errors;
    bool whole = true;
    for (const Slot& f : fields) {
      if (f.key == kNoKey) {
        whole = false;
      } else if (f.error) {
        if (!errors) errors = pyb::dict();
        pyb::list messages;
        messages.append(pyb::str(f.error));
        errors[pyb::str(ve::kKeys[f.key].text.data(), ve::kKeys[f.key].text.size())] = messages;
      }
    }
    if (whole && !errors) {
      std::array<PyObject*, kCount> values{};
      for (std::size_t d = 0; d < kCount; ++d) values[kWire[d].attribute] = fields[d].value.ptr();
      return new_event(values.data());
    }
    pyb::object attrs = vp::own(PyDict_New());
    if (!attrs) return nullptr;
    for (std::size_t d = 0; d < kCount; ++d)
      if (fields[d].key != kNoKey && !fields[d].error &&
          PyDict_SetItem(attrs.ptr(), N().declared[d], fields[d].value.ptr()) < 0)
        return nullptr;
    return PyTuple_Pack(2, attrs.ptr(), errors ? errors.ptr() : Py_None);
  }

  // not_an_object is the load's pair for an item that is no object.
  PyObject* not_an_object() {
    pyb::object raw = vp::own(r_.value());
    if (!raw) return nullptr;
    last_raw_ = raw;
    last_id_ = pyb::object();
    pyb::list messages;
    messages.append(pyb::str("Invalid input type."));
    pyb::dict errors;
    errors[N()._schema] = messages;
    return PyTuple_Pack(2, Py_None, errors.ptr());
  }

  PyObject* event_list() {
    if (!r_.take('[')) return nullptr;
    pyb::object list = vp::own(PyList_New(0));
    if (!list || r_.take(']')) return list.release().ptr();
    for (;;) {
      pyb::object item = vp::own(r_.at('{') ? event() : not_an_object());
      if (!item || PyList_Append(list.ptr(), item.ptr()) < 0) return nullptr;
      if (r_.take(']')) break;
      if (!r_.take(',')) return nullptr;
    }
    return list.release().ptr();
  }

  PyObject* read_page() {
    if (!r_.take('{')) return nullptr;
    pyb::object page = vp::own(PyDict_New());
    if (!page || r_.take('}')) return nullptr;  // a page has events
    for (;;) {
      if (!r_.at('"')) return nullptr;
      pyb::object name = vp::own(r_.value());
      if (!name || !r_.take(':')) return nullptr;
      const bool is_events = PyUnicode_CompareWithASCIIString(name.ptr(), "events") == 0;
      if (is_events && events_) return nullptr;  // named twice
      pyb::object v = vp::own(is_events && r_.at('[') ? event_list() : r_.value());
      if (!v || PyDict_SetItem(page.ptr(), name.ptr(), v.ptr()) < 0) return nullptr;
      if (is_events) {
        if (!PyList_CheckExact(v.ptr())) return nullptr;
        events_ = v.ptr();
      }
      if (r_.take('}')) break;
      if (!r_.take(',')) return nullptr;
    }
    if (!r_.end() || !events_) return nullptr;
    return page.release().ptr();
  }

  vp::json::Reader& r_;
  ve::KeyOrder order_;
  ve::RecentTexts<pyb::object, 64> strings_;
  ve::RecentIds<pyb::object> ids_;
  std::array<std::pair<std::string_view, pyb::object>, kCount> last_ids_;
  PyObject* events_ = nullptr;
  pyb::object last_id_, last_raw_;
};

// PageReader is the reader that velna.event offers: it remembers the last
// page it made on each thread (holding it, so that its identity stays its
// own) until the event retrieval module of that thread asks for it. A page
// left unasked is released by the thread's next page.
class PageReader final : public vp::EventPages {
 public:
  PyObject* read(PyObject* content) override {
    forget();
    vp::json::Reader r(PyBytes_AS_STRING(content),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(content)));
    PageParser parser(r);
    PyObject* page = parser.read();
    if (!page) return nullptr;
    events_ = parser.events();
    last_ = parser.last().release().ptr();
    last_page_ = vp::borrow(page).release().ptr();
    return page;
  }

  Read read_of(PyObject* page) override {
    Read out;
    if (!page || page != last_page_) return out;
    out.events = events_;  // held by |page|
    out.last = vp::borrow(last_ ? last_ : Py_None);
    forget();
    return out;
  }

  pyb::object load(pyb::handle schema, pyb::handle events) override {
    return finish_load(schema, events);
  }

 private:
  static void forget() {
    events_ = nullptr;
    vp::own(last_page_);  // released here
    vp::own(last_);
    last_page_ = nullptr;
    last_ = nullptr;
  }

  // Plain pointers: nothing may touch Python when a thread ends.
  static inline thread_local PyObject* last_page_ = nullptr;  // a reference of our own
  static inline thread_local PyObject* events_ = nullptr;     // held by the page
  static inline thread_local PyObject* last_ = nullptr;       // a reference of our own
};

}  // namespace

void bind_pages(pyb::module_& module) {
  // The reader lives as long as the process.
  static PageReader* pages = new PageReader();
  module.attr("_pages") = vp::steal(
      PyCapsule_New(static_cast<vp::EventPages*>(pages), vp::EventPages::kCapsule, nullptr));
}

}  // namespace velna::event

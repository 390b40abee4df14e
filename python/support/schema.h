// Schema loading for the binding modules: declared fields turn a mapping (or
// a sequence of them) into loaded values and a report of field errors, the
// way the schemas of the key ring and the event log have always loaded.
//
// What a load does, in order:
//  1. pre-load hooks (pass_many hooks first, then per-item hooks; a hook that
//     returns nothing keeps its input);
//  2. each item: an item that is not a mapping is an error "Invalid input
//     type." under "_schema"; otherwise each field reads its name, or, when
//     that key is absent, its external name (load_from), and converts the
//     value; errors are lists of messages per key read, and with |many| per
//     item index;
//  3. post-load hooks, in the same order, only when nothing failed;
//  4. with errors, the instance's handle_error(error, data) is called and, on
//     a strict schema, the ValidationError is raised.
// load returns UnmarshalResult(data, errors), a named pair.
#pragma once

#include <pybind11/pybind11.h>

#include "plain_class.h"
#include "velna_py.h"

#include <string>
#include <string_view>
#include <vector>

#include "velna/schema/fields.h"

namespace velna::py::schema {

// The fields, hooks and messages are the core's (velna/schema/fields.h);
// Python's part is the conversions of its values and the classes.
using velna::schema::Definition;
using velna::schema::Field;
using velna::schema::Kind;
using velna::schema::Processor;

// base_class is the class "Schema" that every schema class derives from:
// __init__(extra=None, only=None, exclude=(), prefix='', strict=None,
// many=False, context=None, load_only=(), dump_only=(), partial=False),
// load(data, many=None, partial=None) and handle_error(error, data). One
// class per interpreter, shared by every module.
VELNA_PY_API pybind11::handle base_class();

// make_class derives a schema class from base_class() with |definition|'s fields
// and hooks; |ns| holds the class's own members (the hook methods among
// them). The class keeps its fields as _declared_fields, a dict of
// descriptions by name.
VELNA_PY_API pybind11::object make_class(const char* module, const char* name, const char* doc,
                                         Definition definition, pybind11::dict ns);

// Hook methods are made with instance_method of plain_class.h.
using velna::py::instance_method;

// validation_error is the class ValidationError(message, field_names=None,
// fields=None, data=None, **kwargs) with messages, field_names, fields, data,
// kwargs and normalized_messages(); its text is that of |message|.
VELNA_PY_API pybind11::handle validation_error();

// unmarshal_result is the named pair UnmarshalResult(data, errors).
VELNA_PY_API pybind11::handle unmarshal_result();

// convert_value converts |value| (present, not None) as a field of |kind|
// does: the loaded value, or a null object with |message| set to the
// field's message.
VELNA_PY_API pybind11::object convert_value(Kind kind, pybind11::handle value,
                                            const char*& message);

// ---- the conversions of DateTime and Uuid on text ---------------------------
//
// Each is a new reference, or null without an error set when the text does not
// convert (the field's message applies), or null with an error set for a failure
// of the runtime (no memory).

// datetime_from_ascii is the date-time of ASCII text in the form of
// velna::time::parse_field_date_time: naive without an offset, in
// datetime.timezone.utc for "Z" or a zero offset, else in a fixed-offset zone.
VELNA_PY_API PyObject* datetime_from_ascii(std::string_view text);

// datetime_from_text is the same for a str, whose decimal digits may be those
// of any script.
VELNA_PY_API PyObject* datetime_from_text(PyObject* text);

}  // namespace velna::py::schema

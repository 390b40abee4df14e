// uuid.UUID objects made and read without running the class's Python code,
// for bindings that convert many identifiers at once (the local database's
// rows, event records).
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "velna/utils.h"

#include "velna_py.h"

namespace velna::py {

// uuid_of is the uuid.UUID of |id|, as a new reference (null with an error
// set when it cannot be made). It holds no reference cycle, so the cyclic
// collector does not track it.
VELNA_PY_API PyObject* uuid_of(const velna::utils::Uuid& id);

// uuid_from_hex is uuid.UUID(hex) for |hex| of exactly 32 hex digits (either
// case), as a new reference; null without an error set for any other text,
// which the caller gives to the class itself.
VELNA_PY_API PyObject* uuid_from_hex(std::string_view hex);

// uuid_hex writes the 32 lower-case hex digits of |o| (its .hex) into |out|
// when |o| is exactly a uuid.UUID; false, with no error set, for anything
// else (a subclass included), which the caller converts in general.
VELNA_PY_API bool uuid_hex(PyObject* o, char out[32]);

}  // namespace velna::py

// Running an operation inside one scope of the provider registry, and the
// helpers the entry and account modules share around it.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string_view>

#include "fast_path.h"
#include "velna_py.h"

namespace velna::py {

namespace pyb = pybind11;

// run_scoped calls |get| without arguments, enters the scope it returns as a
// with statement does and runs |body| with the provider it yields, then
// leaves the scope, telling it the failure of |body|, if any. A failure the
// scope does not handle passes on; when the scope answers that it handled
// it, the result is empty. A failure of leaving passes on with the body's
// failure as its context.
VELNA_PY_API std::optional<pyb::object> run_scoped(
    pyb::handle get, const std::function<pyb::object(pyb::handle)>& body);

// truth is the truth value of |o|, as `if o:` decides it (truthy, under the
// name the entry and account modules use).
inline bool truth(pyb::handle o) { return truthy(o); }

// exception_of is the exception instance |e| carries, with its traceback
// attached, ready to be logged (exc_info=) or chained.
VELNA_PY_API pyb::object exception_of(pyb::error_already_set& e);

// set_context makes |context| the implicit context of the exception |e|
// carries, as raising inside an except block does.
VELNA_PY_API void set_context(pyb::error_already_set& e, pyb::handle context);

// Globals looks up a module's names at each use, as code in that module
// would: rebinding a name on the module takes effect at the next call.
class VELNA_PY_API Globals {
 public:
  explicit Globals(pyb::module_& m);
  pyb::object operator[](const char* name) const;

 private:
  PyObject* dict_;  // the module's __dict__, kept (keep)
};

// raise_with_context raises |type| with |message|, with |context| as the
// failure that was being handled.
[[noreturn]] VELNA_PY_API void raise_with_context(pyb::handle type, std::string_view message,
                                                  pyb::handle context);

}  // namespace velna::py

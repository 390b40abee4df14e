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

// run_scoped calls |get| without arguments and runs |body| with the provider
// that entering its result yields, exactly as a with statement would:
// __enter__ and __exit__ come from the scope's class (a TypeError when it
// lacks one); a failure of |body| (a C++ error as the Python error it
// stands for) is told to __exit__(type, value, traceback) while it is being
// handled, so that what __exit__ raises replaces it with the failure as its
// context; it passes on unless __exit__ answers true, and then the result is
// empty and |handled|, when given, receives the failure. Without a failure,
// __exit__(None, None, None) runs and the result is what |body| returned.
VELNA_PY_API std::optional<pyb::object> run_scoped(
    pyb::handle get, const std::function<pyb::object(pyb::handle)>& body,
    pyb::object* handled = nullptr);

// truth is the truth value of |o|, as `if o:` decides it (truthy, under the
// name the entry and account modules use).
inline bool truth(pyb::handle o) { return truthy(o); }

// exception_of is the exception instance |e| carries, with its traceback
// attached, ready to be logged (exc_info=) or chained.
VELNA_PY_API pyb::object exception_of(pyb::error_already_set& e);

// set_context makes |context| the implicit context of the exception |e|
// carries, unless it has one already.
VELNA_PY_API void set_context(pyb::error_already_set& e, pyb::handle context);

// Globals looks up a module's names at each use, as code in that module
// would: rebinding a name on the module takes effect at the next call.
class VELNA_PY_API Globals {
 public:
  explicit Globals(pyb::module_& m);
  pyb::object operator[](const char* name) const;

 private:
  PyObject* module_;  // the module, kept (keep)
  PyObject* dict_;    // its __dict__, kept
};

// raise_with_context raises |type| with |message|, with |context| as the
// failure that was being handled.
[[noreturn]] VELNA_PY_API void raise_with_context(pyb::handle type, std::string_view message,
                                                  pyb::handle context);

}  // namespace velna::py

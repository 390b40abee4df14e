// What the sources of velna.user share.
#pragma once

#include <pybind11/pybind11.h>

#include "provider_scope.h"

namespace velna::user {

// globals looks the module's names up at each use; set when the module
// loads.
extern const velna::py::Globals* globals;

// bind_User adds the class User to |module|.
void bind_User(pybind11::module_& module);

}  // namespace velna::user

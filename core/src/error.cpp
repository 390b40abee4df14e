#include "velna/error.h"

#include <system_error>
#include <utility>

namespace velna {

OsError::OsError(int code, std::string path)
    : Error(std::generic_category().message(code) + ": " + path),
      code_(code),
      path_(std::move(path)) {}

OsError::OsError(const std::string& message, std::string path)
    : Error(message), code_(0), path_(std::move(path)) {}

}  // namespace velna

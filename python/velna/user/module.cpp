// velna.user: the account operations create, delete, get_backup_reminder
// and change_credentials, each a thin layer over the active provider; the
// User class is in user_class.cpp.
#include <pybind11/pybind11.h>

#include <array>
#include <string>
#include <utility>

#include "provider_scope.h"
#include "user.h"
#include "velna_py.h"

namespace velna::user {
const velna::py::Globals* globals = nullptr;
}  // namespace velna::user

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
using velna::py::Globals;
using velna::user::globals;

constexpr const char* kNoUser = "No currently authenticated user, user_id must be provided.";
constexpr const char* kMask = "***";

struct Names {
  VELNA_PY_NAME_FIELD(id)
};
const Names& N() { return velna::py::table<Names>(); }

pyb::object get_scope() { return (*globals)["providers"].attr("get"); }
pyb::object logger() { return (*globals)["log"]; }
// line fills |pattern| ("... {} ...") with the text form of |o|, as Python
// text throughout: a text form need not be valid UTF-8.
pyb::str line(const char* pattern, pyb::handle o) { return pyb::str(pattern).format(o); }

// ---- masked call traces ----------------------------------------------------

// Tracing of the operations that take credentials. The lines have the shape
// of decorators.logged ("name(positional, keywords)" on entry, "name(...) -->
// result" on return), but the values of the secret arguments (by position or
// by keyword) are written as "***", so that debugging never puts a password,
// a passphrase or a reminder into a log.
struct Masked {
  const char* name;
  std::array<const char*, 3> secrets;  // in positional order
};

bool is_secret(const Masked& m, pyb::handle keyword) {
  for (const char* s : m.secrets)
    if (pyb::str(s).equal(keyword)) return true;
  return false;
}

// masked stands for a secret value in a trace; None, which hides nothing,
// stays None.
pyb::object masked(pyb::handle value) {
  return value.is_none() ? pyb::none() : pyb::object(pyb::str(kMask));
}

pyb::object traced_call(const Masked& m, pyb::handle f, pyb::args args, pyb::kwargs kwargs) {
  if (!velna::py::tracing()) return f(*args, **kwargs);
  pyb::list texts;
  std::size_t i = 0;
  for (pyb::handle a : args) {
    texts.append(pyb::str(i < m.secrets.size() ? masked(a) : velna::py::borrow(a.ptr())));
    ++i;
  }
  pyb::dict shown;
  for (auto item : kwargs)
    shown[item.first] = is_secret(m, item.first) ? pyb::object(masked(item.second))
                                                 : velna::py::borrow(item.second.ptr());
  pyb::str joined = pyb::str(",").attr("join")(texts);
  logger().attr("debug")("%s(%s, %s)", m.name, joined, shown);
  pyb::object result = f(*args, **kwargs);
  logger().attr("debug")("%s(...) --> %s", m.name, result);
  return result;
}

// def_traced defines |op| on |m| under the name of |trace|, traced with its
// secrets masked.
void def_traced(pyb::module_& m, const Masked& trace, pyb::object op, const char* doc) {
  m.def(
      trace.name,
      [&trace, op](pyb::args args, pyb::kwargs kwargs) {
        return traced_call(trace, op, args, kwargs);
      },
      doc);
}

// ---- operations --------------------------------------------------------------

void check(pyb::handle validator, pyb::handle value, const char* message) {
  if (velna::py::truth(validator(value))) return;
  logger().attr("info")(message);
  velna::py::raise_value_error(message);
}

// log_failure writes |message| at error level with the failure's traceback.
void log_failure(pyb::handle message, pyb::error_already_set& e) {
  logger().attr("exception")(message, "exc_info"_a = velna::py::exception_of(e));
}

// delete_user deletes |user| through |provider|, then logs out.
void delete_user(pyb::handle provider, pyb::handle user) {
  logger().attr("info")(line("Deleting {}", user));
  provider.attr("user").attr("delete")(user);
  provider.attr("logout")();
}

void delete_user_directly(pyb::handle user) {
  velna::py::run_scoped(get_scope(), [&](pyb::handle provider) {
    delete_user(provider, user);
    return pyb::none();
  });
  logger().attr("info")(line("Deleted {}", user));
}

// remove_new_user takes back a registration whose later steps failed with
// |failure|: the module's own delete when the new user is the one logged in,
// otherwise the provider's deletion of that user and a logout. A failure here
// is logged and passes on instead of |failure|, which becomes its context,
// as when it is raised while |failure| is being handled.
void remove_new_user(pyb::handle provider, pyb::handle user, pyb::error_already_set& failure) {
  try {
    pyb::object current = provider.attr("session").attr("user");
    if (current.is(user))
      (*globals)["delete"]();
    else
      delete_user_directly(user);
  } catch (pyb::error_already_set& e) {
    velna::py::set_context(e, velna::py::exception_of(failure));
    if (e.matches(PyExc_Exception))
      log_failure(line("Failed to remove {} after a failed creation.", user), e);
    throw;
  }
}

pyb::object create(pyb::object password, pyb::object reminder, pyb::object passphrase,
                   pyb::object password_validator, pyb::object reminder_validator,
                   pyb::object passphrase_validator) {
  logger().attr("info")("Creating a new user.");
  check(password_validator, password, "password does not meet complexity requirements.");
  check(passphrase_validator, passphrase, "passphrase does not meet complexity requirements.");
  check(reminder_validator, reminder, "reminder does not meet complexity requirements.");

  pyb::object keys = (*globals)["keys"];
  pyb::dict new_keys;
  new_keys["signing_key"] = keys.attr("AuthKey")();
  new_keys["derivation_key"] = keys.attr("DerivationKey")();

  auto done = velna::py::run_scoped(get_scope(), [&](pyb::handle provider) -> pyb::object {
    pyb::object user;
    try {
      user = provider.attr("user").attr("create")(**new_keys);
    } catch (pyb::error_already_set& e) {
      log_failure(pyb::str("Failed to create user."), e);
      throw;
    }
    const char* step = "Failed to log in the new user.";
    try {
      provider.attr("login")("user"_a = user);
      step = "Failed to create user key file.";
      user.attr("lockbox").attr("encrypt")("password"_a = password, "passphrase"_a = passphrase);
      provider.attr("lockbox").attr("update_or_create")(
          user.attr("lockbox"), "reminder"_a = reminder, "passphrase"_a = passphrase);
    } catch (pyb::error_already_set& e) {
      log_failure(pyb::str(step), e);
      remove_new_user(provider, user, e);
      throw;
    }
    return user;
  });
  // A failure that the scope handled leaves no finished user to report.
  if (!done) return pyb::none();
  logger().attr("info")(line("{} has been created.", *done));
  return *done;
}

void delete_() {
  pyb::object user;
  velna::py::run_scoped(get_scope(), [&](pyb::handle provider) {
    user = provider.attr("session").attr("user");
    delete_user(provider, user);
    return pyb::none();
  });
  if (user) logger().attr("info")(line("Deleted {}", user));
}

pyb::object get_backup_reminder(pyb::object user_id) {
  auto result = velna::py::run_scoped(get_scope(), [&](pyb::handle provider) -> pyb::object {
    pyb::object id = user_id;
    if (!velna::py::truth(user_id)) {
      pyb::object current = provider.attr("session").attr("user");
      id = velna::py::attr_or_none(current, N().id);
    }
    if (id.is_none()) velna::py::raise_value_error(kNoUser);
    return provider.attr("user").attr("get_backup_reminder")("user_id"_a = id);
  });
  return result ? *result : pyb::none();
}

pyb::object change_credentials(pyb::object password, pyb::object passphrase, pyb::object reminder,
                               pyb::object password_validator, pyb::object reminder_validator,
                               pyb::object passphrase_validator) {
  auto result = velna::py::run_scoped(get_scope(), [&](pyb::handle provider) -> pyb::object {
    return provider.attr("user").attr("change_credentials")(
        "password"_a = password, "passphrase"_a = passphrase, "reminder"_a = reminder,
        "password_validator"_a = password_validator, "reminder_validator"_a = reminder_validator,
        "passphrase_validator"_a = passphrase_validator);
  });
  return result ? *result : pyb::none();
}

}  // namespace

PYBIND11_MODULE(user, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "User accounts: the User class and the account operations.";
  velna::py::bind_lazily(m, "logging", "logging");
  m.attr("keys") = pyb::module_::import("velna.crypto.keys");
  m.attr("providers") = pyb::module_::import("velna.providers");
  pyb::module_ utils = pyb::module_::import("velna.utils");
  m.attr("is_password_valid") = utils.attr("is_password_valid");
  m.attr("is_passphrase_valid") = utils.attr("is_passphrase_valid");
  m.attr("is_reminder_valid") = utils.attr("is_reminder_valid");
  pyb::module_ decorators = pyb::module_::import("velna.decorators");
  m.attr("logged") = decorators.attr("logged");
  m.attr("login_required") = decorators.attr("login_required");
  velna::py::bind_lazily(m, "log", "logging", "getLogger", "velna.user");
  if (!globals) globals = new Globals(m);

  // The validators' defaults are the objects the names denote now.
  pyb::object password_rule = m.attr("is_password_valid");
  pyb::object reminder_rule = m.attr("is_reminder_valid");
  pyb::object passphrase_rule = m.attr("is_passphrase_valid");

  static const Masked create_trace{"create", {"password", "reminder", "passphrase"}};
  pyb::object create_op = pyb::cpp_function(
      &create, pyb::name("create"), pyb::scope(m), "password"_a, "reminder"_a, "passphrase"_a,
      "password_validator"_a = password_rule, "reminder_validator"_a = reminder_rule,
      "passphrase_validator"_a = passphrase_rule);
  def_traced(m, create_trace, create_op,
             "Creates a new user with new keys and a stored key file, and returns it logged in.");

  pyb::object logged = m.attr("logged")(velna::py::lazy_binding(m, "log"));
  pyb::object login_required = m.attr("login_required")();
  pyb::object delete_op = pyb::cpp_function(&delete_, pyb::name("delete"), pyb::scope(m),
                                            "Deletes the logged-in user for good and logs out.");
  m.attr("delete") = logged(login_required(delete_op));

  pyb::object reminder_op = pyb::cpp_function(
      &get_backup_reminder, pyb::name("get_backup_reminder"), pyb::scope(m),
      "Returns the reminder of a user's backup passphrase.", "user_id"_a = pyb::none());
  m.attr("get_backup_reminder") = logged(reminder_op);

  static const Masked change_trace{"change_credentials", {"password", "passphrase", "reminder"}};
  pyb::object change_op = login_required(pyb::cpp_function(
      &change_credentials, pyb::name("change_credentials"), pyb::scope(m), "password"_a,
      "passphrase"_a, "reminder"_a = pyb::none(), "password_validator"_a = password_rule,
      "reminder_validator"_a = reminder_rule, "passphrase_validator"_a = passphrase_rule));
  def_traced(m, change_trace, change_op,
             "Replaces the logged-in user's password, passphrase and reminder.");

  velna::user::bind_User(m);
}

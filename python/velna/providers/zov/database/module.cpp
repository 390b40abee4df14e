// velna.providers.zov.database: the life of a user's local database and the
// small mapping layer over it (declarative base, engine, per-thread
// sessions). The tables, their DDL and SQL, the column cipher and the
// migrations are the core's; this module turns rows into objects and back.
#include <pybind11/pybind11.h>

#include <sys/stat.h>

#include "database.h"
#include "plain_class.h"

namespace velna {
namespace zov_database {

using namespace pyb::literals;
using velna::log::Level;

Names names;

std::string text_of(pyb::handle o) { return pyb::str(o).cast<std::string>(); }

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  vp::raise_error(type, message);
}

namespace {

PyObject* module_ref = nullptr;  // this module, kept (keep)

// module_attr is the module's name |name| as it stands now.
pyb::object module_attr(const char* name) { return vp::borrow(module_ref).attr(name); }

void remove_if_there(pyb::object path) {
  try {
    path.attr("unlink")();
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
  }
}

pyb::object get_file_path(pyb::object user_id) {
  pyb::module_ package = pyb::module_::import("velna.providers.zov");
  if (!pyb::hasattr(package, "client"))
    vp::raise_error(PyExc_ImportError, "cannot import name 'client' from 'velna.providers.zov'");
  pyb::object client = package.attr("client");
  pyb::object locate = client.attr("get_file_path");
  pyb::bytes seed = pyb::str(text_of(user_id) + "SdkDatabase").attr("encode")("utf-8");
  return locate("seed"_a = seed);
}

void initialize(pyb::object self, pyb::object user_id) {
  pyb::object path = module_attr("get_file_path")(user_id);
  self.attr("path") = path;
  if (!path.attr("exists")().cast<bool>()) {
    pyb::module_::import("velna.providers.zov.zov_client").attr("_make_dirs")(path.attr("parent"));
    path.attr("touch")("mode"_a = 0600);
    ::chmod(text_of(path).c_str(), 0600);
  }
  std::string db_url = store::sqlite_url(text_of(path));
  pyb::object engine = module_attr("create_engine")(db_url, "user_id"_a = user_id);
  self.attr("engine") = engine;
  module_attr("Base").attr("metadata").attr("create_all")(engine);
  pyb::object here = module_attr("pathlib").attr("Path")(module_attr("__file__")).attr("parent");
  pyb::object scripts = here.attr("joinpath")("alembic");
  pyb::object cfg = module_attr("Config")();
  cfg.attr("set_section_option")("alembic", "sqlalchemy.url", db_url);
  cfg.attr("set_section_option")("alembic", "here", pyb::str(here));
  cfg.attr("set_section_option")("alembic", "script_location", pyb::str(scripts));
  self.attr("alembic_cfg") = cfg;
  module_attr("upgrade")(cfg, "head");
  self.attr("session") = module_attr("scoped_session")(module_attr("sessionmaker")(engine));
  velna::py::log_line(kLogger, Level::Debug, "ZOV DB has been created at @ " + text_of(path));
  pyb::object row =
      self.attr("session")
          .attr("execute")(module_attr("text")("select version_num from alembic_version"))
          .attr("fetchone")();
  std::string version = row.is_none() ? "head" : text_of(pyb::tuple(row)[0]);
  velna::py::get_logger(kLogger).attr("info")("ZOV DB Version: %s", version);
}

void delete_database(pyb::object self, pyb::object prompt) {
  pyb::object builtins = pyb::module_::import("builtins");
  bool ask = vp::truthy(prompt);
  if (ask) {
    pyb::object answer =
        builtins.attr("input")("Are you sure you want to delete the ZOV's database? [y|N]");
    if (text_of(answer.attr("casefold")()) != "y") {
      builtins.attr("print")("ZOV DB has not been removed.");
      return;
    }
  }
  pyb::object path = self.attr("path");
  // Nothing may keep the file open while it goes.
  pyb::object registry = pyb::getattr(self, "session", pyb::none());
  if (!registry.is_none() && pyb::isinstance<ScopedSession>(registry))
    registry.cast<ScopedSession&>().close_all();
  pyb::object engine = pyb::getattr(self, "engine", pyb::none());
  if (!engine.is_none() && pyb::isinstance<Engine>(engine)) engine.cast<Engine&>().state->dispose();
  remove_if_there(path);
  for (const char* suffix : {"-journal", "-wal", "-shm"})
    remove_if_there(path.attr("with_name")(pyb::str(path.attr("name")) + pyb::str(suffix)));
  velna::py::log_line(kLogger, Level::Info, "Removed the ZOV DB.");
  if (ask) builtins.attr("print")("ZOV DB has been removed.");
}

// make_error defines the exception class |name| of the module, kept by the
// support library for the process.
PyObject* make_error(pyb::module_& m, const char* name, PyObject* base, const char* doc) {
  return vp::define_error(m, name, doc, base).ptr();
}

void bind_errors(pyb::module_& m) {
  names.database_error =
      make_error(m, "DatabaseError", PyExc_Exception, "A failure reported by the database.");
  // The core's database errors translate to these two (ModuleSetup).
  make_error(m, "IntegrityError", names.database_error,
             "A write refused by a constraint of the database.");
  make_error(m, "OperationalError", names.database_error,
             "The database could not run a statement.");
  names.invalid_request = make_error(m, "InvalidRequestError", PyExc_Exception,
                                     "A request the mapping layer cannot serve.");
  names.no_result = make_error(m, "NoResultFound", names.invalid_request,
                               "A query found no row where one was required.");
  names.multiple_results = make_error(m, "MultipleResultsFound", names.invalid_request,
                                      "A query found several rows where exactly one was required.");
  names.object_deleted = make_error(m, "ObjectDeletedError", names.invalid_request,
                                    "The row of an expired object is no longer in the database.");
}

void keep_names() {
  names.object_new =
      velna::py::keep(pyb::module_::import("builtins").attr("object").attr("__new__"));
}

}  // namespace

void bind_VelnaDatabase(pyb::module_& m) {
  m.def("get_file_path", &get_file_path,
        "Returns the path of the user's database file in the local store.", "user_id"_a);
  pyb::object database = vp::make_class(
      kModule, "VelnaDatabase", pyb::make_tuple(vp::object_type()), "A user's local database.");
  m.attr("VelnaDatabase") = database;
  vp::method(database, "initialize", &initialize,
             "Opens the user's database, creating the file and the tables when missing, and "
             "migrates it.",
             "user_id"_a);
  vp::method(database, "delete", &delete_database,
             "Removes the database file, after a confirmation on the console unless |prompt| is "
             "false.",
             "prompt"_a = true);
}

}  // namespace zov_database
}  // namespace velna

PYBIND11_MODULE(database, m) {
  namespace db = velna::zov_database;
  velna::py::ModuleSetup setup;
  m.doc() = "The local database of a user: its file, its tables, its sessions.";
  db::module_ref = velna::py::keep(m);
  db::keep_names();
  velna::py::bind_lazily(m, "logging", "logging");
  velna::py::bind_lazily(m, "pathlib", "pathlib");
  db::bind_errors(m);
  db::bind_Base(m);
  db::bind_values(m);
  db::bind_Engine(m);
  db::bind_Query(m);
  db::bind_Session(m);
  db::bind_VelnaDatabase(m);
}

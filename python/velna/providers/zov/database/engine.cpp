// The engine: one database file, every connection of which enforces foreign
// keys; and the configuration of its migrations.
#include "database.h"
#include "plain_class.h"
#include "velna/store/migrations.h"

namespace velna {
namespace zov_database {

using namespace pyb::literals;

void EngineState::check_open() const {
  if (disposed)
    raise(names.invalid_request,
          "The ZOV DB at " + path + " has been removed; initialize the database again to use it.");
}

std::shared_ptr<store::Connection> EngineState::connect() {
  check_open();
  auto c = std::make_shared<store::Connection>(store::Connection::open(path, true));
  connections.add(c);
  return c;
}

void EngineState::dispose() {
  connections.close_all();
  connections.items.clear();
  cipher.reset();
  disposed = true;
}

store::ColumnCipher& EngineState::column_cipher() {
  pyb::object models = pyb::module_::import("velna.providers.zov.models");
  pyb::object key = models.attr("_database_key")(user_id);
  velna::ByteView k = velna::py::bytes_arg(key, "database key");
  if (!cipher || !cipher->same_key(k)) cipher = std::make_unique<store::ColumnCipher>(k);
  return *cipher;
}

namespace {

void bind_Config(pyb::module_& m) {
  pyb::object config =
      vp::make_class(kModule, "Config", pyb::make_tuple(vp::object_type()),
                     "The migration configuration: options by section, held in memory.");
  vp::method(config, "__init__", [](pyb::object self) { self.attr("sections") = pyb::dict(); });
  vp::method(
      config, "set_section_option",
      [](pyb::object self, pyb::str section, pyb::str name, pyb::str value) {
        pyb::dict sections = self.attr("sections");
        if (!sections.contains(section)) sections[section] = pyb::dict();
        sections[section][name] = value;
      },
      "section"_a, "name"_a, "value"_a);
  vp::method(
      config, "get_section_option",
      [](pyb::object self, pyb::str section, pyb::str name,
         pyb::object default_value) -> pyb::object {
        pyb::dict sections = self.attr("sections");
        if (!sections.contains(section)) return default_value;
        pyb::dict options = sections[section];
        return options.contains(name) ? pyb::object(options[name]) : default_value;
      },
      "section"_a, "name"_a, "default"_a = pyb::none());
  m.attr("Config") = config;

  m.def(
      "upgrade",
      [](pyb::object cfg, std::string revision) {
        if (revision != "head")
          velna::py::raise_value_error("Only upgrades to head are supported.");
        std::string url =
            cfg.attr("get_section_option")("alembic", "sqlalchemy.url").cast<std::string>();
        std::string scripts =
            cfg.attr("get_section_option")("alembic", "script_location").cast<std::string>();
        store::upgrade(store::sqlite_path(url), scripts);
      },
      "Brings the database of the configuration to the newest migration.", "config"_a,
      "revision"_a);
}

}  // namespace

void bind_Engine(pyb::module_& m) {
  pyb::class_<Engine>(m, "Engine",
                      "One SQLite database file; every connection enforces foreign keys.")
      .def_readonly("url", &Engine::url)
      .def(
          "dispose", [](Engine& e) { e.state->dispose(); },
          "Closes every connection; the engine is unusable after.")
      .def("__repr__", [](const Engine& e) { return "Engine(" + e.url + ")"; });

  m.def(
      "create_engine",
      [](std::string url, pyb::object user_id) {
        Engine e;
        e.state = std::make_shared<EngineState>();
        e.state->path = store::sqlite_path(url);
        e.url = url;
        e.state->user_id = user_id;
        return e;
      },
      "An engine over the SQLite file of |url|.", "url"_a, "user_id"_a = pyb::none());
  bind_Config(m);
}

}  // namespace zov_database
}  // namespace velna

// velna.providers.zov.zov_client: the hashed-path file store. Each file lives
// at a place cut from the SHA-384 hex digest of a seed, under one root.
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>

#include "plain_class.h"
#include "velna/error.h"
#include "velna/store/files.h"
#include "velna/store/paths.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
using velna::log::Level;
using velna::store::Folders;
using velna::store::Place;

constexpr const char* kLogger = "velna.providers.zov.zov";

namespace vp = velna::py;

vp::FirstUse path_class{"pathlib", "Path"};  // on the first path made

pyb::object make_path(pyb::handle p) { return velna::py::borrow(path_class)(p); }

std::string text_of(pyb::handle o) { return pyb::str(o).cast<std::string>(); }

// log_with writes |format| with its one argument on the store's logger at
// the level named by |method|; the record keeps the argument itself.
void log_with(const char* method, const char* format, pyb::handle arg) {
  velna::py::get_logger(kLogger).attr(method)(format, arg);
}

PyObject* module_ref = nullptr;  // this module, kept (keep)

// crypto is the package module as this module holds it now.
pyb::object crypto() { return velna::py::borrow(module_ref).attr("crypto"); }

// count_arg reads an integer argument (the runtime's TypeError for anything
// else); values beyond 64 bits saturate, which cuts the digest the same way.
std::int64_t count_arg(pyb::handle o) {
  pyb::object i = velna::py::steal(PyNumber_Index(o.ptr()));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw pyb::error_already_set();
  if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
  if (overflow < 0) return std::numeric_limits<std::int64_t>::min();
  return v;
}

pyb::object hash_location(pyb::object self, pyb::object seed, pyb::object filename_length,
                          pyb::object depth) {
  int too_deep = PyObject_RichCompareBool(depth.ptr(), self.attr("MAX_LEVELS_DEEP").ptr(), Py_GT);
  if (too_deep < 0) throw pyb::error_already_set();
  if (too_deep) {
    std::string message =
        "depth cannot exceed the maximum value: " + text_of(self.attr("MAX_LEVELS_DEEP"));
    velna::py::log_line(kLogger, Level::Warning, message);
    velna::py::raise_value_error(message);
  }
  pyb::object digest = crypto().attr("SHA384")(seed);
  std::string hex = text_of(digest);
  auto pieces = velna::store::cut_components(hex, count_arg(filename_length), count_arg(depth));
  pyb::tuple parts(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) parts[i] = pyb::str(pieces[i]);
  return velna::py::borrow(path_class)(*parts);
}

// make_dirs creates |dir| and its missing parents, each one only for its
// owner (0700).
void make_dirs(pyb::object dir) {
  pyb::list missing;
  for (pyb::object p = dir; !p.attr("exists")().cast<bool>();) {
    missing.append(p);
    pyb::object parent = p.attr("parent");
    if (parent.equal(p)) break;
    p = parent;
  }
  for (Py_ssize_t i = static_cast<Py_ssize_t>(missing.size()) - 1; i >= 0; --i)
    missing[i].attr("mkdir")("mode"_a = 0700, "exist_ok"_a = true);
  if (!dir.attr("is_dir")().cast<bool>()) dir.attr("mkdir")("mode"_a = 0700, "exist_ok"_a = true);
}

// target is the place an explicit |path| names, joined to the root as paths
// join (an absolute path stands for itself), or else the place of |seed|.
// Whether it lies in the store is for reach to judge.
pyb::object target(pyb::object self, pyb::object seed, pyb::object path) {
  if (path.is_none()) return self.attr("get_file_path")("seed"_a = seed);
  return self.attr("root").attr("joinpath")(path);
}

// reach opens the folder of |place| below the store's root: a place that
// leaves the root, also through a symbolic link, is a ValueError.
Place reach(pyb::object self, pyb::handle place, Folders folders) {
  std::string root = velna::py::fs_path(self.attr("root"));
  std::string path = velna::py::fs_path(place);
  return velna::py::run_without_gil([&] { return Place::reach(root, path, folders); });
}

// bind_paths adds what places files: the root, the places of seeds.
void bind_paths(pyb::object cls) {
  vp::method(cls, "__init__", [](pyb::object self) { self.attr("ROOT_DIR") = "."; });

  vp::method(
      cls, "initialize",
      [](pyb::object self, pyb::object sub_dir_seed) {
        pyb::object root = make_path(self.attr("ROOT_DIR"));
        if (vp::truthy(sub_dir_seed))
          root = root.attr("joinpath")(self.attr("_hash_location")(sub_dir_seed, "depth"_a = 1));
        self.attr("root") = root;
        make_dirs(root);
        root = root.attr("resolve")();
        self.attr("root") = root;
        velna::py::log_line(kLogger, Level::Info, "ZOV created at " + text_of(root));
      },
      "Computes the store directory (with the optional sub-directory), creates it and resolves it.",
      "sub_dir_seed"_a = pyb::none());

  vp::method(
      cls, "get_file_path",
      [](pyb::object self, pyb::object seed) -> pyb::object {
        pyb::object root = self.attr("root");
        if (!seed.is_none()) return root.attr("joinpath")(self.attr("_hash_location")(seed));
        pyb::object random = crypto().attr("random");
        const std::int64_t attempts = count_arg(self.attr("MAX_FILE_CREATION_ATTEMPTS"));
        for (std::int64_t i = 0; i < attempts; ++i) {
          pyb::object candidate =
              root.attr("joinpath")(self.attr("_hash_location")("seed"_a = random(64)));
          if (!candidate.attr("exists")().cast<bool>()) return candidate;
        }
        vp::raise_error(PyExc_OSError, "Cannot find a suitable file.");
      },
      "Returns the place of the seed under the root; without a seed, a random place that does not "
      "exist.",
      "seed"_a = pyb::none());

  vp::method(cls, "_hash_location", &hash_location,
             "The relative path cut from the SHA-384 digest of the seed.", "seed"_a,
             "filename_length"_a = velna::store::kMaxFileNameLength,
             "depth"_a = velna::store::kMaxLevelsDeep);
}

// bind_files adds what reads, writes and removes files.
void bind_files(pyb::object cls) {
  vp::method(
      cls, "get",
      [](pyb::object self, pyb::object seed) -> pyb::object {
        pyb::object path = self.attr("get_file_path")("seed"_a = seed);
        log_with("debug", "Fetched from %s", path);
        Place place = reach(self, path, Folders::kExisting);
        velna::store::FileReader reader =
            vp::run_without_gil([&] { return place.open_for_reading(); });
        const auto size = static_cast<std::size_t>(reader.size());
        return vp::new_bytes_without_gil(size, [&](std::uint8_t* out) {
          reader.read_into({out, size});
        });
      },
      "Returns the whole content of the file of the seed.", "seed"_a = pyb::none());

  vp::method(
      cls, "write_bytes",
      [](pyb::object self, pyb::object data, pyb::object seed, pyb::object path) -> pyb::object {
        pyb::object place = target(self, seed, path);
        Place file = reach(self, place, Folders::kCreate);
        log_with("debug", "Wrote data at %s", place);
        velna::ByteView bytes = vp::bytes_arg(data, "data");
        vp::run_without_gil([&] { file.replace(bytes); });
        return place;
      },
      "Writes the bytes at the explicit path under the root, or at the place of the seed, "
      "replacing the file whole; returns the place.",
      "data"_a, "seed"_a = pyb::none(), "path"_a = pyb::none());

  vp::method(
      cls, "delete",
      [](pyb::object self, pyb::object seed, pyb::object path) {
        pyb::object place = target(self, seed, path);
        bool removed = false;
        try {
          Place file = reach(self, place, Folders::kExisting);
          removed = vp::run_without_gil([&] { return file.remove(); });
        } catch (const velna::OsError& e) {
          if (e.code() != ENOENT) throw;  // a missing folder: the file is gone too
        }
        if (!removed) log_with("warning", "File in ZOV @ %s is already gone.", place);
        log_with("info", "Removed file from ZOV @ %s", place);
      },
      "Removes the file at the explicit path under the root, or at the place of the seed.",
      "seed"_a = pyb::none(), "path"_a = pyb::none());
}

}  // namespace

PYBIND11_MODULE(zov_client, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "The hashed-path file store of the local provider.";
  pyb::object crypto_package = pyb::module_::import("velna.crypto");
  m.attr("crypto") = crypto_package;
  module_ref = velna::py::keep(m);

  m.def("_make_dirs", &make_dirs,
        "Creates a folder and its missing parents, each for its owner only.", "path"_a);
  pyb::object cls = vp::make_class(
      "velna.providers.zov.zov_client", "VelnaZOVClient", pyb::make_tuple(vp::object_type()),
      "A file store that places each file at a path cut from the SHA-384 digest of a seed.");
  m.attr("VelnaZOVClient") = cls;
  cls.attr("MAX_FILE_CREATION_ATTEMPTS") = velna::store::kMaxFileCreationAttempts;
  cls.attr("MAX_FILE_NAME_LENGTH") = velna::store::kMaxFileNameLength;
  cls.attr("MAX_LEVELS_DEEP") = velna::store::kMaxLevelsDeep;

  bind_paths(cls);
  bind_files(cls);
}

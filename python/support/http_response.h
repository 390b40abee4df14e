// The answers of the HTTP layer (velna.providers.server.http.Response) for
// modules that make requests of their own, such as object storage: the HTTP
// module registers its factory when it loads, and every answer, whichever
// module made the request, is of that one class.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "py_compat.h"
#include "velna/http/headers.h"
#include "velna_py.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velna::py::http {

// Hidden, as pybind11's own types are: it holds pybind11 objects.
struct __attribute__((visibility("hidden"))) Answer {
  long status = 0;
  std::string reason;
  std::string url;  // the address that answered
  velna::http::Headers headers;
  pyb::object content;  // bytes
  pyb::object request;  // what was sent, or None
};

// BodyBuffer is the bytes object that a body is written into, made at the
// first size the transfer knows and resized in place while a body of unknown
// length grows, so that the body is never held twice. Large bodies ask the
// kernel for huge pages, which halves the cost of touching fresh memory.
class __attribute__((visibility("hidden"))) BodyBuffer {
 public:
  std::uint8_t* resize(std::size_t n, bool whole) {
    // A bytes object holds at most PY_SSIZE_T_MAX bytes (half the address
    // space on 32-bit machines).
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    pyb::gil_scoped_acquire gil;
    // The empty bytes object is shared by everyone: it is replaced, never
    // resized.
    if (!bytes_ || n == 0 || PyBytes_GET_SIZE(bytes_.ptr()) == 0) {
      PyObject* o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
      if (!o) {
        PyErr_Clear();
        throw std::bad_alloc();
      }
      bytes_ = own(o);
      if (whole) advise_huge_pages(n);
    } else {
      PyObject* o = bytes_.release().ptr();
      if (compat::resize_bytes(&o, static_cast<Py_ssize_t>(n)) != 0) {
        PyErr_Clear();
        throw std::bad_alloc();
      }
      bytes_ = own(o);
    }
    return data();
  }
  pyb::object take() { return bytes_ ? std::move(bytes_) : pyb::bytes(""); }
  ~BodyBuffer() {
    if (bytes_) {
      pyb::gil_scoped_acquire gil;
      bytes_ = pyb::object();
    }
  }

 private:
  std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.ptr())); }

  // advise_huge_pages asks for huge pages under a large buffer made for the
  // whole body. Not under one that may grow: the advice splits the mapping,
  // which the allocator then cannot move in place, so it would copy it.
  void advise_huge_pages(std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    if (n < 2 * kHuge) return;
    const auto start = reinterpret_cast<std::uintptr_t>(data());
    const auto begin = (start + kHuge - 1) & ~(kHuge - 1);
    const auto end = (start + n) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)n;
#endif
  }

  pyb::object bytes_;
};

using ResponseFactory = pyb::object (*)(Answer&& answer);

// register_response_factory is called by the HTTP module when it loads.
VELNA_PY_API void register_response_factory(ResponseFactory factory);

// make_response is the Response for |answer|; the HTTP module is imported
// first when it has not been loaded yet.
VELNA_PY_API pyb::object make_response(Answer&& answer);

// The request errors of the HTTP layer, made once by the HTTP module when it
// loads and kept for the process, so that one except clause serves every
// module that makes requests.
struct RequestErrors {
  PyObject* request = nullptr;  // RequestException
  PyObject* http = nullptr;     // HTTPError
  PyObject* connection = nullptr;
  PyObject* timeout = nullptr;
  PyObject* connect_timeout = nullptr;
  PyObject* invalid_url = nullptr;

  // of is the error classes of the loaded HTTP module |http|.
  static RequestErrors of(pyb::handle http) {
    RequestErrors e;
    e.request = keep(http.attr("RequestException"));
    e.http = keep(http.attr("HTTPError"));
    e.connection = keep(http.attr("ConnectionError"));
    e.timeout = keep(http.attr("Timeout"));
    e.connect_timeout = keep(http.attr("ConnectTimeout"));
    e.invalid_url = keep(http.attr("InvalidURL"));
    return e;
  }

  // raise_current raises the Python error of the C++ exception being
  // handled (inside a catch block) for a module that makes requests: a
  // velna::http::RequestFailed as the class of this family that it stands
  // for (TimedOut: Timeout, or ConnectTimeout while connecting; InvalidUrl:
  // InvalidURL; ConnectionFailed: ConnectionError; any other:
  // RequestException), with |request| set as its request when given;
  // anything else as translate_current raises it.
  [[noreturn]] VELNA_PY_API void raise_current(pyb::handle request = {}) const;
};

}  // namespace velna::py::http

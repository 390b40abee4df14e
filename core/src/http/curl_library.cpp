#include "internal/curl_library.h"

#include <dlfcn.h>

#include <string>

#include "velna/http/client.h"

namespace velna::internal {
namespace {

template <typename Fn>
void take(void* lib, const char* soname, const char* name, Fn& fn) {
  void* sym = dlsym(lib, name);
  if (!sym)
    throw http::RequestFailed(std::string(soname) + " has no " + name +
                              ": libcurl could not be loaded");
  fn = reinterpret_cast<Fn>(sym);
}

}  // namespace

CurlLibrary load_curl(const char* soname) {
  void* lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    throw http::RequestFailed("libcurl could not be loaded (" + std::string(soname) +
                              "): " + (why ? why : "not found"));
  }
  CurlLibrary c{};
  try {
    take(lib, soname, "curl_global_init", c.global_init);
    take(lib, soname, "curl_easy_init", c.easy_init);
    take(lib, soname, "curl_easy_cleanup", c.easy_cleanup);
    take(lib, soname, "curl_easy_perform", c.easy_perform);
    take(lib, soname, "curl_easy_setopt", c.easy_setopt);
    take(lib, soname, "curl_easy_getinfo", c.easy_getinfo);
    take(lib, soname, "curl_easy_strerror", c.easy_strerror);
    take(lib, soname, "curl_slist_append", c.slist_append);
    take(lib, soname, "curl_slist_free_all", c.slist_free_all);
  } catch (...) {
    dlclose(lib);
    throw;
  }
  return c;
}

const CurlLibrary& curl() {
  static const CurlLibrary loaded = [] {
    CurlLibrary c = load_curl(kCurlLibrary);
    if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw http::RequestFailed("libcurl could not be initialised");
    return c;
  }();
  return loaded;
}

}  // namespace velna::internal

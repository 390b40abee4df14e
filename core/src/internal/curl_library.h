// libcurl is opened when the first transfer needs it, not when a program (or
// an extension module) that may send requests is loaded: with the libraries
// it depends on, mapping it costs more than the rest of velna together. Its
// functions are called through one table, filled once, and the typed
// wrappers below, which pass each option in the type the option takes.
#pragma once

#include <curl/curl.h>

#include <type_traits>

namespace velna::internal {

struct CurlLibrary {
  CURLcode (*global_init)(long flags);
  CURL* (*easy_init)();
  void (*easy_cleanup)(CURL* easy);
  CURLcode (*easy_perform)(CURL* easy);
  CURLcode (*easy_setopt)(CURL* easy, CURLoption option, ...);
  CURLcode (*easy_getinfo)(CURL* easy, CURLINFO info, ...);
  const char* (*easy_strerror)(CURLcode code);
  curl_slist* (*slist_append)(curl_slist* list, const char* line);
  void (*slist_free_all)(curl_slist* list);
};

// The library's name as installed (libcurl4 on Debian).
inline constexpr const char* kCurlLibrary = "libcurl.so.4";

// load_curl opens |soname| and takes its functions, or throws
// http::RequestFailed naming the library and what the loader said. The
// library stays loaded for the life of the process.
CurlLibrary load_curl(const char* soname);

// curl is this process's libcurl, opened and set up (curl_global_init) on
// the first call. A failure is thrown to that call and tried again on the
// next.
const CurlLibrary& curl();

inline void easy_cleanup(CURL* easy) noexcept { curl().easy_cleanup(easy); }
inline void slist_free_all(curl_slist* list) noexcept { curl().slist_free_all(list); }

// setopt passes a long option, a pointer one (text, buffer, header list or
// user data) or a callback; *_LARGE options take a curl_off_t through
// setopt_large.
inline CURLcode setopt(CURL* easy, CURLoption option, long value) {
  return curl().easy_setopt(easy, option, value);
}
inline CURLcode setopt(CURL* easy, CURLoption option, const void* value) {
  return curl().easy_setopt(easy, option, value);
}
template <typename F>
requires std::is_function_v<F>
inline CURLcode setopt(CURL* easy, CURLoption option, F* callback) {
  return curl().easy_setopt(easy, option, callback);
}
inline CURLcode setopt_large(CURL* easy, CURLoption option, curl_off_t value) {
  return curl().easy_setopt(easy, option, value);
}

template <typename T>
inline CURLcode getinfo(CURL* easy, CURLINFO info, T* out) {
  return curl().easy_getinfo(easy, info, out);
}

}  // namespace velna::internal

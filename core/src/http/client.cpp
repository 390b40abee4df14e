#include "velna/http/client.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <mutex>

#include "internal/curl.h"
#include "internal/curl_long.h"
#include "velna/http/encoding.h"

namespace velna::http {
namespace {

using internal::CurlEasy;
using internal::make_easy;

// Receiving collects one answer; a new status line (after an interim
// answer such as 100 Continue) starts it afresh.
struct Receiving {
  Response* response;
  internal::HeaderLines lines;
  bool too_large = false;

  void header_line(std::string_view line) {
    const internal::HeaderLines::Line l = lines.add(line);
    if (iequals(l.name, "Content-Length")) reserve(l.value);
  }

  // reserve makes room for a body whose length the answer announces, up to
  // a bound, so that a large body is not copied while it grows.
  void reserve(std::string_view value) {
    std::uint64_t n = 0;
    for (char c : value) {
      if (c < '0' || c > '9' || n > (std::uint64_t{1} << 40)) return;
      n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    constexpr std::uint64_t kBound = std::uint64_t{64} << 20;
    response->body.reserve(static_cast<std::size_t>(std::min(n, kBound)));
  }

  bool body(const char* data, std::size_t n) {
    Bytes& b = response->body;
    if (n > b.max_size() - b.size()) {
      too_large = true;
      return false;
    }
    b.insert(b.end(), reinterpret_cast<const std::uint8_t*>(data),
             reinterpret_cast<const std::uint8_t*>(data) + n);
    return true;
  }
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
  const std::size_t n = size * count;
  try {
    static_cast<Receiving*>(user)->header_line({data, n});
  } catch (...) {
    return 0;
  }
  return n;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  const std::size_t n = size * count;
  try {
    return static_cast<Receiving*>(user)->body(data, n) ? n : 0;
  } catch (...) {
    static_cast<Receiving*>(user)->too_large = true;
    return 0;
  }
}

}  // namespace

struct Client::Handle {
  CurlEasy easy;
  char error[CURL_ERROR_SIZE] = {};
};

Client::Client(Options options) : options_(std::move(options)) { internal::curl_global(); }

Client::~Client() = default;

void Client::set_timeouts(std::chrono::milliseconds connect, std::chrono::seconds stall) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.connect_timeout = connect;
  options_.stall_timeout = stall;
}

void Client::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.clear();
}

std::unique_ptr<Client::Handle> Client::acquire() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      auto h = std::move(idle_.back());
      idle_.pop_back();
      return h;
    }
  }
  auto h = std::make_unique<Handle>();
  h->easy = make_easy();
  CURL* e = h->easy.get();
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, h->error);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_body);
  if (!options_.user_agent.empty())
    curl_easy_setopt(e, CURLOPT_USERAGENT, options_.user_agent.c_str());
  if (!options_.ca_file.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, options_.ca_file.c_str());
  if (options_.cookies) curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
  return h;
}

void Client::release(std::unique_ptr<Handle> handle) {
  constexpr std::size_t kMaxIdle = 4;
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(handle));
}

Response Client::send(const Request& request) {
  std::string location;
  Response response = send_once(request, location);
  if (!request.follow_redirects) return response;
  Request next = request;
  for (int hops = 0; hops < kMaxRedirects; ++hops) {
    const long s = response.status;
    if (location.empty() || !(s == 301 || s == 302 || s == 303 || s == 307 || s == 308) ||
        !same_origin(request.url, location))
      return response;
    // As browsers do: 303, and 301 or 302 after a POST, continue with a GET
    // without a body.
    if (s == 303 || (iequals(next.method, "POST") && (s == 301 || s == 302))) {
      next.method = "GET";
      next.body = {};
      next.headers.erase("Content-Type");
    }
    next.url = location;
    response = send_once(next, location);
  }
  return response;
}

Response Client::send_once(const Request& request, std::string& location) {
  location.clear();
  // Everything that can be refused is checked before a handle is touched.
  internal::CurlHeaders headers = internal::header_list(request.headers);
  // No form type that the caller did not ask for.
  if (!request.headers.contains("Content-Type")) internal::append_header(headers, "Content-Type:");
  const std::string method = internal::request_method(request.method);

  std::unique_ptr<Handle> h = acquire();
  CURL* e = h->easy.get();
  Response response;
  Receiving receiving{&response, {}};
  h->error[0] = '\0';
  {
    std::lock_guard<std::mutex> lock(mutex_);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                     internal::curl_long(options_.connect_timeout.count()));
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                     internal::curl_long(options_.stall_timeout.count()));
  }
  curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &receiving);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &receiving);
  curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  if (method == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (method != "GET" || !request.body.empty()) {
    static const char kEmpty[] = "";
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(
        e, CURLOPT_POSTFIELDS,
        request.body.empty() ? kEmpty : reinterpret_cast<const char*>(request.body.data()));
    if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const CURLcode code = curl_easy_perform(e);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);
  std::string message = internal::failure_text(code, h->error);
  long sent = 0;
  curl_easy_getinfo(e, CURLINFO_REQUEST_SIZE, &sent);
  if (code == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    response.status = status;
    const char* url = nullptr;
    curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &url);
    response.url = url ? url : request.url;
    const char* redirect = nullptr;
    curl_easy_getinfo(e, CURLINFO_REDIRECT_URL, &redirect);
    if (redirect) location = redirect;
  }
  release(std::move(h));

  if (code == CURLE_OK) {
    response.reason = std::move(receiving.lines.reason);
    response.headers = Headers::received(std::move(receiving.lines.fields));
    return response;
  }
  if (code == CURLE_WRITE_ERROR && receiving.too_large)
    throw RequestFailed("The answer is too large to hold in memory");
  internal::throw_failure(code, std::move(message), sent, method, request.url);
}

}  // namespace velna::http

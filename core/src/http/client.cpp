#include "velna/http/client.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "internal/curl.h"
#include "internal/curl_long.h"
#include "velna/http/encoding.h"
#include "velna/http/limits.h"

namespace velna::http {
namespace {

using internal::CurlEasy;
using internal::make_easy;

}  // namespace

std::optional<std::chrono::milliseconds> timeout_from_seconds(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return std::nullopt;
  constexpr double kYear = 365.0 * 24 * 3600;
  return std::chrono::milliseconds(
      static_cast<std::int64_t>(std::ceil(std::min(seconds, kYear) * 1000)));
}

std::chrono::seconds stall_timeout_of(std::chrono::milliseconds timeout) {
  return std::max(std::chrono::seconds(1), std::chrono::seconds((timeout.count() + 500) / 1000));
}

Headers session_headers(const Options& options) {
  Headers h;
  h.add("User-Agent", options.user_agent);
  h.add("Accept", "*/*");
  return h;
}

std::string method_name(std::string_view method) {
  std::string out(method);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

BodyKind body_kind(bool has_data, bool data_is_items, bool has_json) {
  if (has_data) return data_is_items ? BodyKind::Form : BodyKind::Data;
  return has_json ? BodyKind::Json : BodyKind::None;
}

std::optional<std::string_view> content_type_for(BodyKind kind) {
  switch (kind) {
    case BodyKind::Form:
      return "application/x-www-form-urlencoded";
    case BodyKind::Json:
      return "application/json";
    default:
      return std::nullopt;
  }
}

std::optional<std::string> status_error(long status, std::string_view reason,
                                        std::string_view url) {
  const char* kind = status >= 400 && status < 500   ? "Client"
                     : status >= 500 && status < 600 ? "Server"
                                                     : nullptr;
  if (!kind) return std::nullopt;
  return std::to_string(status) + " " + kind + " Error: " + std::string(reason) +
         " for url: " + mask_url(url);
}

struct Client::Handle {
  CurlEasy easy;
  char error[CURL_ERROR_SIZE] = {};
  // The generation of the client's time-outs that the handle was given
  // (none yet: 0), so that they are set again only after a change.
  std::uint64_t timeouts = 0;
};

Client::Client(Options options) : options_(std::move(options)) {}

Client::~Client() = default;

void Client::set_timeouts(std::chrono::milliseconds connect, std::chrono::seconds stall) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++timeouts_;
  options_.connect_timeout = connect;
  options_.stall_timeout = stall;
}

void Client::set_total_timeout(std::chrono::milliseconds total) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++timeouts_;
  options_.total_timeout = total;
}

void Client::set_max_answer_size(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.max_answer_size = bytes;
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
  internal::setopt(e, CURLOPT_NOSIGNAL, 1L);
  internal::setopt(e, CURLOPT_ERRORBUFFER, h->error);
  internal::setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  internal::setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  internal::setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  internal::setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  internal::setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  internal::setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  internal::setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  internal::setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  internal::setopt(e, CURLOPT_BUFFERSIZE, internal::kReceiveBuffer);
  internal::setopt(e, CURLOPT_HEADERFUNCTION, &internal::on_header<internal::Receiving>);
  internal::setopt(e, CURLOPT_WRITEFUNCTION, &internal::on_body<internal::Receiving>);
  if (!options_.user_agent.empty())
    internal::setopt(e, CURLOPT_USERAGENT, options_.user_agent.c_str());
  if (!options_.ca_file.empty()) internal::setopt(e, CURLOPT_CAINFO, options_.ca_file.c_str());
  if (options_.cookies) internal::setopt(e, CURLOPT_COOKIEFILE, "");
  return h;
}

void Client::release(std::unique_ptr<Handle> handle) {
  constexpr std::size_t kMaxIdle = 4;
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(handle));
}

Response Client::send(const Request& request) {
  Bytes body;
  Response response = send(request, [&body](std::size_t n, bool) {
    body.resize(n);
    return body.data();
  });
  response.body = std::move(body);
  return response;
}

Response Client::send(const Request& request, const Resize& resize) {
  std::string location;
  Response response = send_once(request, resize, location);
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
    response = send_once(next, resize, location);
  }
  return response;
}

Response Client::send_once(const Request& request, const Resize& resize, std::string& location) {
  location.clear();
  // Everything that can be refused is checked before a handle is touched.
  internal::CurlHeaders headers = internal::header_list(request.headers);
  // No form type that the caller did not ask for.
  if (!request.headers.contains("Content-Type")) internal::append_header(headers, "Content-Type:");
  const std::string method = internal::request_method(request.method);

  std::unique_ptr<Handle> h = acquire();
  CURL* e = h->easy.get();
  std::uint64_t limit;
  h->error[0] = '\0';
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (h->timeouts != timeouts_) {
      internal::setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                       internal::curl_long(options_.connect_timeout.count()));
      internal::setopt(e, CURLOPT_LOW_SPEED_TIME,
                       internal::curl_long(options_.stall_timeout.count()));
      internal::setopt(e, CURLOPT_TIMEOUT_MS, internal::curl_long(options_.total_timeout.count()));
      h->timeouts = timeouts_;
    }
    limit = std::min(options_.max_answer_size, memory_bound());
  }
  Response response;
  internal::Receiving receiving(resize, BodyLength(method, limit));
  internal::setopt(e, CURLOPT_URL, request.url.c_str());
  internal::setopt(e, CURLOPT_HTTPHEADER, headers.get());
  internal::setopt(e, CURLOPT_HEADERDATA, &receiving);
  internal::setopt(e, CURLOPT_WRITEDATA, &receiving);
  internal::setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
  internal::setopt(e, CURLOPT_NOBODY, 0L);
  internal::setopt(e, CURLOPT_HTTPGET, 1L);
  if (method == "HEAD") {
    internal::setopt(e, CURLOPT_NOBODY, 1L);
  } else if (method != "GET" || !request.body.empty()) {
    static const char kEmpty[] = "";
    internal::setopt_large(e, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(request.body.size()));
    internal::setopt(
        e, CURLOPT_POSTFIELDS,
        request.body.empty() ? kEmpty : reinterpret_cast<const char*>(request.body.data()));
    if (method != "POST") internal::setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const CURLcode code = internal::curl().easy_perform(e);
  if (code == CURLE_OK && !receiving.failure) receiving.finish();
  internal::setopt(e, CURLOPT_HTTPHEADER, nullptr);
  internal::setopt(e, CURLOPT_POSTFIELDS, nullptr);
  std::string message = internal::failure_text(code, h->error);
  long sent = 0;
  internal::getinfo(e, CURLINFO_REQUEST_SIZE, &sent);
  if (code == CURLE_OK) {
    long status = 0;
    internal::getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    response.status = status;
    const char* url = nullptr;
    internal::getinfo(e, CURLINFO_EFFECTIVE_URL, &url);
    response.url = url ? url : request.url;
    const char* redirect = nullptr;
    internal::getinfo(e, CURLINFO_REDIRECT_URL, &redirect);
    if (redirect) location = redirect;
  }
  release(std::move(h));

  if (receiving.failure) internal::throw_refused(receiving.failure, sent, method, request.url);
  if (code == CURLE_OK) {
    response.reason = std::move(receiving.head.lines.reason);
    response.headers = Headers::received(std::move(receiving.head.lines.fields));
    return response;
  }
  internal::throw_failure(code, std::move(message), sent, method, request.url);
}

}  // namespace velna::http

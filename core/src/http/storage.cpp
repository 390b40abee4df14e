#include "velna/http/storage.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "internal/curl.h"
#include "internal/curl_long.h"
#include "velna/error.h"

namespace velna::http::storage {
namespace {

using internal::trim_field;

// parse_u64 reads decimal digits only, the whole text, without overflow.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::string describe(const ByteRange& r) {
  return std::to_string(r.start) + "-" + std::to_string(r.end);
}

// Receiving follows one transfer: the header lines of each answer (a new
// status line, after a redirect or an interim answer, starts afresh) and the
// body of the last, written where the caller's allocator says.
struct Receiving {
  const Allocate* allocate;
  internal::HeaderLines lines;
  std::optional<std::uint64_t> announced;
  std::uint8_t* out = nullptr;
  std::uint64_t size = 0;
  Bytes grown;  // a body of unknown length, gathered before it is placed
  bool placed = false;
  std::exception_ptr failure;

  void header_line(std::string_view line) {
    const internal::HeaderLines::Line l = lines.add(line);
    if (l.status) announced.reset();
    if (iequals(l.name, "Content-Length")) announced = parse_u64(l.value);
  }

  void place(std::size_t n) {
    out = (*allocate)(n);
    placed = true;
  }

  void body(const char* data, std::size_t n) {
    if (!placed && announced) {
      if (*announced > std::numeric_limits<std::size_t>::max())
        throw RequestFailed("The answer is too large to hold in memory");
      place(static_cast<std::size_t>(*announced));
    }
    if (placed) {
      // libcurl never delivers more than the announced length.
      if (n > *announced - size) throw RequestFailed("The answer is longer than it announced");
      std::memcpy(out + size, data, n);
    } else {
      grown.insert(grown.end(), data, data + n);
    }
    size += n;
  }

  void finish() {
    if (placed) return;
    if (grown.empty() && announced && *announced == 0) {
      place(0);
      return;
    }
    place(grown.size());
    if (!grown.empty()) std::memcpy(out, grown.data(), grown.size());
  }
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Receiving*>(user);
  try {
    r->header_line({data, size * count});
  } catch (...) {
    r->failure = std::current_exception();
    return 0;
  }
  return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Receiving*>(user);
  try {
    r->body(data, size * count);
  } catch (...) {
    r->failure = std::current_exception();
    return 0;
  }
  return size * count;
}

// Sending reads the body of a PUT; a redirect that resends it seeks back.
struct Sending {
  ByteView body;
  std::size_t at = 0;
};

size_t on_read(char* out, size_t size, size_t count, void* user) {
  auto* s = static_cast<Sending*>(user);
  const std::size_t n = std::min(size * count, s->body.size() - s->at);
  std::memcpy(out, s->body.data() + s->at, n);
  s->at += n;
  return n;
}

int on_seek(void* user, curl_off_t offset, int origin) {
  auto* s = static_cast<Sending*>(user);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > s->body.size())
    return CURL_SEEKFUNC_FAIL;
  s->at = static_cast<std::size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

}  // namespace

std::string range_header(const ByteRange& range) { return "bytes=" + describe(range); }

std::optional<ByteRange> parse_range_header(std::string_view value) {
  value = trim_field(value);
  if (value.substr(0, 6) != "bytes=") return std::nullopt;
  value.remove_prefix(6);
  const std::size_t dash = value.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto start = parse_u64(trim_field(value.substr(0, dash)));
  auto end = parse_u64(trim_field(value.substr(dash + 1)));
  if (!start || !end || *end < *start) return std::nullopt;
  return ByteRange{*start, *end};
}

void check_ranged_answer(const ByteRange& range, long status, const Headers& headers,
                         std::uint64_t body_size) {
  const std::string asked =
      "the range " + describe(range) + " (" + std::to_string(range.length()) + " bytes)";
  if (status != 206)
    throw AssertionFailure("Asked for " + asked + " but the answer is " + std::to_string(status) +
                           " with " + std::to_string(body_size) + " bytes, not 206");
  auto length = headers.get("Content-Length");
  auto announced = length ? parse_u64(trim_field(*length)) : std::nullopt;
  if (!announced || *announced != range.length() || body_size != range.length())
    throw AssertionFailure("Asked for " + asked + " but the answer holds " +
                           std::to_string(body_size) + " bytes under Content-Length " +
                           (length ? std::string(*length) : "(none)"));
  if (auto content_range = headers.get("Content-Range")) {
    const std::string expected = "bytes " + describe(range) + "/";
    if (trim_field(*content_range).substr(0, expected.size()) != expected)
      throw AssertionFailure("Asked for " + asked + " but the answer holds the range " +
                             std::string(*content_range));
  }
}

void check_length(const Headers& headers, std::uint64_t body_size) {
  auto length = headers.get("Content-Length");
  auto announced = length ? parse_u64(trim_field(*length)) : std::nullopt;
  if (!announced || *announced != body_size)
    throw AssertionFailure("The answer holds " + std::to_string(body_size) +
                           " bytes under Content-Length " +
                           (length ? std::string(*length) : "(none)"));
}

Answer send(const Request& request, const Allocate& allocate) {
  internal::CurlHeaders headers = internal::header_list(request.headers);
  const std::string method = internal::request_method(request.method);

  internal::CurlEasy easy = internal::make_easy();
  CURL* e = easy.get();
  char error[CURL_ERROR_SIZE] = {};
  Receiving receiving;
  receiving.allocate = &allocate;
  Sending sending{request.body};
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 30L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                   internal::curl_long(request.timeouts.connect.count()));
  // Less than one byte per second for the stall time is a stall.
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, internal::curl_long(request.timeouts.stall.count() / 1000 +
                                                    (request.timeouts.stall.count() % 1000 != 0))));
  curl_easy_setopt(e, CURLOPT_USERAGENT, "velna/0.1");
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(CURL_MAX_READ_SIZE));
  curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &receiving);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &receiving);
  if (method == "PUT" || request.has_body) {
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    if (method != "PUT") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &on_read);
    curl_easy_setopt(e, CURLOPT_READDATA, &sending);
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &on_seek);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, &sending);
    // Large enough for few calls, small enough to stay in cache between the
    // copy and the send.
    curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
  } else if (method != "GET") {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const CURLcode code = curl_easy_perform(e);
  if (receiving.failure) std::rethrow_exception(receiving.failure);
  if (code == CURLE_OK) {
    receiving.finish();
    Answer answer;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &answer.status);
    const char* url = nullptr;
    curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &url);
    answer.url = url ? url : request.url;
    answer.reason = std::move(receiving.lines.reason);
    answer.headers = Headers::received(std::move(receiving.lines.fields));
    answer.body_size = receiving.size;
    return answer;
  }
  long sent = 0;
  curl_easy_getinfo(e, CURLINFO_REQUEST_SIZE, &sent);
  internal::throw_failure(code, internal::failure_text(code, error), sent, method, request.url);
}

}  // namespace velna::http::storage

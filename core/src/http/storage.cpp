#include "velna/http/storage.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "internal/curl.h"
#include "internal/curl_long.h"
#include "velna/error.h"

namespace velna::http::storage {
namespace {

using internal::trim_field;

std::string describe(const ByteRange& r) {
  return std::to_string(r.start) + "-" + std::to_string(r.end);
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

// first_last reads "<first>-<last>" with first <= last.
std::optional<ByteRange> first_last(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto first = parse_decimal(trim_field(text.substr(0, dash)));
  auto last = parse_decimal(trim_field(text.substr(dash + 1)));
  if (!first || !last || *last < *first) return std::nullopt;
  return ByteRange{*first, *last};
}

std::optional<ByteRange> parse_range_header(std::string_view value) {
  value = trim_field(value);
  if (value.substr(0, 6) != "bytes=") return std::nullopt;
  return first_last(value.substr(6));
}

std::optional<ContentRange> parse_content_range(std::string_view value) {
  value = trim_field(value);
  if (value.substr(0, 6) != "bytes ") return std::nullopt;
  value.remove_prefix(6);
  const std::size_t slash = value.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto range = first_last(value.substr(0, slash));
  if (!range) return std::nullopt;
  ContentRange out{range->start, range->end, std::nullopt};
  const std::string_view complete = trim_field(value.substr(slash + 1));
  if (complete != "*") {
    out.complete = parse_decimal(complete);
    if (!out.complete || out.last >= *out.complete) return std::nullopt;
  }
  return out;
}

void check_ranged_answer(const ByteRange& range, long status, const Headers& headers,
                         std::uint64_t body_size) {
  const std::string asked =
      "the range " + describe(range) + " (" + std::to_string(range.length()) + " bytes)";
  if (status != 206)
    throw AssertionFailure("Asked for " + asked + " but the answer is " + std::to_string(status) +
                           " with " + std::to_string(body_size) + " bytes, not 206");
  // What the answer stands for: the range asked, or, when the object ends
  // inside it, the range up to the object's last byte.
  ByteRange held = range;
  const auto content_range = headers.get("Content-Range");
  if (content_range) {
    const auto got = parse_content_range(*content_range);
    const bool exact = got && got->first == range.start && got->last == range.end;
    const bool clipped = got && got->first == range.start && got->last < range.end &&
                         got->complete && got->last + 1 == *got->complete;
    if (!exact && !clipped)
      throw AssertionFailure("Asked for " + asked + " but the answer holds the range " +
                             std::string(*content_range));
    held.end = got->last;
  }
  auto length = headers.get("Content-Length");
  auto announced = length ? parse_content_length(*length) : std::nullopt;
  if (!announced || *announced != held.length() || body_size != held.length())
    throw AssertionFailure("Asked for " + asked + " but the answer holds " +
                           std::to_string(body_size) + " bytes under Content-Length " +
                           (length ? std::string(*length) : "(none)"));
}

void check_length(const Headers& headers, std::uint64_t body_size) {
  auto length = headers.get("Content-Length");
  auto announced = length ? parse_content_length(*length) : std::nullopt;
  if (!announced || *announced != body_size)
    throw AssertionFailure("The answer holds " + std::to_string(body_size) +
                           " bytes under Content-Length " +
                           (length ? std::string(*length) : "(none)"));
}

Answer send(const Request& request, const Resize& resize) {
  internal::CurlHeaders headers = internal::header_list(request.headers);
  const std::string method = internal::request_method(request.method);

  internal::CurlEasy easy = internal::make_easy();
  CURL* e = easy.get();
  char error[CURL_ERROR_SIZE] = {};
  internal::Receiving receiving(resize,
                                BodyLength(method, std::min(request.max_body, memory_bound())));
  Sending sending{request.body};
  internal::setopt(e, CURLOPT_NOSIGNAL, 1L);
  internal::setopt(e, CURLOPT_ERRORBUFFER, error);
  internal::setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  internal::setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  internal::setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  internal::setopt(e, CURLOPT_MAXREDIRS, 30L);
  internal::setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  internal::setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                   internal::curl_long(request.timeouts.connect.count()));
  // Less than one byte per second for the stall time is a stall.
  internal::setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  internal::setopt(e, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, internal::curl_long(request.timeouts.stall.count() / 1000 +
                                                    (request.timeouts.stall.count() % 1000 != 0))));
  internal::setopt(e, CURLOPT_TIMEOUT_MS, internal::curl_long(request.timeouts.total.count()));
  internal::setopt(e, CURLOPT_USERAGENT, "velna/0.1");
  internal::setopt(e, CURLOPT_BUFFERSIZE, internal::kReceiveBuffer);
  internal::setopt(e, CURLOPT_URL, request.url.c_str());
  internal::setopt(e, CURLOPT_HTTPHEADER, headers.get());
  internal::setopt(e, CURLOPT_HEADERFUNCTION, &internal::on_header<internal::Receiving>);
  internal::setopt(e, CURLOPT_HEADERDATA, &receiving);
  internal::setopt(e, CURLOPT_WRITEFUNCTION, &internal::on_body<internal::Receiving>);
  internal::setopt(e, CURLOPT_WRITEDATA, &receiving);
  if (method == "PUT" || request.has_body) {
    internal::setopt(e, CURLOPT_UPLOAD, 1L);
    if (method != "PUT") internal::setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    internal::setopt_large(e, CURLOPT_INFILESIZE_LARGE,
                           static_cast<curl_off_t>(request.body.size()));
    internal::setopt(e, CURLOPT_READFUNCTION, &on_read);
    internal::setopt(e, CURLOPT_READDATA, &sending);
    internal::setopt(e, CURLOPT_SEEKFUNCTION, &on_seek);
    internal::setopt(e, CURLOPT_SEEKDATA, &sending);
    // Large enough for few calls, small enough to stay in cache between the
    // copy and the send.
    internal::setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
  } else if (method != "GET") {
    internal::setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const CURLcode code = internal::curl().easy_perform(e);
  if (code == CURLE_OK && !receiving.failure) receiving.finish();
  long sent = 0;
  internal::getinfo(e, CURLINFO_REQUEST_SIZE, &sent);
  if (receiving.failure) internal::throw_refused(receiving.failure, sent, method, request.url);
  if (code == CURLE_OK) {
    Answer answer;
    internal::getinfo(e, CURLINFO_RESPONSE_CODE, &answer.status);
    const char* url = nullptr;
    internal::getinfo(e, CURLINFO_EFFECTIVE_URL, &url);
    answer.url = url ? url : request.url;
    answer.reason = std::move(receiving.head.lines.reason);
    answer.headers = Headers::received(std::move(receiving.head.lines.fields));
    answer.body_size = receiving.head.length.received();
    return answer;
  }
  internal::throw_failure(code, internal::failure_text(code, error), sent, method, request.url);
}

}  // namespace velna::http::storage

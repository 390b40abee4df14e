// An HTTP/1.1 client over libcurl. A Client keeps its connections open
// between requests and reuses them; every request is bounded by a connect
// time-out, a stall time-out and a time-out on its whole duration, reads no
// answer longer than a limit, verifies TLS certificates and follows no
// redirect, so credentials never leave for another address.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velna/bytes.h"
#include "velna/error.h"
#include "velna/http/headers.h"

namespace velna::http {

// RequestFailed: the request could not be made or no answer came.
class RequestFailed : public Error {
 public:
  using Error::Error;
};

// ConnectionFailed: no connection, or it broke before the answer was whole
// (refused, unreachable, name not found, TLS failure).
class ConnectionFailed : public RequestFailed {
 public:
  using RequestFailed::RequestFailed;
};

// TimedOut: a time-out ran out: while connecting, while the transfer
// stalled, or because the whole request took too long.
class TimedOut : public RequestFailed {
 public:
  TimedOut(const std::string& what, bool connecting)
      : RequestFailed(what), connecting_(connecting) {}
  bool connecting() const { return connecting_; }

 private:
  bool connecting_;
};

// InvalidUrl: an address the client refuses to send to.
class InvalidUrl : public RequestFailed {
 public:
  using RequestFailed::RequestFailed;
};

// Connecting gives up after kConnectTimeout; a transfer that moves less than
// one byte per second for kStallTimeout is abandoned, and so is a request
// that lasts longer than kTotalTimeout in all, however it trickles. An
// answer whose body would pass kMaxAnswerSize is refused before it is read
// whole: the key server's answers are JSON texts far below it.
inline constexpr std::chrono::milliseconds kConnectTimeout{10000};
inline constexpr std::chrono::seconds kStallTimeout{30};
inline constexpr std::chrono::milliseconds kTotalTimeout{300000};
inline constexpr std::uint64_t kMaxAnswerSize = std::uint64_t{64} << 20;

// timeout_from_seconds is a time-out of |seconds| in whole milliseconds,
// rounded up; nothing unless |seconds| is positive and finite. Beyond a year
// a time-out means "none to speak of" and is capped there, so that any finite
// value converts soundly.
std::optional<std::chrono::milliseconds> timeout_from_seconds(double seconds);

// stall_timeout_of is |timeout| in the whole seconds that a stall is
// measured in, rounded half up, and at least one.
std::chrono::seconds stall_timeout_of(std::chrono::milliseconds timeout);

struct Options {
  std::chrono::milliseconds connect_timeout = kConnectTimeout;
  std::chrono::seconds stall_timeout = kStallTimeout;
  std::chrono::milliseconds total_timeout = kTotalTimeout;
  std::uint64_t max_answer_size = kMaxAnswerSize;
  // Keep cookies the server sets and send them back, as a browser session.
  bool cookies = false;
  // CA bundle for TLS; the system's when empty.
  std::string ca_file;
  std::string user_agent = "velna/0.1";
};

// session_headers are the fields a session sends with every request unless
// it is told otherwise: the User-Agent of |options| and "Accept: */*".
Headers session_headers(const Options& options);

struct Request {
  std::string method = "GET";  // sent in upper case
  std::string url;             // absolute, already prepared (prepare_url)
  Headers headers;
  ByteView body;  // must stay valid until send returns
  // Follow redirects (up to kMaxRedirects) that stay with the scheme, host
  // and port of |url|; a redirect elsewhere is returned as the answer, so
  // that no header goes to an address the caller did not name.
  bool follow_redirects = false;
};

inline constexpr int kMaxRedirects = 10;

// method_name is |method| as a request sends it: in upper case.
std::string method_name(std::string_view method);

// The body of a request made of parts: data that holds anything is sent, as
// it is or, when it is a list of items, form-encoded; otherwise a JSON value
// when one is given; otherwise there is none.
enum class BodyKind { None, Data, Form, Json };
BodyKind body_kind(bool has_data, bool data_is_items, bool has_json);

// content_type_for is the Content-Type that a body of |kind| is sent with
// unless the request names one: form-encoded items and JSON say what they
// are, other data and no body say nothing.
std::optional<std::string_view> content_type_for(BodyKind kind);

struct Response {
  long status = 0;
  std::string reason;
  std::string url;  // the address that answered
  Headers headers;  // repeated fields are joined with ", "
  Bytes body;
};

// Resize makes the caller's buffer for the body exactly |n| bytes long,
// keeping the bytes written so far (up to |n|), and returns where it
// starts; |whole| says that |n| is the length of the whole body, so the
// buffer will not grow again. An answer that announces its length gets one
// call with it before its first byte is written; a body of unknown length
// grows by calls as it arrives and is cut to the bytes received at the end,
// so the buffer never holds memory the answer did not write. When a
// transfer fails, what the buffer holds is no body at all. Called from the
// thread that runs send.
using Resize = std::function<std::uint8_t*(std::size_t n, bool whole)>;

// status_error is the text of the error that an answer of |status| stands
// for, "<status> Client Error: <reason> for url: <url>" (or "Server Error"
// from 500), with the address masked as mask_url shows it; nothing for a
// status below 400 or from 600.
std::optional<std::string> status_error(long status, std::string_view reason, std::string_view url);

// Client sends requests one at a time per connection. It is safe to share
// between threads: each send takes an idle handle of the pool (or a new
// one), so connections are reused by whichever request comes next.
class Client {
 public:
  explicit Client(Options options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // send makes one request and returns the answer, whatever its status.
  // Throws InvalidArgument for a header that check_field refuses,
  // InvalidUrl, ConnectionFailed (also for an answer shorter than it
  // announced), TimedOut, or RequestFailed (also for an answer whose length
  // is no length, or passes max_answer_size; see limits.h).
  Response send(const Request& request);
  // The same, with the body written where |resize| says (the response's
  // own body stays empty): so that it lands in the object that holds it
  // afterwards, without a copy.
  Response send(const Request& request, const Resize& resize);

  const Options& options() const { return options_; }
  void set_timeouts(std::chrono::milliseconds connect, std::chrono::seconds stall);
  void set_total_timeout(std::chrono::milliseconds total);
  void set_max_answer_size(std::uint64_t bytes);

  // close drops every pooled connection.
  void close();

  struct Handle;

 private:
  Response send_once(const Request& request, const Resize& resize, std::string& location);
  std::unique_ptr<Handle> acquire();
  void release(std::unique_ptr<Handle> handle);

  Options options_;
  // Counts the changes of the time-outs; a pooled handle is given them again
  // when it last saw another count.
  std::uint64_t timeouts_ = 1;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Handle>> idle_;
};

}  // namespace velna::http

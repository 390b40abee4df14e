// libcurl glue shared by the HTTP client and the object-storage transfer:
// owning handles, the header list of a request, the received header lines
// of an answer and the errors a failed transfer raises.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "internal/curl_library.h"
#include "velna/error.h"
#include "velna/handles.h"
#include "velna/http/client.h"
#include "velna/http/encoding.h"
#include "velna/http/headers.h"
#include "velna/http/limits.h"

namespace velna::internal {

using CurlEasy = std::unique_ptr<CURL, Free<easy_cleanup>>;
using CurlHeaders = std::unique_ptr<curl_slist, Free<slist_free_all>>;

inline CurlEasy make_easy() {
  CurlEasy easy(curl().easy_init());
  if (!easy) throw http::RequestFailed("libcurl could not make a handle");
  return easy;
}

inline void append_header(CurlHeaders& list, const std::string& line) {
  curl_slist* grown = curl().slist_append(list.get(), line.c_str());
  if (!grown) throw std::bad_alloc();
  list.release();
  list.reset(grown);
}

// header_list is the list of |headers| as libcurl sends them, each field
// checked first (check_field), followed by an empty "Expect:" so that a
// body goes at once, without waiting for "100 Continue".
inline CurlHeaders header_list(const http::Headers& headers) {
  CurlHeaders list;
  for (const http::Field& f : headers) {
    http::check_field(f.name, f.value);
    // An empty value is written "Name;", which curl sends as "Name:".
    append_header(list, f.value.empty() ? f.name + ";" : f.name + ": " + f.value);
  }
  append_header(list, "Expect:");
  return list;
}

// request_method is |method| in upper case; an empty one, or one holding
// white space, is refused.
inline std::string request_method(std::string_view method) {
  std::string out = http::method_name(method);
  if (out.empty() || out.find_first_of(" \t\r\n") != std::string::npos)
    throw InvalidArgument("Invalid HTTP method: " + std::string(method));
  return out;
}

inline std::string_view trim_field(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// HeaderLines gathers the header lines of one answer as libcurl hands them
// over: a status line (of an interim answer, or after a redirect) starts
// afresh, folded lines continue the field before, and repeated fields are
// joined with ", ".
struct HeaderLines {
  std::string reason;
  std::vector<http::Field> fields;

  struct Line {
    bool status = false;           // a status line: what came before is gone
    long code = 0;                 // the status of a status line
    std::string_view name, value;  // a field line (name empty otherwise)
  };

  Line add(std::string_view line) {
    if (line.substr(0, 5) == "HTTP/") {
      fields.clear();
      const std::size_t first = line.find(' ');
      std::string_view rest = first == std::string_view::npos ? "" : line.substr(first + 1);
      const std::size_t second = rest.find(' ');
      reason =
          std::string(trim_field(second == std::string_view::npos ? "" : rest.substr(second + 1)));
      const auto code = http::parse_decimal(trim_field(rest.substr(0, second)));
      return {true, code && *code < 1000 ? static_cast<long>(*code) : 0, {}, {}};
    }
    std::string_view l = trim_field(line);
    if (l.empty()) return {};
    if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
      fields.back().value += ' ';
      fields.back().value += l;
      return {};
    }
    const std::size_t colon = l.find(':');
    if (colon == std::string_view::npos) return {};
    const std::string_view name = trim_field(l.substr(0, colon));
    const std::string_view value = trim_field(l.substr(colon + 1));
    for (http::Field& f : fields) {
      if (http::iequals(f.name, name)) {
        f.value += ", ";
        f.value += value;
        return {false, 0, name, value};
      }
    }
    fields.push_back({std::string(name), std::string(value)});
    return {false, 0, name, value};
  }
};

// AnswerHead follows the head of the answer that a transfer receives: its
// header lines, and the length its body must keep (http::BodyLength).
struct AnswerHead {
  HeaderLines lines;
  http::BodyLength length;

  void add(std::string_view line) {
    const HeaderLines::Line l = lines.add(line);
    if (l.status)
      length.start(l.code);
    else if (!l.name.empty())
      length.field(l.name, l.value);
  }
};

// libcurl's receive buffer: large enough that bodies of megabytes arrive in
// few reads and few calls of on_body (its own default is 16 KiB), and no
// larger. libcurl frees it when a transfer ends; glibc then keeps blocks
// below the freed size on the heap, where a growing body is copied rather
// than moved, and the copy's old block stays resident. At 512 KiB that costs
// a body of unknown length at most about a megabyte, where curl's largest
// buffer (10 MiB) cost a 32 MiB body half its size again.
constexpr long kReceiveBuffer = 512L * 1024;

// A body of unknown length starts with this much room and then grows by
// half of what it holds each time, so that it is moved a logarithmic number
// of times and never holds much more than it received.
constexpr std::uint64_t kFirstRoom = 256 * 1024;

// Receiving follows one transfer: the head of each answer (a new status
// line, after a redirect or an interim answer, starts afresh) and the body
// of the last, written where the caller's Resize says. It is the state of
// on_header and on_body.
struct Receiving {
  Receiving(const http::Resize& r, http::BodyLength length)
      : resize(&r), head{{}, std::move(length)} {}

  const http::Resize* resize;
  internal::AnswerHead head;
  std::uint8_t* out = nullptr;
  std::uint64_t room = 0;
  bool placed = false;
  std::exception_ptr failure;

  void place(std::uint64_t n, bool whole) {
    // n is at most the limit, which memory bounds: it fits a size_t.
    out = (*resize)(static_cast<std::size_t>(n), whole);
    room = n;
    placed = true;
  }

  void body(const char* data, std::size_t n) {
    const std::uint64_t at = head.length.received();
    head.length.receive(n);
    if (!placed || n > room - at) {
      if (auto announced = head.length.announced())
        place(*announced, true);
      else
        place(std::min(head.length.limit(), std::max({at + n, room + room / 2, kFirstRoom})),
              false);
    }
    std::memcpy(out + at, data, n);
  }

  // finish checks the complete body and cuts the buffer to it.
  void finish() {
    try {
      head.length.finish();
      if (!placed || room != head.length.received()) place(head.length.received(), true);
    } catch (...) {
      failure = std::current_exception();
    }
  }
};

// on_header and on_body are the callbacks of a transfer whose receiving
// state |R| has an AnswerHead |head|, a body(data, n) and an exception_ptr
// |failure|: the first failure is kept there and stops the transfer.
template <typename R>
size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<R*>(user);
  try {
    r->head.add({data, size * count});
  } catch (...) {
    r->failure = std::current_exception();
    return 0;
  }
  return size * count;
}

template <typename R>
size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<R*>(user);
  try {
    r->body(data, size * count);
  } catch (...) {
    r->failure = std::current_exception();
    return 0;
  }
  return size * count;
}

// failure_text is what libcurl says of a failed transfer: the handle's error
// buffer when it holds a message, else the text of |code|.
inline std::string failure_text(CURLcode code, const char* buffer) {
  return buffer && buffer[0] ? std::string(buffer) : std::string(curl().easy_strerror(code));
}

// throw_failure raises the client's error for a failed transfer of |method|
// to |url| (named in the message with its credentials masked); |sent| is
// the number of request bytes that left (none: the time-out ran out while
// connecting).
[[noreturn]] inline void throw_failure(CURLcode code, std::string message, long sent,
                                       std::string_view method, std::string_view url) {
  message += " (";
  message += method;
  message += " ";
  message += http::mask_url(url);
  message += ")";
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      throw http::TimedOut(message, sent == 0);
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw http::InvalidUrl(message);
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
      throw http::ConnectionFailed(message);
    default:
      throw http::RequestFailed(message);
  }
}

// throw_refused raises |failure|, kept by a callback or by the check of the
// complete answer, naming the request as throw_failure does: an answer cut
// short is a ConnectionFailed, as libcurl's own partial transfers are, and
// every other refusal of the answer a RequestFailed. Anything else (no
// memory, an error of the caller's allocator) passes unchanged.
[[noreturn]] inline void throw_refused(std::exception_ptr failure, long sent,
                                       std::string_view method, std::string_view url) {
  try {
    std::rethrow_exception(failure);
  } catch (const http::ConnectionFailed& e) {
    throw_failure(CURLE_PARTIAL_FILE, e.what(), sent, method, url);
  } catch (const http::RequestFailed& e) {
    throw_failure(CURLE_WRITE_ERROR, e.what(), sent, method, url);
  }
}

}  // namespace velna::internal

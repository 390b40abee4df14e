// The HTTP client against a small server on 127.0.0.1 run by the test
// itself, and the encodings of queries, addresses and credentials.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal/curl_library.h"
#include "test_support.h"
#include "velna/http/client.h"
#include "velna/http/encoding.h"
#include "velna/http/headers.h"
#include "velna/http/retry.h"

namespace {

using namespace std::chrono_literals;
namespace http = velna::http;
namespace internal = velna::internal;

using velna::test::chunked_answer;
using velna::test::closed_port;
using velna::test::TestServer;

TEST(HttpClient, ReusesOneConnectionAndSendsMethodHeadersAndBody) {
  TestServer server;
  server.script("HTTP/1.1 201 Created\r\nX-Thing: a\r\nx-thing: b\r\nContent-Length: 0\r\n\r\n");
  http::Client client;
  http::Request put{"put", server.url("/a/b?x=1"), {}, velna::as_bytes("payload")};
  put.headers.add("X-Velna-Api-Key", "key");
  http::Response r = client.send(put);
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.reason, "Created");
  EXPECT_EQ(r.headers.get("X-THING"), "a, b");
  EXPECT_TRUE(r.body.empty());

  for (const char* method : {"GET", "DELETE", "POST", "HEAD"}) {
    http::Response again = client.send({method, server.url("/c"), {}, {}});
    EXPECT_EQ(again.status, 200) << method;
    EXPECT_EQ(std::string(again.body.begin(), again.body.end()),
              method == std::string("HEAD") ? "" : "ok");
  }
  EXPECT_EQ(server.connections(), 1);

  auto seen = server.seen();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].head.substr(0, 24), "PUT /a/b?x=1 HTTP/1.1\r\nH");
  EXPECT_NE(seen[0].head.find("\r\nX-Velna-Api-Key: key\r\n"), std::string::npos);
  EXPECT_EQ(seen[0].head.find("Expect"), std::string::npos);
  EXPECT_EQ(seen[0].head.find("Content-Type"), std::string::npos);
  EXPECT_EQ(seen[0].body, "payload");
  EXPECT_EQ(seen[1].head.substr(0, 6), "GET /c");
  EXPECT_EQ(seen[2].head.substr(0, 9), "DELETE /c");
  EXPECT_NE(seen[2].head.find("Content-Length: 0"), std::string::npos);
  EXPECT_EQ(seen[3].head.substr(0, 7), "POST /c");
}

TEST(HttpClient, RefusesHeaderValuesThatWouldSplitTheRequestBeforeSending) {
  TestServer server;
  http::Client client;
  for (std::string bad :
       {std::string("a\r\nX-Evil: 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
    http::Request req{"GET", server.url(), {}, {}};
    EXPECT_THROW(req.headers.add("X-Velna-App-Name", bad), velna::InvalidArgument);
  }
  http::Headers h;
  EXPECT_THROW(h.add("Bad Name", "v"), velna::InvalidArgument);
  EXPECT_THROW(h.add("", "v"), velna::InvalidArgument);
  EXPECT_THROW(client.send({"GET\r\nX: y", server.url(), {}, {}}), velna::InvalidArgument);
  EXPECT_TRUE(server.seen().empty());
}

TEST(HttpClient, FollowsNoRedirect) {
  TestServer server;
  server.script(
      "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.2:1/elsewhere\r\nContent-Length: 0\r\n\r\n");
  http::Client client;
  http::Request req{"GET", server.url("/here"), {}, {}};
  req.headers.add("Authorization", "Basic c2VjcmV0");
  http::Response r = client.send(req);
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.url, server.url("/here"));
  EXPECT_EQ(server.seen().size(), 1u);
}

TEST(HttpClient, FollowsRedirectsOnlyWithinTheSameOriginWhenAsked) {
  TestServer here, elsewhere;
  http::Client client;
  here.script("HTTP/1.1 303 See Other\r\nLocation: /next?x=1\r\nContent-Length: 0\r\n\r\n");
  here.script("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone");
  http::Request post{"POST", here.url("/start"), {}, velna::as_bytes("body"), true};
  post.headers.add("X-Velna-Api-Key", "key");
  http::Response r = client.send(post);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.url, here.url("/next?x=1"));
  auto seen = here.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].head.substr(0, 19), "GET /next?x=1 HTTP/");
  EXPECT_NE(seen[1].head.find("X-Velna-Api-Key: key"), std::string::npos);
  EXPECT_EQ(seen[1].body, "");

  here.script("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + elsewhere.url("/steal") +
              "\r\nContent-Length: 0\r\n\r\n");
  r = client.send(post);
  EXPECT_EQ(r.status, 307);
  EXPECT_TRUE(elsewhere.seen().empty());

  EXPECT_TRUE(http::same_origin("http://Host/a", "http://host:80/b"));
  EXPECT_TRUE(http::same_origin("https://[::1]/a", "https://[::1]:443/"));
  EXPECT_FALSE(http::same_origin("http://host/a", "https://host/a"));
  EXPECT_FALSE(http::same_origin("http://host/a", "http://host:8080/a"));
  EXPECT_FALSE(http::same_origin("http://host/a", "not a url"));
}

TEST(HttpClient, ConnectionFailuresAndTimeOutsAreTheirOwnErrors) {
  http::Client client;
  const std::string refused = "http://127.0.0.1:" + std::to_string(closed_port()) + "/";
  EXPECT_THROW(client.send({"GET", refused, {}, {}}), http::ConnectionFailed);
  // The address is named in the message, its credentials masked.
  try {
    client.send({"GET", refused + "?userId=u&verification=SECRET", {}, {}});
    FAIL() << "no connection failure";
  } catch (const http::ConnectionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("(GET " + refused + "?userId=u&verification=***)"),
              std::string::npos)
        << e.what();
  }

  TestServer server;
  server.script("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 2500ms);
  client.set_timeouts(1000ms, 1s);
  try {
    client.send({"GET", server.url(), {}, {}});
    FAIL() << "no time-out";
  } catch (const http::TimedOut& e) {
    EXPECT_FALSE(e.connecting());
  }
  EXPECT_EQ(client.options().connect_timeout, 1000ms);
}

// libcurl is opened on the first transfer; a library that is missing, or
// that lacks a function, is a RequestFailed that names it, and nothing is
// left open.
TEST(HttpClient, LibcurlIsOpenedWhenFirstNeededOrRefusedWithItsName) {
  struct Case {
    const char* soname;
    const char* said;
  };
  for (const Case& c : {Case{"libvelna-no-such-curl.so.4", "libcurl could not be loaded"},
                        Case{"libc.so.6", "libc.so.6 has no curl_global_init"}}) {
    try {
      internal::load_curl(c.soname);
      FAIL() << c.soname << " loaded";
    } catch (const http::RequestFailed& e) {
      EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << e.what();
    }
  }
  const internal::CurlLibrary& curl = internal::curl();
  EXPECT_EQ(&curl, &internal::curl());
  EXPECT_STREQ(curl.easy_strerror(CURLE_OK), "No error");
}

TEST(HttpClient, TimeOutsAreSetByDefault) {
  http::Client client;
  EXPECT_EQ(client.options().connect_timeout, http::kConnectTimeout);
  EXPECT_EQ(client.options().stall_timeout, http::kStallTimeout);
  EXPECT_EQ(client.options().total_timeout, http::kTotalTimeout);
  EXPECT_EQ(client.options().max_answer_size, http::kMaxAnswerSize);
  EXPECT_EQ(http::kMaxAnswerSize, 64u << 20);

  // Seconds as callers give them; beyond a year is a year.
  EXPECT_EQ(http::timeout_from_seconds(1.5), 1500ms);
  EXPECT_EQ(http::timeout_from_seconds(0.0001), 1ms);
  EXPECT_EQ(http::timeout_from_seconds(1e300), std::chrono::milliseconds(31536000000));
  for (double bad : {0.0, -1.0, std::nan(""), HUGE_VAL})
    EXPECT_FALSE(http::timeout_from_seconds(bad)) << bad;
}

std::string plain(std::string_view length, std::size_t n) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::string(length) + "\r\n\r\n" +
         velna::test::filler(n);
}

TEST(HttpClient, AnswersKeepTheLengthTheyAnnounceAndTheLimit) {
  enum Outcome { kTaken, kRefused, kCutShort };
  struct Case {
    const char* name;
    std::string method;
    std::string raw;
    Outcome outcome;
    std::size_t body = 0;  // of an answer taken
  };
  const Case cases[] = {
      {"chunked under a larger length", "GET", chunked_answer("Content-Length: 1000\r\n", 100),
       kCutShort},
      {"chunked under a smaller length", "GET", chunked_answer("Content-Length: 10\r\n", 100),
       kRefused},
      {"chunked under its own length", "GET", chunked_answer("Content-Length: 100\r\n", 100),
       kTaken, 100},
      {"chunked without a length", "GET", chunked_answer("", 1000), kTaken, 1000},
      {"chunked past the limit", "GET", chunked_answer("", 5000), kRefused},
      {"a length past 2^64", "GET", plain("18446744073709551617", 100), kRefused},
      {"a length that is no number", "GET", plain("12abc", 12), kRefused},
      {"two lengths in one field", "GET", plain("5, 6", 5), kRefused},
      {"one length twice", "GET", plain("3, 3", 3), kTaken, 3},
      {"a length of 10^14", "GET", plain("100000000000000", 100), kRefused},
      {"a length past the limit", "GET", plain("4097", 0), kRefused},
      {"a HEAD answer announces the object's length", "HEAD", plain("100000000000000", 0), kTaken},
  };
  for (const Case& c : cases) {
    TestServer server;  // a fresh connection for each answer, however it ends
    server.script(c.raw);
    http::Client client;
    client.set_max_answer_size(4096);
    const std::string url = server.url("/answer");
    try {
      http::Response r = client.send({c.method, url, {}, {}});
      EXPECT_EQ(c.outcome, kTaken) << c.name;
      EXPECT_EQ(velna::as_chars(r.body), velna::test::filler(c.body)) << c.name;
    } catch (const http::ConnectionFailed& e) {
      EXPECT_EQ(c.outcome, kCutShort) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find("(" + c.method + " " + url + ")"), std::string::npos);
    } catch (const http::RequestFailed& e) {
      EXPECT_EQ(c.outcome, kRefused) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find("(" + c.method + " " + url + ")"), std::string::npos);
    }
  }
}

TEST(HttpClient, AWholeRequestIsBoundedHoweverSlowlyItTrickles) {
  TestServer server;
  // Two bytes every 200 ms never stalls, and would take ten seconds.
  server.script(plain("100", 100), {}, 200ms);
  http::Client client;
  client.set_total_timeout(800ms);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(client.send({"GET", server.url(), {}, {}}), http::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(client.options().stall_timeout, http::kStallTimeout);
}

TEST(HttpClient, APooledConnectionTakesTheTimeOutsAsTheyAreNow) {
  TestServer server;
  http::Client client;
  server.script(plain("2", 2));
  EXPECT_EQ(client.send({"GET", server.url(), {}, {}}).status, 200);
  // The same connection again, after each change of the time-outs.
  server.script(plain("100", 100), {}, 200ms);
  client.set_total_timeout(600ms);
  EXPECT_THROW(client.send({"GET", server.url(), {}, {}}), http::TimedOut);
  server.script(plain("2", 2), 2500ms);
  client.set_timeouts(1000ms, 1s);
  client.set_total_timeout(http::kTotalTimeout);
  EXPECT_THROW(client.send({"GET", server.url(), {}, {}}), http::TimedOut);
  server.script(plain("2", 2), 300ms);
  client.set_timeouts(http::kConnectTimeout, http::kStallTimeout);
  EXPECT_EQ(client.send({"GET", server.url(), {}, {}}).status, 200);
}

TEST(HttpEncoding, QueryValuesAreFormEncoded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a b", "a+b"},   {"a+b/c?d=e&f", "a%2Bb%2Fc%3Fd%3De%26f"},
      {"_.-~", "_.-~"}, {"\xc3\xa9", "%C3%A9"},
      {"", ""},         {"2026-12-10T14:00:00+00:00", "2026-12-10T14%3A00%3A00%2B00%3A00"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(http::quote_plus(in), out) << in;
  EXPECT_EQ(http::encode_query({{"b", "1"}, {"a", "x y"}, {"b", "2"}}), "b=1&a=x+y&b=2");
}

TEST(HttpEncoding, AddressesArePreparedOrRefused) {
  EXPECT_EQ(http::prepare_url("http://h:1", ""), "http://h:1/");
  EXPECT_EQ(http::prepare_url("HTTPS://h/a b/%41%zz?q=1", "r=2"),
            "https://h/a%20b/%41%25zz?q=1&r=2");
  EXPECT_EQ(http::prepare_url("http://[::1]:80/x", "a=1"), "http://[::1]:80/x?a=1");
  for (const char* bad : {"v1.0/time/", "ftp://h/", "file:///etc/passwd", "http:///x", "http://",
                          "http://[::1/", "http://a b/", "//h/x"})
    EXPECT_THROW(http::prepare_url(bad, ""), http::InvalidUrl) << bad;
  EXPECT_EQ(http::parse_url("http://u:p@host:8080/p?q#f").host, "host");
}

TEST(HttpEncoding, CredentialNamesAreKnownWhateverTheirCase) {
  for (const char* name : {"verification", "Verification", "X-Velna-Api-Key", "x-velna-api-key",
                           "Authorization", "token", "X-Amz-Security-Token", "accessToken",
                           "X-Amz-Signature", "Signature", "signatures", "sig", "SIG", "password",
                           "Passphrase", "api_key", "apiKey", "client_secret", "passwordVerifier"})
    EXPECT_TRUE(http::secret_name(name)) << name;
  for (const char* name : {"userId", "authKeyIndex", "challenge", "reminder", "keyFile",
                           "X-Request-Id", "X-Velna-App-Name", "Range", "signing",
                           "X-Amz-Credential", "expiration", "designation", "tokens", ""})
    EXPECT_FALSE(http::secret_name(name)) << name;
}

TEST(HttpEncoding, MaskedAddressesKeepTheirShapeAndLoseTheirCredentials) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://h/v1.0/lockbox/fetch/?userId=u-1&verification=ab%2Bc%3D",
       "http://h/v1.0/lockbox/fetch/?userId=u-1&verification=***"},
      {"http://h/v1.0/login/?userId=u&authKeyIndex=0&challenge=2026-12-10T14%3A00&verification=MGQ",
       "http://h/v1.0/login/"
       "?userId=u&authKeyIndex=0&challenge=2026-12-10T14%3A00&verification=***"},
      {"https://s3.example/b/"
       "o?X-Amz-Credential=AK%2F1&X-Amz-Signature=ff&X-Amz-Security-Token=tt&x=1",
       "https://s3.example/b/"
       "o?X-Amz-Credential=AK%2F1&X-Amz-Signature=***&X-Amz-Security-Token=***&x=1"},
      {"http://h/p?TOKEN=a&token=b&sig=c#token=d",
       "http://h/p?TOKEN=***&token=***&sig=***#token=d"},
      {"http://h/p?a=1&&password=&verification&b", "http://h/p?a=1&&password=***&verification&b"},
      {"http://user:pw@h:8080/p?q=1", "http://user:***@h:8080/p?q=1"},
      {"https://ghp_tok@h/p", "https://***@h/p"},
      {"http://h/a@b:c?x=1", "http://h/a@b:c?x=1"},
      {"http://h/p?designation=x&userId=y", "http://h/p?designation=x&userId=y"},
      {"plain words?apikey=k", "plain words?apikey=***"},
      {"v1.0/time/", "v1.0/time/"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(http::mask_url(in), out) << in;
}

TEST(HttpEncoding, RefusedAddressesAreNamedWithTheirCredentialsMasked) {
  for (const char* bad : {"ftp://h/?verification=SECRET", "v1.0/x/?token=SECRET",
                          "http://[::1/?password=SECRET", "http://u:SECRET@/x"}) {
    try {
      http::prepare_url(bad, "");
      ADD_FAILURE() << bad;
    } catch (const http::InvalidUrl& e) {
      EXPECT_EQ(std::string(e.what()).find("SECRET"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("***"), std::string::npos) << e.what();
    }
  }
}

TEST(HttpEncoding, BasicCredentials) {
  // RFC 7617, section 2.
  EXPECT_EQ(http::basic_authorization(velna::as_bytes("Aladdin"), velna::as_bytes("open sesame")),
            "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(http::base64({}), "");
  EXPECT_EQ(http::base64(velna::as_bytes("f")), "Zg==");
  EXPECT_EQ(http::base64(velna::as_bytes("foob")), "Zm9vYg==");
}

TEST(HttpRetry, WaitsGrowAndStopAtTheLastAttempt) {
  http::RetryPolicy policy;
  std::vector<long long> waits;
  int attempts = 0;
  EXPECT_THROW(http::with_retry(
                   policy,
                   [&]() -> int {
                     ++attempts;
                     throw std::runtime_error("busy");
                   },
                   [](std::exception_ptr) { return true; },
                   [&](std::chrono::milliseconds w) { waits.push_back(w.count()); }),
               std::runtime_error);
  EXPECT_EQ(attempts, 10);
  EXPECT_EQ(waits,
            (std::vector<long long>{2000, 4000, 8000, 10000, 10000, 10000, 10000, 10000, 10000}));

  attempts = 0;
  waits.clear();
  int result = http::with_retry(
      policy, [&] { return ++attempts < 3 ? throw std::runtime_error("busy"), 0 : attempts; },
      [](std::exception_ptr) { return true; },
      [&](std::chrono::milliseconds w) { waits.push_back(w.count()); });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(waits, (std::vector<long long>{2000, 4000}));

  attempts = 0;
  EXPECT_THROW(http::with_retry(
                   policy,
                   [&]() -> int {
                     ++attempts;
                     throw std::logic_error("no");
                   },
                   [](std::exception_ptr) { return false; }, [](std::chrono::milliseconds) {}),
               std::logic_error);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(policy.wait_after(100), 10000ms);
}

TEST(HttpRetry, TheTemporaryStatusesAreTheOnesWorthWaitingOut) {
  std::vector<long> temporary;
  for (long status = 100; status < 600; ++status)
    if (http::is_temporary_status(status)) temporary.push_back(status);
  EXPECT_EQ(temporary, (std::vector<long>{429, 500, 502, 503}));
  for (const http::TemporaryStatus& t : http::kTemporaryStatuses) {
    EXPECT_FALSE(t.name.empty()) << t.status;
    EXPECT_EQ(t.text.back(), '.') << t.status;
  }
}

TEST(HttpHeaders, NamesIgnoreCaseAndOneFieldStandsForEachName) {
  http::FieldList<int> list;
  list.append("Accept", 1);
  list.append("X-Thing", 2);
  list.append("x-thing", 3);
  list.put("X-THING", 4);  // in place of the first, the later one gone
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.fields()[1].name, "X-THING");
  EXPECT_EQ(list.fields()[1].value, 4);
  list.put("content-type", 5);  // appended
  EXPECT_EQ(list.fields()[2].name, "content-type");
  ASSERT_NE(list.find("ACCEPT"), nullptr);
  EXPECT_EQ(list.find("ACCEPT")->value, 1);
  EXPECT_EQ(list.find("Accep"), nullptr);
  EXPECT_TRUE(list.erase("accept"));
  EXPECT_FALSE(list.erase("accept"));
  EXPECT_FALSE(list.contains("Accept"));

  http::Headers h;
  h.add("Content-Type", "a");
  h.set("content-type", "b");
  EXPECT_EQ(h.get("CONTENT-TYPE"), "b");
  EXPECT_THROW(h.set("X", "a\r\nY: b"), velna::InvalidArgument);
  EXPECT_EQ(http::lower_ascii("X-Velna-Api-Key \xc3\x89"), "x-velna-api-key \xc3\x89");
}

TEST(HttpHeaders, TheCharsetOfAContentType) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"text/plain; charset=UTF-8", "utf-8"},
      {"text/html;charset=\"ISO-8859-1\"; q=1", "iso-8859-1"},
      {"text/plain; CHARSET= 'utf-16' ", "utf-16"},
      {"application/json", std::nullopt},
      {"text/plain; charset=", std::nullopt},
      {"text/plain; charset=\"\"", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [type, charset] : cases)
    EXPECT_EQ(http::content_type_charset(type), charset) << type;
}

TEST(HttpStatus, ErrorTextsNameTheStatusAndTheMaskedAddress) {
  EXPECT_EQ(http::status_error(404, "Not Found", "http://h/a?userId=u&verification=V3r"),
            "404 Client Error: Not Found for url: http://h/a?userId=u&verification=***");
  EXPECT_EQ(http::status_error(503, "", "http://u:pw@h/"),
            "503 Server Error:  for url: http://u:***@h/");
  for (long ok : {100L, 200L, 302L, 399L, 600L, 0L, -1L})
    EXPECT_EQ(http::status_error(ok, "x", "http://h/"), std::nullopt) << ok;
  EXPECT_EQ(http::status_error(599, "x", "http://h/")->substr(0, 17), "599 Server Error:");
}

TEST(HttpRequestParts, MethodsAndBodies) {
  EXPECT_EQ(http::method_name("get"), "GET");
  EXPECT_EQ(http::method_name("pAtch-1"), "PATCH-1");
  EXPECT_EQ(http::method_name(""), "");
  EXPECT_EQ(http::body_kind(true, false, true), http::BodyKind::Data);
  EXPECT_EQ(http::body_kind(true, true, true), http::BodyKind::Form);
  EXPECT_EQ(http::body_kind(false, true, true), http::BodyKind::Json);
  EXPECT_EQ(http::body_kind(false, false, false), http::BodyKind::None);
  EXPECT_EQ(http::content_type_for(http::BodyKind::Form), "application/x-www-form-urlencoded");
  EXPECT_EQ(http::content_type_for(http::BodyKind::Json), "application/json");
  EXPECT_EQ(http::content_type_for(http::BodyKind::Data), std::nullopt);
  EXPECT_EQ(http::content_type_for(http::BodyKind::None), std::nullopt);
}

TEST(HttpRequestParts, ResourcePathsStallTimeOutsAndRequestCredentials) {
  const std::pair<std::string_view, std::string_view> paths[] = {
      {"", "/"},           {"/", "/"},       {"echo", "/echo/"}, {"/echo", "/echo/"},
      {"echo/", "/echo/"}, {"a/b", "/a/b/"}, {"//x//", "//x//"}};
  for (const auto& [path, want] : paths) EXPECT_EQ(http::api_path(path), want) << path;

  const std::pair<std::int64_t, std::int64_t> stalls[] = {
      {1, 1}, {499, 1}, {1000, 1}, {1499, 1}, {1500, 2}, {2499, 2}, {30000, 30}, {30500, 31}};
  for (const auto& [ms, want] : stalls)
    EXPECT_EQ(http::stall_timeout_of(std::chrono::milliseconds(ms)).count(), want) << ms;

  // "2026-01-02T03:04:05+00:00" in base64, as any encoder writes it.
  const http::RequestCredentials c =
      http::request_credentials("tok", "2026-01-02T03:04:05+00:00", "id-1");
  EXPECT_EQ(c.user, "tok,MjAyNi0wMS0wMlQwMzowNDowNSswMDowMA==");
  EXPECT_EQ(c.signed_text, c.user + "id-1");
  EXPECT_EQ(http::request_credentials("", "", "").user, ",");

  http::Options options;
  options.user_agent = "agent/2";
  std::vector<std::pair<std::string, std::string>> fields;
  for (const http::Field& f : http::session_headers(options)) fields.emplace_back(f.name, f.value);
  EXPECT_EQ(fields, (decltype(fields){{"User-Agent", "agent/2"}, {"Accept", "*/*"}}));
}

}  // namespace

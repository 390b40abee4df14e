// Encodings of HTTP requests: query strings, addresses and Basic
// credentials.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velna/bytes.h"

namespace velna::http {

// quote_plus form-encodes |text|: letters, digits and "_.-~" stay, a blank
// becomes "+", every other byte becomes %XX (upper-case hex).
std::string quote_plus(std::string_view text);

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// encode_query joins the items, in order, as key=value pairs separated by
// "&", both sides through quote_plus.
std::string encode_query(const QueryItems& items);

// requote percent-encodes every byte that may not stand in a URL (blanks,
// controls, bytes above 0x7F, and a "%" that does not start a valid escape);
// what may stand there, valid escapes included, is kept as it is.
std::string requote(std::string_view text);

// ParsedUrl holds the parts of an absolute http or https address.
struct ParsedUrl {
  std::string scheme;     // lower case
  std::string authority;  // [userinfo@]host[:port]
  std::string host;
  std::string path;  // "/" when the address has none
  std::string query;
  std::string fragment;
};

// parse_url splits an absolute address; InvalidUrl (see client.h) when it
// has no scheme, a scheme other than http or https, or no host.
ParsedUrl parse_url(std::string_view url);

// prepare_url is the address a request goes to: |url| requoted, with
// |query| (already encoded) appended to any query it has. Throws like
// parse_url.
std::string prepare_url(std::string_view url, std::string_view query);

// same_origin: both absolute addresses have the same scheme, host and port
// (80 for http and 443 for https when none is written). False when either
// does not parse.
bool same_origin(std::string_view a, std::string_view b);

// base64 is the standard alphabet with padding, without line breaks.
std::string base64(ByteView data);

// secret_name: whether the value under |name| (a query parameter, a header
// field or a JSON member; case is ignored) is a credential: the name is
// "sig" or ends with "verification", "verifier", "signature", "signatures",
// "token", "password", "passphrase", "secret", "authorization" or "api-key"
// (also written "api_key" or "apikey"). Such values never go into a message
// or a log line.
bool secret_name(std::string_view name);

// mask_url is |url| as a message or a log line may show it: the value of
// every query parameter whose name is a secret_name, and the password of
// the user information, read "***"; everything else is kept as it is. Any
// text is taken, also one that is no valid address.
std::string mask_url(std::string_view url);

// basic_authorization is the value of the Authorization header that carries
// |user| and |password| with the Basic scheme.
std::string basic_authorization(ByteView user, ByteView password);

// api_path is |path| as the versioned interface names its resources: with
// a leading and a trailing "/" (a lone "/" for an empty path).
std::string api_path(std::string_view path);

// RequestCredentials are the Basic credentials that a logged-in session
// sends with one request: the user is the token, a comma and the base64 of
// the time stamp |time_text| (the server's clock as the client estimates
// it); the password is the base64 of a signature over |signed_text|, the
// user followed by the request id.
struct RequestCredentials {
  std::string user;
  std::string signed_text;
};
RequestCredentials request_credentials(std::string_view token, std::string_view time_text,
                                       std::string_view request_id);

}  // namespace velna::http

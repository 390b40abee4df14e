#include "velna/json/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace velna::json {

void append_number(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v > 0 ? "Infinity" : "-Infinity";
    return;
  }
  // The shortest digits that read back as v, as d.ddde±XX.
  char sci[32];
  const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const std::string_view text(sci, static_cast<std::size_t>(r.ptr - sci));
  const std::size_t e = text.find('e');
  int exp = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exp);
  if (exp < -4 || exp > 15) {
    out += text;  // the exponent has a sign and at least two digits
    return;
  }
  std::string_view mantissa = text.substr(0, e);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  digits += mantissa.front();
  if (mantissa.size() > 2) digits += mantissa.substr(2);  // past "d."
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
    return;
  }
  const auto whole = static_cast<std::size_t>(exp) + 1;
  if (digits.size() <= whole) {
    out += digits;
    out.append(whole - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, whole);
    out += '.';
    out.append(digits, whole);
  }
}

std::string error_text(std::string_view message, std::size_t pos, Location at, std::size_t end,
                       Location end_at) {
  char buf[160];
  if (end != kNoPos) {
    std::snprintf(buf, sizeof buf, ": line %zu column %zu - line %zu column %zu (char %zu - %zu)",
                  at.line, at.column, end_at.line, end_at.column, pos, end);
  } else {
    std::snprintf(buf, sizeof buf, ": line %zu column %zu (char %zu)", at.line, at.column, pos);
  }
  std::string text(message);
  text += buf;
  return text;
}

std::string control_character_error(std::uint32_t c) {
  std::string text = "Invalid control character '";
  switch (c) {
    case '\t':
      text += "\\t";
      break;
    case '\n':
      text += "\\n";
      break;
    case '\r':
      text += "\\r";
      break;
    default:
      text += "\\x";
      text += detail::kHex[(c >> 4) & 0xf];
      text += detail::kHex[c & 0xf];
      break;
  }
  text += "' at";
  return text;
}

double to_double(std::string_view text) {
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc::result_out_of_range) return v;
  // Beyond the range: infinite when the first significant digit stands at or
  // above the units (the text is far above the largest double), else zero.
  const bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  const std::size_t e = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_not_of("0.");
  if (first == std::string_view::npos) return negative ? -0.0 : 0.0;
  // The power of ten of the first significant digit, without the exponent.
  std::int64_t lead = first < point ? static_cast<std::int64_t>(point - first) - 1
                                    : -static_cast<std::int64_t>(first - point);
  bool large = false;
  if (e != std::string_view::npos) {
    std::string_view exp = text.substr(e + 1);
    const bool down = exp.front() == '-';
    if (exp.front() == '+' || down) exp.remove_prefix(1);
    exp.remove_prefix(std::min(exp.find_first_not_of('0'), exp.size()));
    // Far beyond the range whichever the digits: the sign alone decides.
    if (exp.size() > 9) {
      large = !down;
    } else {
      std::int64_t x = 0;
      std::from_chars(exp.data(), exp.data() + exp.size(), x);
      large = lead + (down ? -x : x) >= 0;
    }
  } else {
    large = lead >= 0;
  }
  const double magnitude = large ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

}  // namespace velna::json

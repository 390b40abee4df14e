// Retrying with exponential waits: after the n-th failed attempt the caller
// waits min(multiplier * 2^n, max_wait) and tries again, up to max_attempts
// attempts in all.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

namespace velna::http {

struct RetryPolicy {
  std::chrono::milliseconds multiplier{1000};
  std::chrono::milliseconds max_wait{10000};
  std::uint32_t max_attempts = 10;

  // wait_after is the wait that follows failed attempt |attempt| (from 1).
  std::chrono::milliseconds wait_after(std::uint32_t attempt) const {
    if (attempt >= 63) return max_wait;
    const auto wait = multiplier.count() * (std::int64_t{1} << attempt);
    return wait > max_wait.count() || wait < 0 ? max_wait : std::chrono::milliseconds(wait);
  }
};

// The statuses that report a condition worth waiting out, in order, each
// with the name of its condition and what it tells the caller.
struct TemporaryStatus {
  long status;
  std::string_view name;
  std::string_view text;
};
inline constexpr std::array<TemporaryStatus, 4> kTemporaryStatuses{{
    {429, "TooManyRequests", "Try again later."},
    {500, "InternalServer", "Internal server error."},
    {502, "BadGateway", "Bad gateway."},
    {503, "ServiceUnavailable", "Service unavailable."},
}};

// is_temporary_status: |status| is one of kTemporaryStatuses.
inline bool is_temporary_status(long status) {
  for (const TemporaryStatus& t : kTemporaryStatuses)
    if (t.status == status) return true;
  return false;
}

// with_retry runs |attempt| until it returns. When it throws, |should_retry|
// is given the exception: on false, or after the last attempt, the exception
// passes on unchanged; on true, |sleep| is given the wait and the next
// attempt follows.
template <typename Attempt, typename ShouldRetry, typename Sleep>
auto with_retry(const RetryPolicy& policy, Attempt&& attempt, ShouldRetry&& should_retry,
                Sleep&& sleep) -> decltype(attempt()) {
  for (std::uint32_t n = 1;; ++n) {
    try {
      return attempt();
    } catch (...) {
      if (!should_retry(std::current_exception()) || n >= policy.max_attempts) throw;
    }
    sleep(policy.wait_after(n));
  }
}

}  // namespace velna::http

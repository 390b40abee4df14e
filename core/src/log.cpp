#include "velna/log.h"

#include <atomic>
#include <mutex>

namespace velna::log {
namespace {

std::mutex sink_mutex;
std::shared_ptr<Sink> current_sink;

std::shared_ptr<Sink> sink() {
  std::lock_guard lock(sink_mutex);
  return current_sink;
}

}  // namespace

void set_sink(std::shared_ptr<Sink> s) {
  std::lock_guard lock(sink_mutex);
  current_sink = std::move(s);
}

void write(std::string_view logger, Level level, std::string_view text) {
  if (auto s = sink()) s->write(logger, level, text);
}

}  // namespace velna::log

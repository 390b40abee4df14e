// Logging bridge. The core reports (logger name, level, text) to one
// process-wide sink; with no sink installed it is silent. The Python binding
// installs a sink that writes through the standard logging module.
#pragma once

#include <memory>
#include <string_view>

namespace velna::log {

enum class Level : int { Debug = 10, Info = 20, Warning = 30, Error = 40 };

class Sink {
 public:
  virtual ~Sink() = default;
  // write hands one finished line to the logger called |logger|.
  virtual void write(std::string_view logger, Level level, std::string_view text) = 0;
};

// set_sink installs |sink| for the whole process (nullptr removes it).
void set_sink(std::shared_ptr<Sink> sink);

// write sends one line to the installed sink, if any.
void write(std::string_view logger, Level level, std::string_view text);

}  // namespace velna::log

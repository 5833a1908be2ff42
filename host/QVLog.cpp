#include "host/QVLog.h"

#include <string>

namespace qv {

namespace {
constexpr std::string_view kLinePrefix = "QVMailPlugin - ";
}  // namespace

void qvLog(QVLogSink* sink, std::string_view message) {
  if (sink == nullptr) return;
  std::string line;
  line.reserve(kLinePrefix.size() + message.size());
  line.append(kLinePrefix).append(message);
  sink->writeLine(line);
}

}  // namespace qv

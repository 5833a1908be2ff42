#include "host/QVLog.h"

#include <atomic>
#include <string>

namespace qv {

namespace {
std::atomic<QVLogSink*> gSink{nullptr};
constexpr std::string_view kLinePrefix = "QVMailPlugin - ";
}  // namespace

QVLogSink* setLogSink(QVLogSink* sink) {
  return gSink.exchange(sink);
}

void qvLog(std::string_view message) {
  QVLogSink* sink = gSink.load();
  if (sink == nullptr) return;
  std::string line;
  line.reserve(kLinePrefix.size() + message.size());
  line.append(kLinePrefix).append(message);
  sink->writeLine(line);
}

}  // namespace qv

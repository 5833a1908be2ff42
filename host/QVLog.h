#pragma once
// The system log as the plug-in sees it: one line per message.
//
// `qvLog(sink, message)` writes "QVMailPlugin - <message>" as one line to the sink. The
// message is plain text: it is never used as a format, so a "%" in it is printed as is.
// Without a sink, messages are dropped (a plug-in must not write where the host did not ask).

#include <string_view>

namespace qv {

class QVLogSink {
 public:
  virtual ~QVLogSink() = default;
  // Receives one complete line, without a line feed.
  virtual void writeLine(std::string_view line) = 0;
};

// Logs one message in the plug-in's line form; nothing when `sink` is null.
void qvLog(QVLogSink* sink, std::string_view message);

}  // namespace qv

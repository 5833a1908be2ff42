#pragma once
// The system log as the plug-in sees it: one line per message.
//
// `qvLog(message)` writes "QVMailPlugin - <message>" as one line to the installed sink.
// The message is plain text: it is never used as a format, so a "%" in it is printed as is.
// Without a sink, messages are dropped (a plug-in must not write where the host did not ask).

#include <string_view>

namespace qv {

class QVLogSink {
 public:
  virtual ~QVLogSink() = default;
  // Receives one complete line, without a line feed.
  virtual void writeLine(std::string_view line) = 0;
};

// Installs the sink that receives every line; null turns logging off. Returns the previous one.
QVLogSink* setLogSink(QVLogSink* sink);

// Logs one message in the plug-in's line form.
void qvLog(std::string_view message);

}  // namespace qv

#pragma once
// The stand-in for the system log: every line goes to standard error. A status line (a
// batch's progress on a terminal) can stand below the log lines: each line is written above
// it, and it is drawn again after.

#include <mutex>
#include <string>

#include "host/QVLog.h"

namespace qv {

class QVMailLog final : public QVLogSink {
 public:
  void writeLine(std::string_view line) override;
  // Shows `status` as the terminal's last line in place of the one before; empty clears it.
  void setStatus(std::string status);

 private:
  std::mutex mutex_;
  std::string status_;
};

}  // namespace qv

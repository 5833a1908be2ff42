#pragma once
// The stand-in for the system log: every line goes to standard error.

#include "host/QVLog.h"

namespace qv {

class QVMailLog final : public QVLogSink {
 public:
  void writeLine(std::string_view line) override;
};

}  // namespace qv

#include "standin/QVMailLog.h"

#include <cstdio>

namespace qv {

namespace {

constexpr std::string_view kClearLine = "\r\033[K";

}  // namespace

void QVMailLog::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  std::string out;
  if (!status_.empty()) out.append(kClearLine);
  out.append(line).push_back('\n');
  out.append(status_);
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

void QVMailLog::setStatus(std::string status) {
  std::lock_guard lock(mutex_);
  std::string out(kClearLine);
  out.append(status);
  status_ = std::move(status);
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qv

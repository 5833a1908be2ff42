#include "mail/QVMailLog.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace qv {

void QVMailLog::writeLine(std::string_view line) {
  static std::mutex mutex;
  std::string out(line);
  out.push_back('\n');
  std::lock_guard lock(mutex);
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qv

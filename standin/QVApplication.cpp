#include "standin/QVApplication.h"

#include <atomic>

namespace qv {

namespace {
std::atomic<QVHost*> gHost{nullptr};
}

QVHost* QVHost::current() {
  return gHost.load();
}
void QVHost::setCurrent(QVHost* host) {
  gHost.store(host);
}

}  // namespace qv

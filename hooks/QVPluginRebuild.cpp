#include "hooks/QVPluginRebuild.h"

#include <cstdint>
#include <cstdlib>

#include "host/QVLog.h"
#include "host/QVSettingKeys.h"

namespace qv {

std::string QVRandBoundaries::createBoundary() {
  return boundaryFrom([] { return std::rand(); });
}

void increaseStowletCount(QVUserDefaults* store, std::size_t attachments) {
  if (store == nullptr || attachments == 0) return;
  store->addToCounter(keys::kCount, static_cast<std::int64_t>(attachments));
}

std::optional<QVRebuiltMessage> rebuildAsPlugin(QVManipulator& manipulator, QVUserDefaults* store,
                                                const QVBodyReplacements& replacements) {
  QVRandBoundaries boundaries;
  std::optional<QVRebuiltMessage> rebuilt = manipulator.rebuild(boundaries, replacements);
  if (!rebuilt) return std::nullopt;
  qvLog("Boundary1::(" + rebuilt->relatedBoundary() + ")");
  qvLog("Boundary2::(" + rebuilt->alternativeBoundary() + ")");
  increaseStowletCount(store, rebuilt->attachmentCount());
  return rebuilt;
}

}  // namespace qv

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
  const std::int64_t stored = store->integerForKey(keys::kCount);
  const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(stored));
  const auto next = static_cast<std::int32_t>(low + static_cast<std::uint32_t>(attachments));
  store->setInteger(next, keys::kCount);
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

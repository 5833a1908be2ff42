#include "hooks/QVPluginRebuild.h"

#include <cstdint>
#include <cstdlib>

#include "host/QVSettingKeys.h"

namespace qv {

std::string QVRandBoundaries::createBoundary() {
  return boundaryFrom([] { return std::rand(); });
}

void increaseStowletCount(QVUserDefaults* store, std::size_t attachments) {
  if (store == nullptr || attachments == 0) return;
  store->addToCounter(keys::kCount, static_cast<std::int64_t>(attachments));
}

std::optional<QVRebuiltMessage> rebuildAsPlugin(QVManipulator& manipulator,
                                                const QVPluginContext& context,
                                                const QVBodyReplacements& replacements) {
  QVRandBoundaries boundaries;
  std::optional<QVRebuiltMessage> rebuilt = manipulator.rebuild(boundaries, replacements);
  if (!rebuilt) return std::nullopt;
  context.log("Boundary1::(" + rebuilt->relatedBoundary() + ")");
  context.log("Boundary2::(" + rebuilt->alternativeBoundary() + ")");
  increaseStowletCount(context.userDefaults, rebuilt->attachmentCount());
  return rebuilt;
}

}  // namespace qv

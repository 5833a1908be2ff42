#pragma once
// The restructuring as the plug-in runs it inside the host: boundaries from the C library's
// rand() (seeded by the start-up), the two boundary lines in the log, and the counter of
// moved attachments in the settings store. The pure core does none of these itself.

#include <cstddef>
#include <optional>

#include "core/QVManipulator.h"
#include "host/QVPluginContext.h"
#include "host/QVUserDefaults.h"

namespace qv {

// Boundaries drawn with the process's rand(), 28 characters of [0-9a-zA-Z].
class QVRandBoundaries final : public QVBoundarySource {
 public:
  [[nodiscard]] std::string createBoundary() override;
};

// Adds `attachments` to QVStowletCount (32-bit signed, wrapping); nothing without a store.
void increaseStowletCount(QVUserDefaults* store, std::size_t attachments = 1);

// Rebuilds with rand()'s boundaries, logs "Boundary1::(...)" and "Boundary2::(...)" to the
// context's log, and counts the attachments written in its store. Nothing when the message
// cannot be rebuilt (and then nothing is logged or counted).
[[nodiscard]] std::optional<QVRebuiltMessage> rebuildAsPlugin(
    QVManipulator& manipulator, const QVPluginContext& context,
    const QVBodyReplacements& replacements = {});

}  // namespace qv

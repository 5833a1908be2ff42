#include "hooks/QVHookPlan.h"

#include <exception>

#include "core/QVManipulator.h"
#include "core/QVSignaturePicture.h"
#include "hooks/QVPluginRebuild.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"

namespace qv {

std::optional<QVHookPlan> planHook(const std::vector<QVListItem>& list,
                                   const std::string& signatureName) {
  QVHookPlan plan;
  std::string joined;
  bool anyHtml = false;
  int images = 0;
  int signatures = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const QVListItem& item = list[i];
    if (item.kind == QVListItem::Kind::kOtherText) return std::nullopt;
    if (item.kind == QVListItem::Kind::kHtml) {
      joined += item.html;
      anyHtml = anyHtml || !item.html.empty();
      continue;
    }
    if (item.kind != QVListItem::Kind::kAttachment) continue;
    plan.attachments.push_back(i);
    if (!item.mimeType || item.mimeType->find("image/") == std::string::npos) continue;
    ++images;
    if (isSignaturePicture(item.filename, signatureName, true)) {
      ++signatures;
      continue;
    }
    // "<id>" -> "id". Shorter identifiers, or one empty inside its delimiters, add nothing:
    // an empty identifier would remove every picture's tag, signature pictures included.
    if (item.contentID && item.contentID->size() > 2) {
      plan.cids.push_back(item.contentID->substr(1, item.contentID->size() - 2));
    }
  }
  if (images == signatures) return std::nullopt;
  if (anyHtml) plan.joinedHtml = std::move(joined);
  return plan;
}

void runGeneratorHook(QVGeneratorCall& call, const QVPluginContext& context) {
  const QVUserDefaults* store = context.userDefaults;
  // Decide; nothing has run yet, so any failure here passes the message through.
  std::optional<QVHookPlan> plan;
  try {
    const bool on =
        store != nullptr && store->boolForKey(keys::kEnabled) && !store->boolForKey(keys::kLegacy);
    if (on && call.hasPlainText()) {
      if (std::optional<std::vector<QVListItem>> list = call.list(); list && !list->empty()) {
        plan = planHook(*list, signatureName(store));
      }
    }
  } catch (...) {
    plan.reset();
  }
  if (!plan) {
    call.generate(std::nullopt, std::nullopt);  // the pass-through: Mail's failure is Mail's
    return;
  }

  // The HTML to use: the joined texts (nothing: the HTML as it came).
  const std::optional<std::string>& htmlToUse = plan->joinedHtml;
  try {
    // Without the image tags of the pictures that become attachments (an HTML argument
    // that holds no text goes as it came).
    const std::optional<std::string> cleaned = call.removeTagsWithCids(htmlToUse, plan->cids);
    call.generate(cleaned, plan->attachments.empty()
                               ? std::nullopt
                               : std::optional<std::vector<std::size_t>>(plan->attachments));
    if (std::optional<std::string_view> raw = call.outgoingRawData()) {
      QVManipulator manipulator(*raw, signatureName(store));
      if (std::optional<QVRebuiltMessage> rebuilt = rebuildAsPlugin(manipulator, context)) {
        call.setRawData(rebuilt->bytes());
        return;
      }
    }
  } catch (...) {
    // Falls through to Mail's own output.
  }
  call.generate(htmlToUse, std::nullopt);  // Mail's own output, and its failure Mail's
}

}  // namespace qv

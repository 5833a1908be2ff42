#include "hooks/QVGeneratorHook.h"

#include <exception>
#include <optional>

#include "core/QVManipulator.h"
#include "hooks/QVPluginRebuild.h"
#include "hooks/QVTagRemoval.h"
#include "host/QVFoundation.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"
#include "host/QVUserDefaults.h"

namespace qv {

namespace {

// What the walk of the list found.
struct Walk {
  std::vector<std::string> cids;  // of the pictures that become attachments
  std::string joined;             // the HTML texts, joined
  std::vector<QVObjectRef> attachments;
  int images = 0;
  int signatures = 0;
};

Walk walkList(QVRuntime& runtime, const QVArray& list) {
  Walk walk;
  const std::string signature = signatureName(userDefaults);
  QVClass* attachmentClass = runtime.classNamed(mail::kAttachmentClass);
  QVClass* htmlClass = runtime.classNamed(mail::kHtmlTextClass);
  for (const QVObjectRef& item : list.items()) {
    if (!item) continue;
    if (item->isKindOfClass(htmlClass)) {
      if (auto text = stringValue(item)) walk.joined += *text;
      continue;
    }
    if (!item->isKindOfClass(attachmentClass)) continue;
    walk.attachments.push_back(item);
    const std::optional<std::string> type = stringValue(send(*item, mail::kMimeType));
    if (!type || type->find("image/") == std::string::npos) continue;
    ++walk.images;
    const std::optional<std::string> name = stringValue(send(*item, mail::kFilename));
    if (!name || (!signature.empty() && name->find(signature) != std::string::npos)) {
      ++walk.signatures;
      continue;
    }
    // "<id>" -> "id". Shorter identifiers, or one empty inside its delimiters, add nothing:
    // an empty identifier would remove every picture's tag, signature pictures included.
    if (auto cid = stringValue(send(*item, mail::kContentID)); cid && cid->size() > 2) {
      walk.cids.push_back(cid->substr(1, cid->size() - 2));
    }
  }
  return walk;
}

// The generated message rebuilt in place; false when it cannot be.
bool rebuildInPlace(QVRuntime& runtime, const QVObjectRef& message) {
  if (!message) return false;
  const QVObjectRef raw = send(*message, mail::kValueForKey, std::string(mail::kRawDataKey));
  const auto* data = dynamic_cast<const QVData*>(raw.get());
  if (data == nullptr || !message->isKindOfClass(runtime.classNamed(mail::kOutgoingMessageClass))) {
    return false;
  }
  QVManipulator manipulator(data->bytes(), signatureName(userDefaults));
  std::optional<QVRebuiltMessage> rebuilt = rebuildAsPlugin(manipulator, userDefaults);
  if (!rebuilt) return false;
  send(*message, mail::kSetValueForKey, runtime.makeData(rebuilt->bytes()),
       std::string(mail::kRawDataKey));
  return true;
}

}  // namespace

QVObjectRef QVNewMessageWithHtmlString(QVObject& generator, QVObjectRef html, QVObjectRef plain,
                                       QVObjectRef other, QVObjectRef hdrs) {
  auto own = [&](QVObjectRef h, QVObjectRef l) {
    return send(generator, kQVNewMessage, std::move(h), plain, std::move(l), hdrs);
  };
  QVRuntime* runtime = QVRuntime::current();
  // Decide; nothing has run yet, so any failure here passes the message through.
  std::optional<Walk> walk;
  try {
    const bool on = userDefaults != nullptr && userDefaults->boolForKey(keys::kEnabled) &&
                    !userDefaults->boolForKey(keys::kLegacy);
    const auto* list = dynamic_cast<const QVArray*>(other.get());
    if (on && runtime != nullptr && plain && list != nullptr && !list->items().empty()) {
      walk = walkList(*runtime, *list);
      if (walk->images == walk->signatures) walk.reset();
    }
  } catch (...) {
    walk.reset();
  }
  if (!walk) return own(html, other);

  // The HTML to use: the joined texts, or the HTML as it came.
  const QVObjectRef htmlToUse = walk->joined.empty() ? html : runtime->makeString(walk->joined);
  QVObjectRef message;
  try {
    std::vector<QVObjectRef> ids;
    ids.reserve(walk->cids.size());
    for (std::string& cid : walk->cids) ids.push_back(runtime->makeString(std::move(cid)));
    const QVObjectRef cleaned =
        send(generator, kRemoveTagsWithCids, htmlToUse, runtime->makeArray(std::move(ids)));
    const QVObjectRef listToPass =
        walk->attachments.empty() ? other : runtime->makeArray(walk->attachments);
    message = own(cleaned, listToPass);
    if (rebuildInPlace(*runtime, message)) return message;
  } catch (...) {
    // Falls through to Mail's own output.
  }
  return own(htmlToUse, other);
}

bool addGeneratorTraits(QVRuntime& runtime) {
  QVClass* generator = runtime.classNamed(mail::kMessageGeneratorClass);
  if (generator == nullptr) return false;
  generator->addInstanceMethod(
      kQVNewMessage,
      std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>(
          &QVNewMessageWithHtmlString));
  generator->addInstanceMethod(
      kRemoveTagsWithCids, std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef)>(
                               [](QVObject&, QVObjectRef html, QVObjectRef cids) -> QVObjectRef {
                                 std::optional<std::string> text = stringValue(html);
                                 QVRuntime* rt = QVRuntime::current();
                                 if (!text || rt == nullptr) return nullptr;
                                 std::vector<std::string> ids;
                                 if (auto* list = dynamic_cast<const QVArray*>(cids.get())) {
                                   for (const QVObjectRef& id : list->items()) {
                                     if (auto s = stringValue(id)) ids.push_back(std::move(*s));
                                   }
                                 }
                                 return rt->makeString(removeTagsWithCids(std::move(*text), ids));
                               }));
  generator->noteCategory("QVTraits");
  return true;
}

}  // namespace qv

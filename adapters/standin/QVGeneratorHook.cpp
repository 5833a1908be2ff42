#include "adapters/standin/QVGeneratorHook.h"

#include <exception>
#include <optional>

#include "adapters/standin/QVPluginState.h"
#include "hooks/QVHookPlan.h"
#include "hooks/QVTagRemoval.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"
#include "host/QVUserDefaults.h"
#include "standin/QVFoundation.h"

namespace qv {

namespace {

// One call of the stand-in's generator, over its objects.
class StandInCall final : public QVGeneratorCall {
 public:
  StandInCall(QVRuntime& runtime, QVObject& generator, QVObjectRef html, QVObjectRef plain,
              QVObjectRef other, QVObjectRef hdrs)
      : generator_(generator),
        html_(std::move(html)),
        plain_(std::move(plain)),
        other_(std::move(other)),
        hdrs_(std::move(hdrs)),
        runtime_(&runtime) {}

  bool hasPlainText() override { return plain_ != nullptr; }
  std::optional<std::string> removeTagsWithCids(const std::optional<std::string>& html,
                                                const std::vector<std::string>& cids) override {
    std::vector<QVObjectRef> ids;
    ids.reserve(cids.size());
    for (const std::string& cid : cids) ids.push_back(runtime_->makeString(cid));
    return stringValue(send(generator_, kRemoveTagsWithCids,
                            html ? runtime_->makeString(*html) : html_,
                            runtime_->makeArray(std::move(ids))));
  }

  std::optional<std::vector<QVListItem>> list() override {
    const auto* list = dynamic_cast<const QVArray*>(other_.get());
    if (list == nullptr || runtime_ == nullptr) return std::nullopt;
    QVClass* attachmentClass = runtime_->classNamed(mail::kAttachmentClass);
    QVClass* htmlClass = runtime_->classNamed(mail::kHtmlTextClass);
    std::vector<QVListItem> items;
    for (const QVObjectRef& element : list->items()) {
      QVListItem& item = items.emplace_back();
      if (!element) continue;
      if (element->isKindOfClass(htmlClass)) {
        item.kind = QVListItem::Kind::kHtml;
        item.html = stringValue(element).value_or(std::string());
      } else if (element->isKindOfClass(attachmentClass)) {
        item.kind = QVListItem::Kind::kAttachment;
        item.mimeType = stringValue(send(*element, mail::kMimeType));
        item.filename = stringValue(send(*element, mail::kFilename));
        item.contentID = stringValue(send(*element, mail::kContentID));
      } else if (stringValue(element)) {
        item.kind = QVListItem::Kind::kOtherText;
      }
    }
    return items;
  }

  void generate(const std::optional<std::string>& html,
                const std::optional<std::vector<std::size_t>>& attachments) override {
    QVObjectRef htmlArg = html ? runtime_->makeString(*html) : html_;
    QVObjectRef listArg = other_;
    if (attachments) {
      const auto& items = dynamic_cast<const QVArray&>(*other_).items();
      std::vector<QVObjectRef> kept;
      for (std::size_t i : *attachments) kept.push_back(items.at(i));
      listArg = runtime_->makeArray(std::move(kept));
    }
    result_ = nullptr;  // the previous message is dropped
    result_ =
        send(generator_, kQVNewMessage, std::move(htmlArg), plain_, std::move(listArg), hdrs_);
  }

  std::optional<std::string_view> outgoingRawData() override {
    if (!result_) return std::nullopt;
    const QVObjectRef raw = send(*result_, mail::kValueForKey, std::string(mail::kRawDataKey));
    const auto* data = dynamic_cast<const QVData*>(raw.get());
    if (data == nullptr ||
        !result_->isKindOfClass(runtime_->classNamed(mail::kOutgoingMessageClass))) {
      return std::nullopt;
    }
    return std::string_view(data->bytes());
  }

  void setRawData(std::string bytes) override {
    send(*result_, mail::kSetValueForKey, runtime_->makeData(std::move(bytes)),
         std::string(mail::kRawDataKey));
  }

  QVObjectRef result() const { return result_; }

 private:
  QVObject& generator_;
  QVObjectRef html_, plain_, other_, hdrs_;
  QVRuntime* runtime_;
  QVObjectRef result_;
};

}  // namespace

QVObjectRef QVNewMessageWithHtmlString(QVRuntime& runtime, QVObject& generator, QVObjectRef html,
                                       QVObjectRef plain, QVObjectRef other, QVObjectRef hdrs) {
  StandInCall call(runtime, generator, std::move(html), std::move(plain), std::move(other),
                   std::move(hdrs));
  runGeneratorHook(call, standInPlugin().context);
  return call.result();
}

bool addGeneratorTraits(QVRuntime& runtime) {
  QVClass* generator = runtime.classNamed(mail::kMessageGeneratorClass);
  if (generator == nullptr) return false;
  generator->addInstanceMethod(
      kQVNewMessage,
      std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>(
          [&runtime](QVObject& self, QVObjectRef html, QVObjectRef plain, QVObjectRef other,
                     QVObjectRef hdrs) {
            return QVNewMessageWithHtmlString(runtime, self, std::move(html), std::move(plain),
                                              std::move(other), std::move(hdrs));
          }));
  generator->addInstanceMethod(
      kRemoveTagsWithCids,
      std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef)>(
          [&runtime](QVObject&, QVObjectRef html, QVObjectRef cids) -> QVObjectRef {
            std::optional<std::string> text = stringValue(html);
            if (!text) return nullptr;
            std::vector<std::string> ids;
            if (auto* list = dynamic_cast<const QVArray*>(cids.get())) {
              for (const QVObjectRef& id : list->items()) {
                if (auto s = stringValue(id)) ids.push_back(std::move(*s));
              }
            }
            return runtime.makeString(removeTagsWithCids(std::move(*text), ids));
          }));
  generator->noteCategory("QVTraits");
  return true;
}

}  // namespace qv

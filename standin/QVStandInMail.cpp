#include "standin/QVStandInMail.h"

namespace qv::mail {

QVObjectRef QVMailObject::valueForKey(std::string_view key) const {
  for (const auto& [k, v] : values_) {
    if (k == key) return v;
  }
  return nullptr;
}

bool QVMailObject::setValueForKey(QVObjectRef value, std::string_view key) {
  for (auto& [k, v] : values_) {
    if (k == key) {
      v = std::move(value);
      return true;
    }
  }
  values_.emplace_back(std::string(key), std::move(value));
  return true;
}

QVObjectRef QVMailPreferencesController::valueForKey(std::string_view key) const {
  if (key == kPreferencesPanelKey) return window;
  return QVMailObject::valueForKey(key);
}

QVObjectRef QVMailOutgoingMessage::valueForKey(std::string_view key) const {
  return key == kRawDataKey ? rawData : QVMailObject::valueForKey(key);
}

bool QVMailOutgoingMessage::setValueForKey(QVObjectRef value, std::string_view key) {
  if (key != kRawDataKey) return QVMailObject::setValueForKey(std::move(value), key);
  rawData = std::move(value);
  return true;
}

std::optional<std::string> QVMailHeaders::first(std::string_view name) const {
  for (const auto& [n, v] : fields) {
    if (n == name) return v;
  }
  return std::nullopt;
}

namespace {

QVObjectRef stringOrNull(QVRuntime& runtime, const std::optional<std::string>& value) {
  return value ? runtime.makeString(*value) : nullptr;
}

}  // namespace

QVStandInMail::QVStandInMail(QVMailProfile profile) : profile_(std::move(profile)) {
  // Foundation.
  QVClass& object = define("NSObject", "");
  define("NSString", "NSObject");
  define("NSMutableString", "NSString");
  define("__NSCFString", "NSMutableString");
  define("NSTaggedPointerString", "NSString");
  define("NSArray", "NSObject");
  define("NSData", "NSObject");
  object.addInstanceMethod(kValueForKey, std::function<QVObjectRef(QVObject&, std::string)>(
                                             [](QVObject& self, std::string key) -> QVObjectRef {
                                               auto* o = dynamic_cast<QVMailObject*>(&self);
                                               return o != nullptr ? o->valueForKey(key) : nullptr;
                                             }));
  object.addInstanceMethod(
      kSetValueForKey,
      std::function<void(QVObject&, QVObjectRef, std::string)>(
          [](QVObject& self, QVObjectRef value, std::string key) {
            auto* o = dynamic_cast<QVMailObject*>(&self);
            if (o == nullptr || !o->setValueForKey(std::move(value), key)) {
              throw QVRuntimeError("setValue:forKey: the object has no key " + key);
            }
          }));

  // Mail's classes.
  QVClass& attachment = define("MCAttachment", "NSObject");
  auto accessor = [&](QVSelector<QVObjectRef()> selector,
                      std::optional<std::string> QVMailAttachment::*field) {
    if (!offers("MCAttachment", selector.name)) return;
    attachment.addInstanceMethod(
        selector, std::function<QVObjectRef(QVObject&)>([this, field](QVObject& self) {
          return stringOrNull(*this, static_cast<QVMailAttachment&>(self).*field);
        }));
  };
  accessor(kMimeType, &QVMailAttachment::mimeType);
  accessor(kFilename, &QVMailAttachment::filename);
  accessor(kContentID, &QVMailAttachment::contentID);
  define("MCMessage", "NSObject");
  define("MCOutgoingMessage", "MCMessage");
  define("MCMutableMessageHeaders", "NSObject");
  QVClass& generator = define("MCMessageGenerator", "NSObject");
  if (offers("MCMessageGenerator", kNewMessage.name)) {
    generator.addInstanceMethod(
        kNewMessage,
        std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>(
            [this](QVObject&, QVObjectRef html, QVObjectRef plain, QVObjectRef list,
                   QVObjectRef headers) {
              return generate(std::move(html), std::move(plain), std::move(list),
                              std::move(headers));
            }));
  }
  defineShellClasses();
}

// Mail's plug-in base, attachment view controller and preferences machinery.
void QVStandInMail::defineShellClasses() {
  QVClass& bundle = define("MVMailBundle", "NSObject");
  if (offers("MVMailBundle", kRegisterBundle.name)) {
    bundle.addClassMethod(kRegisterBundle, std::function<void(QVClass&)>([this](QVClass& cls) {
                            std::lock_guard lock(mutex_);
                            registeredBundles_.push_back(cls.name());
                          }));
  }

  QVClass& controller = define("AttachmentViewController", "NSObject");
  // Mail's own answers: pictures and PDF documents inline, other files as icons.
  auto showsInline = [](QVObject& self) {
    auto& c = static_cast<QVMailAttachmentViewController&>(self);
    auto* file = dynamic_cast<const QVMailAttachment*>(c.attachment.get());
    const std::string type = file != nullptr ? file->mimeType.value_or("") : "";
    return type.rfind("image/", 0) == 0 || type == "application/pdf";
  };
  if (offers("AttachmentViewController", kShouldBeDisplayedInlineByDefault.name)) {
    controller.addInstanceMethod(kShouldBeDisplayedInlineByDefault,
                                 std::function<bool(QVObject&)>(showsInline));
  }
  if (offers("AttachmentViewController", kCanBeDisplayedInline.name)) {
    controller.addInstanceMethod(kCanBeDisplayedInline,
                                 std::function<bool(QVObject&)>(showsInline));
  }
  controller.addInstanceMethod(
      kAttachment, std::function<QVObjectRef(QVObject&)>([](QVObject& self) {
        return static_cast<QVMailAttachmentViewController&>(self).attachment;
      }));

  QVClass& preferences = define("NSPreferences", "NSObject");
  define("NSWindow", "NSObject")
      .addInstanceMethod(kToolbar, std::function<QVObjectRef(QVObject&)>([](QVObject& self) {
                           return static_cast<QVMailWindow&>(self).toolbar;
                         }));
  define("NSToolbar", "NSObject");
  if (offers("NSPreferences", kSharedPreferences.name)) {
    preferences.addClassMethod(
        kSharedPreferences, std::function<QVObjectRef(QVClass&)>([this](QVClass&) {
          std::lock_guard lock(mutex_);
          if (preferencesCalls_++ < profile_.preferencesAbsentCalls) {
            return QVObjectRef();
          }
          if (!preferencesController_) {
            auto c = std::make_shared<QVMailPreferencesController>(*classes_.at("NSPreferences"));
            c->window = std::make_shared<QVMailWindow>(*classes_.at("NSWindow"));
            if (profile_.windowHasToolbar) {
              c->window->toolbar = std::make_shared<QVMailObject>(*classes_.at("NSToolbar"));
            }
            preferencesController_ = c;
          }
          return QVObjectRef(preferencesController_);
        }));
  }
  preferences.addInstanceMethod(
      kAddPreferenceNamed, std::function<void(QVObject&, std::string, QVObjectRef)>(
                               [](QVObject& self, std::string name, QVObjectRef owner) {
                                 static_cast<QVMailPreferencesController&>(self).panes.emplace_back(
                                     std::move(name), std::move(owner));
                               }));

  QVClass& module = define("NSPreferencesModule", "NSObject");
  module.addClassMethod(kSharedInstance, std::function<QVObjectRef(QVClass&)>([this](QVClass& cls) {
                          std::lock_guard lock(mutex_);
                          QVObjectRef& instance = modules_[&cls];
                          if (!instance) instance = std::make_shared<QVMailObject>(cls);
                          return instance;
                        }));
  module.addInstanceMethod(kAwakeFromNib, std::function<void(QVObject&)>([](QVObject&) {}));
  module.addInstanceMethod(kWillBeDisplayed, std::function<void(QVObject&)>([](QVObject&) {}));
  module.addInstanceMethod(
      kImageForPreferenceNamed,
      std::function<std::optional<std::string>(QVObject&, std::string)>(
          [](QVObject&, std::string) { return std::optional<std::string>(); }));
}

std::vector<std::string> QVStandInMail::registeredBundles() {
  std::lock_guard lock(mutex_);
  return registeredBundles_;
}

std::shared_ptr<QVMailPreferencesController> QVStandInMail::preferencesController() {
  std::lock_guard lock(mutex_);
  return preferencesController_;
}

std::shared_ptr<QVMailAttachmentViewController> QVStandInMail::makeAttachmentViewController(
    QVObjectRef attachment) {
  auto controller =
      std::make_shared<QVMailAttachmentViewController>(known("AttachmentViewController"));
  controller->attachment = std::move(attachment);
  return controller;
}

QVStandInMail::~QVStandInMail() = default;

bool QVStandInMail::offers(std::string_view cls, std::string_view selector) const {
  return profile_.missingSelectors.count({std::string(cls), std::string(selector)}) == 0;
}

QVClass& QVStandInMail::define(std::string_view name, std::string_view superclass) {
  std::lock_guard lock(mutex_);
  QVClass* super = superclass.empty() ? nullptr : classes_.at(std::string(superclass)).get();
  auto cls = std::make_unique<QVClass>(std::string(name), super);
  QVClass& ref = *cls;
  // A class the profile leaves out still exists for the stand-in's own objects, but lookup
  // by name does not find it.
  classes_[std::string(name)] = std::move(cls);
  return ref;
}

QVClass* QVStandInMail::classNamed(std::string_view name) {
  if (profile_.missingClasses.count(name) != 0) return nullptr;
  std::lock_guard lock(mutex_);
  auto it = classes_.find(std::string(name));
  return it == classes_.end() ? nullptr : it->second.get();
}

QVClass& QVStandInMail::registerClass(std::string_view name, QVClass* superclass) {
  std::lock_guard lock(mutex_);
  auto& slot = classes_[std::string(name)];
  if (!slot) slot = std::make_unique<QVClass>(std::string(name), superclass);
  return *slot;
}

QVClass& QVStandInMail::known(std::string_view name) {
  std::lock_guard lock(mutex_);
  return *classes_.at(std::string(name));
}

QVObjectRef QVStandInMail::makeString(std::string text) {
  return std::make_shared<QVString>(known("__NSCFString"), std::move(text));
}

QVObjectRef QVStandInMail::makeOtherString(std::string text) {
  return std::make_shared<QVString>(known("NSTaggedPointerString"), std::move(text));
}

QVObjectRef QVStandInMail::makeArray(std::vector<QVObjectRef> items) {
  return std::make_shared<QVArray>(known("NSArray"), std::move(items));
}

QVObjectRef QVStandInMail::makeData(std::string bytes) {
  return std::make_shared<QVData>(known("NSData"), std::move(bytes));
}

QVObjectRef QVStandInMail::makeOtherObject() {
  return std::make_shared<QVMailObject>(known("NSObject"));
}

QVObjectRef QVStandInMail::makeGenerator() {
  return std::make_shared<QVMailObject>(known("MCMessageGenerator"));
}

std::shared_ptr<QVMailAttachment> QVStandInMail::makeAttachment(std::string bytes) {
  return std::make_shared<QVMailAttachment>(known("MCAttachment"), std::move(bytes));
}

std::shared_ptr<QVMailHeaders> QVStandInMail::makeHeaders(
    std::vector<std::pair<std::string, std::string>> fields) {
  auto headers = std::make_shared<QVMailHeaders>(known("MCMutableMessageHeaders"));
  headers->fields = std::move(fields);
  return headers;
}

void QVStandInMail::setUuidSeed(std::uint64_t seed) {
  std::lock_guard lock(uuidMutex_);
  uuids_ = QVUuidSource(seed);
}

// Mail's own generator method.
QVObjectRef QVStandInMail::generate(QVObjectRef html, QVObjectRef plain, QVObjectRef list,
                                    QVObjectRef headers) {
  ++generatorRuns_;
  QVMessageContent content;
  content.html = stringValue(html);
  content.plain = stringValue(plain);
  if (auto* array = dynamic_cast<const QVArray*>(list.get())) {
    for (const QVObjectRef& item : array->items()) {
      if (auto* file = dynamic_cast<const QVMailAttachment*>(item.get())) {
        content.pieces.push_back({std::nullopt, file});
      } else if (auto text = stringValue(item)) {
        content.pieces.push_back({std::move(text), nullptr});
      }
    }
  }
  if (auto* set = dynamic_cast<const QVMailHeaders*>(headers.get())) content.headers = set->fields;
  std::string raw;
  {
    std::lock_guard lock(uuidMutex_);
    raw = writeMessage(content, uuids_);
  }
  auto message = std::make_shared<QVMailOutgoingMessage>(known("MCOutgoingMessage"));
  message->rawData = makeData(std::move(raw));
  return message;
}

}  // namespace qv::mail

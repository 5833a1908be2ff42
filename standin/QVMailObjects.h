#pragma once
// The stand-in Mail's own objects: attachments, outgoing messages, header sets, generators.
// The plug-in never sees these types; it reaches them through the runtime's selectors.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "standin/QVFoundation.h"

namespace qv::mail {

// An object with key-value access ("valueForKey:", "setValue:forKey:"). Keys that a class
// does not handle itself are kept as the object's own values.
class QVMailObject : public QVObject {
 public:
  using QVObject::QVObject;
  [[nodiscard]] virtual QVObjectRef valueForKey(std::string_view key) const;
  virtual bool setValueForKey(QVObjectRef value, std::string_view key);

 private:
  std::vector<std::pair<std::string, QVObjectRef>> values_;
};

// AttachmentViewController: shows one attachment of a displayed message.
class QVMailAttachmentViewController final : public QVMailObject {
 public:
  using QVMailObject::QVMailObject;
  QVObjectRef attachment;
};

// The preferences window and the preferences controller (NSPreferences).
class QVMailWindow final : public QVMailObject {
 public:
  using QVMailObject::QVMailObject;
  QVObjectRef toolbar;
};
class QVMailPreferencesController final : public QVMailObject {
 public:
  using QVMailObject::QVMailObject;
  [[nodiscard]] QVObjectRef valueForKey(std::string_view key) const override;
  std::vector<std::pair<std::string, QVObjectRef>> panes;
  std::shared_ptr<QVMailWindow> window;
};

// MCAttachment: a file of the message, with what Mail knows of it.
class QVMailAttachment final : public QVMailObject {
 public:
  QVMailAttachment(QVClass& cls, std::string bytes) : QVMailObject(cls), bytes_(std::move(bytes)) {}
  std::optional<std::string> mimeType;
  std::optional<std::string> filename;
  std::optional<std::string> contentID;  // with its delimiters: "<id>"
  [[nodiscard]] const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// MCOutgoingMessage: the message Mail sends; its raw text under "_rawData".
class QVMailOutgoingMessage final : public QVMailObject {
 public:
  using QVMailObject::QVMailObject;
  [[nodiscard]] QVObjectRef valueForKey(std::string_view key) const override;
  bool setValueForKey(QVObjectRef value, std::string_view key) override;
  QVObjectRef rawData;  // a data object, or null
};

// MCMutableMessageHeaders: header fields in order.
class QVMailHeaders final : public QVMailObject {
 public:
  using QVMailObject::QVMailObject;
  std::vector<std::pair<std::string, std::string>> fields;
  [[nodiscard]] std::optional<std::string> first(std::string_view name) const;
};

}  // namespace qv::mail

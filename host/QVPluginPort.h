#pragma once
// What the plug-in asks of the Mail it runs in, as plain C++ values: texts, bytes, lists,
// an attachment's type, name and identifier, a menu item's state. Each host (the stand-in
// Mail of the command, the real one over the Objective-C runtime) implements these
// interfaces; the plug-in's decisions (hooks/ and shell/) are written against them once.
//
// One error channel: an operation that reaches into the host and fails throws, never
// answers with a failure. A refusal the host can tell (a class or a method missing) is a
// QVPortRefusal saying why; anything else is the host's own exception (a C++ one, or an
// Objective-C one). The decision that called it falls back to Mail's own behaviour. Where
// the operation is Mail's own method (QVGeneratorCall's generate), the failure is Mail's:
// the hook lets it reach Mail as it would without the plug-in.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// A port operation the host refused, and why ("no method setIsPluginEnabled:").
class QVPortRefusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One element of the list Mail's message generator receives (its further HTML texts and
// attachments, in order).
struct QVListItem {
  // kOtherText: a text of another class than Mail's HTML texts (on Apple's runtime a short
  // string may be such a tagged string): what it is cannot be told, so the hook passes
  // the message through rather than drop or guess it.
  enum class Kind { kHtml, kAttachment, kOtherText, kOther };
  Kind kind = Kind::kOther;
  std::string html;  // kHtml: the text
  // kAttachment: each absent when the attachment has none. The identifier keeps one
  // delimiter character at each end ("<id>").
  std::optional<std::string> mimeType;
  std::optional<std::string> filename;
  std::optional<std::string> contentID;
};

// One call of Mail's message generator, as the plug-in's hook sees it: the call's four
// arguments stay with the host, which hands over what the hook reads and runs Mail's own
// method with what the hook decides. The call's result is the message the last run of
// Mail's own method gave.
class QVGeneratorCall {
 public:
  virtual ~QVGeneratorCall() = default;
  // Whether the plain-text alternative is there.
  [[nodiscard]] virtual bool hasPlainText() = 0;
  // The HTML text without the image tags that refer to the identifiers, as the plug-in's
  // own method removeTagsWithCids:cids: on Mail's generator gives it. `html`: the text to
  // clean (nothing: the HTML argument as received). Nothing when there is no text.
  [[nodiscard]] virtual std::optional<std::string> removeTagsWithCids(
      const std::optional<std::string>& html, const std::vector<std::string>& cids) = 0;
  // The list's elements in order; nothing when the list is absent.
  [[nodiscard]] virtual std::optional<std::vector<QVListItem>> list() = 0;
  // Runs Mail's own method with the plain text and headers as received and:
  // `html`, the HTML text to pass (nothing: the HTML argument as received);
  // `attachments`, the positions in the list of the elements to pass, in order (nothing:
  // the list as received). Its message becomes the call's result.
  virtual void generate(const std::optional<std::string>& html,
                        const std::optional<std::vector<std::size_t>>& attachments) = 0;
  // The result's complete raw text when it is an outgoing message (MCOutgoingMessage) that
  // has raw data; nothing otherwise. The bytes stay valid until the next call on the port.
  [[nodiscard]] virtual std::optional<std::string_view> outgoingRawData() = 0;
  // Replaces the result's raw data.
  virtual void setRawData(std::string bytes) = 0;
};

// The object runtime, as the start-up needs it.
class QVRuntimePort {
 public:
  virtual ~QVRuntimePort() = default;
  // Whether the host has a class of that name.
  [[nodiscard]] virtual bool hasClass(std::string_view name) = 0;
  // Makes `superclassName` the superclass of `className`; QVPortRefusal when it cannot.
  virtual void setSuperclass(std::string_view className, std::string_view superclassName) = 0;
  // Sends a class method without arguments and result (registerBundle); QVPortRefusal when
  // the class or the method is missing, or the method raised.
  virtual void sendToClass(std::string_view className, std::string_view selector) = 0;
  // Exchanges the implementations of two methods (instance methods when `instanceMethod`,
  // else class methods); QVPortRefusal when a class or a method is missing, and then
  // nothing changed.
  virtual void exchange(std::string_view hostClass, std::string_view hostSelector,
                        std::string_view replacementClass, std::string_view replacementSelector,
                        bool instanceMethod) = 0;
};

// The setter of a property as both runtimes name it (key-value coding): "isPluginEnabled"
// -> "setIsPluginEnabled:". The rules name properties; the hosts send selectors.
[[nodiscard]] inline std::string setterSelector(std::string_view property) {
  std::string selector = "set";
  selector.append(property);
  if (selector.size() > 3 && selector[3] >= 'a' && selector[3] <= 'z') selector[3] -= 'a' - 'A';
  return selector.append(":");
}

// The plug-in's menu item.
class QVMenuItemPort {
 public:
  virtual ~QVMenuItemPort() = default;
  [[nodiscard]] virtual bool isOn() const = 0;  // its check mark
  virtual void setOn(bool on) = 0;
};

// The application around the plug-in: what the start-up, the menu and the pane use. Each
// call is one step of the host's own; the sequences of them are the shell's.
class QVApplicationPort {
 public:
  virtual ~QVApplicationPort() = default;
  // The path of the plug-in bundle's image resource of that name; nothing when absent.
  [[nodiscard]] virtual std::optional<std::string> imageResourcePath(std::string_view name) = 0;
  // Gives the image at `path` that name in the named-image store, for the life of the
  // process.
  virtual void nameImage(std::string_view path, std::string_view name) = 0;
  // Makes the plug-in's menu item, enabled, its action the plug-in's toggle, with this
  // title, tool tip and state; keeps it for the toggles (the adapter's state) and inserts it at
  // `index` of the application menu (the submenu of the main menu's item 0) when there is
  // one. The item, or null when the host made none.
  virtual QVMenuItemPort* insertMenuItem(std::string_view title, std::string_view toolTip,
                                         std::size_t index, bool on) = 0;
  // Inserts a separator at `index` of the application menu, when there is one.
  virtual void insertSeparator(std::size_t index) = 0;
  // A modal alert with one message and one button "OK"; returns when it is pressed.
  virtual void runAlert(std::string_view message) = 0;
  // Opens a web address in the user's browser.
  virtual void openURL(std::string_view address) = 0;
  // The plug-in bundle's info dictionary value under the key; nothing when absent.
  [[nodiscard]] virtual std::optional<std::string> infoDictionaryValue(std::string_view key) = 0;
};

// Mail's preferences controller as one call of +sharedPreferences gave it, as the pane's
// addition uses it.
class QVPreferencesPort {
 public:
  virtual ~QVPreferencesPort() = default;
  // Whether there is a controller.
  [[nodiscard]] virtual bool hasController() = 0;
  // Whether the pane's class is there to give its shared instance.
  [[nodiscard]] virtual bool hasPaneClass() = 0;
  // Adds the pane's shared instance to the controller under that name.
  virtual void addPane(std::string_view name) = 0;
  // Whether the controller's window has a toolbar.
  [[nodiscard]] virtual bool windowHasToolbar() = 0;
};

}  // namespace qv

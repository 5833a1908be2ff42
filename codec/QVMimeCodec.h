#pragma once
// GMime's coders and its reader of received messages, as the stand-in Mail and the command
// use them.
//
// They live in a module of their own, stowlet-gmime.so, loaded at the first call: GMime
// brings some twenty shared libraries (GLib, GIO, GPGME...) whose loading costs a process
// several milliseconds, and most runs of the command (a rewrite that keeps the HTML, the
// menu, the preferences) never encode or read a message. The module sits beside the
// executable; a build also records where it built it, for its tests and benchmarks.
//
// When the module cannot be loaded, every call throws QVMimeUnavailable, whose text names
// the module and the loader's reason.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv::codec {

enum class QVTransferCoding : std::uint8_t { kQuotedPrintable, kBase64 };

// One part of a message as GMime reads it; a message is its parts in document order.
struct QVMimeNode {
  int depth = 0;      // 0 for the message's top part
  bool leaf = false;  // a part with content of its own (not a multipart)
  std::string type;   // "image/png"
  std::optional<std::string> disposition;
  std::optional<std::string> filename;
  std::optional<std::string> contentId;  // without its angle brackets
  std::string content;                   // a leaf's decoded content
};

class QVMimeUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Encodes with the transfer coding: quoted-printable with soft line breaks, base64 in rows of
// 76 characters; each ends with a line feed.
[[nodiscard]] std::string mimeEncode(QVTransferCoding coding, std::string_view bytes);
[[nodiscard]] std::string mimeDecode(QVTransferCoding coding, std::string_view text);
// "filename=a.png", "filename=\"my file.pdf\"" or "filename*=UTF-8''caf%C3%A9.png".
[[nodiscard]] std::string mimeFilenameParameter(const std::string& name);
// A header value as RFC 2047 encoded words (UTF-8) when it is not ASCII.
[[nodiscard]] std::string mimeEncodeHeaderText(const std::string& value);
// The message's parts, or nothing when GMime cannot read it as a MIME message.
[[nodiscard]] std::optional<std::vector<QVMimeNode>> mimeRead(std::string_view raw);
// Text in the named charset converted to UTF-8; nothing for a charset GMime does not know or
// bytes that are not text in it.
[[nodiscard]] std::optional<std::string> mimeToUtf8(const std::string& charset,
                                                    std::string_view text);

// What the module exports, by the symbol kQVMimeCodecSymbol (a function returning it). The
// interface is C++: the module is built with the executable, against the same library.
class QVMimeCodec {
 public:
  virtual std::string encode(QVTransferCoding coding, std::string_view bytes) = 0;
  virtual std::string decode(QVTransferCoding coding, std::string_view text) = 0;
  virtual std::string filenameParameter(const std::string& name) = 0;
  virtual std::string encodeHeaderText(const std::string& value) = 0;
  virtual std::optional<std::vector<QVMimeNode>> read(std::string_view raw) = 0;
  virtual std::optional<std::string> toUtf8(const std::string& charset, std::string_view text) = 0;

 protected:
  ~QVMimeCodec() = default;
};

inline constexpr const char* kQVMimeCodecSymbol = "qvMimeCodecV2";

}  // namespace qv::codec

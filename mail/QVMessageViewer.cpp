#include "mail/QVMessageViewer.h"

#include <gmime/gmime.h>

#include <functional>
#include <mutex>

namespace qv::mail {

namespace {

void ensureGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string text(const char* s) {
  return s != nullptr ? std::string(s) : std::string();
}

// Reads the message and calls `visit(object, depth)` for every part, in order.
bool walkMessage(std::string_view raw, const std::function<void(GMimeObject*, int)>& visit) {
  ensureGMime();
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  bool read = false;
  if (message != nullptr) {
    if (GMimeObject* root = g_mime_message_get_mime_part(message)) {
      read = true;
      std::function<void(GMimeObject*, int)> walk = [&](GMimeObject* object, int depth) {
        visit(object, depth);
        if (GMIME_IS_MULTIPART(object)) {
          auto* multipart = GMIME_MULTIPART(object);
          for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            walk(g_mime_multipart_get_part(multipart, i), depth + 1);
          }
        }
      };
      walk(root, 0);
    }
    g_object_unref(message);
  }
  g_object_unref(parser);
  g_object_unref(stream);
  return read;
}

std::string decodedContent(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return {};
  GMimeStream* out = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(wrapper, out);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
  std::string content(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(out);
  return content;
}

std::string fullType(GMimeObject* object) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  return text(g_mime_content_type_get_media_type(type)) + "/" +
         text(g_mime_content_type_get_media_subtype(type));
}

}  // namespace

std::vector<QVLaidOutAttachment> layOutAttachments(QVStandInMail& mail, std::string_view raw) {
  std::vector<QVLaidOutAttachment> out;
  walkMessage(raw, [&](GMimeObject* object, int) {
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    const std::string type = fullType(object);
    const std::string disposition = text(g_mime_object_get_disposition(object));
    const char* name = g_mime_part_get_filename(part);
    const bool body = type.rfind("text/", 0) == 0 && name == nullptr &&
                      g_ascii_strcasecmp(disposition.c_str(), "attachment") != 0;
    if (body) return;
    auto attachment = mail.makeAttachment(decodedContent(part));
    attachment->mimeType = type;
    if (name != nullptr) attachment->filename = name;
    if (const char* id = g_mime_object_get_content_id(object)) {
      attachment->contentID = "<" + std::string(id) + ">";
    }
    auto controller = mail.makeAttachmentViewController(attachment);
    QVLaidOutAttachment laid;
    laid.attachment = attachment;
    laid.inlineByDefault = send(*controller, kShouldBeDisplayedInlineByDefault);
    laid.canBeInline = send(*controller, kCanBeDisplayedInline);
    out.push_back(std::move(laid));
  });
  return out;
}

std::string mimeTree(std::string_view raw) {
  std::string out;
  const bool read = walkMessage(raw, [&](GMimeObject* object, int depth) {
    std::string line(static_cast<std::size_t>(depth) * 2, ' ');
    line += fullType(object);
    if (const char* disposition = g_mime_object_get_disposition(object)) {
      line += std::string("  ") + disposition;
    }
    if (GMIME_IS_PART(object)) {
      if (const char* name = g_mime_part_get_filename(GMIME_PART(object))) {
        line += std::string("  \"") + name + "\"";
      }
      line += "  " + std::to_string(decodedContent(GMIME_PART(object)).size()) + " bytes";
    }
    out += line + "\n";
  });
  return read ? out : "(not a MIME message)\n";
}

}  // namespace qv::mail

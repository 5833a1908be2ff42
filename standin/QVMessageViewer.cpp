#include "standin/QVMessageViewer.h"

#include <strings.h>

#include "codec/QVMimeCodec.h"

namespace qv::mail {

std::vector<QVLaidOutAttachment> layOutAttachments(QVStandInMail& mail, std::string_view raw) {
  std::vector<QVLaidOutAttachment> out;
  std::optional<std::vector<codec::QVMimeNode>> nodes = codec::mimeRead(raw);
  if (!nodes) return out;
  for (codec::QVMimeNode& node : *nodes) {
    if (!node.leaf) continue;
    const std::string disposition = node.disposition.value_or("");
    const bool body = node.type.rfind("text/", 0) == 0 && !node.filename &&
                      ::strcasecmp(disposition.c_str(), "attachment") != 0;
    if (body) continue;
    auto attachment = mail.makeAttachment(std::move(node.content));
    attachment->mimeType = node.type;
    if (node.filename) attachment->filename = *node.filename;
    if (node.contentId) attachment->contentID = "<" + *node.contentId + ">";
    auto controller = mail.makeAttachmentViewController(attachment);
    QVLaidOutAttachment laid;
    laid.attachment = attachment;
    laid.inlineByDefault = send(*controller, kShouldBeDisplayedInlineByDefault);
    laid.canBeInline = send(*controller, kCanBeDisplayedInline);
    out.push_back(std::move(laid));
  }
  return out;
}

std::string mimeTree(std::string_view raw) {
  const std::optional<std::vector<codec::QVMimeNode>> nodes = codec::mimeRead(raw);
  if (!nodes) return "(not a MIME message)\n";
  std::string out;
  for (const codec::QVMimeNode& node : *nodes) {
    std::string line(static_cast<std::size_t>(node.depth) * 2, ' ');
    line += node.type;
    if (node.disposition) line += "  " + *node.disposition;
    if (node.leaf) {
      if (node.filename) line += "  \"" + *node.filename + "\"";
      line += "  " + std::to_string(node.content.size()) + " bytes";
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace qv::mail

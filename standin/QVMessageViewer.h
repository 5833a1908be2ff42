#pragma once
// The stand-in Mail's reading side: a received message read with GMime into its attachments,
// each laid out by asking an AttachmentViewController Mail's two questions (answered by the
// plug-in once its start-up has exchanged them).

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "standin/QVStandInMail.h"

namespace qv::mail {

struct QVLaidOutAttachment {
  std::shared_ptr<QVMailAttachment> attachment;
  bool inlineByDefault = false;  // else shown as an icon
  bool canBeInline = false;
};

// Every attachment of the message, in order: the leaf parts that are not its body text
// (a text part without a file name that is not sent as an attachment). Nothing when GMime
// cannot read the message.
[[nodiscard]] std::vector<QVLaidOutAttachment> layOutAttachments(QVStandInMail& mail,
                                                                 std::string_view raw);

// The message's MIME tree, one part a line, indented by depth: full type, disposition, file
// name, decoded size. "(not a MIME message)" when GMime cannot read it.
[[nodiscard]] std::string mimeTree(std::string_view raw);

}  // namespace qv::mail

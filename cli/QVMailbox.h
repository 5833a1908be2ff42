#pragma once
// Mailboxes: a file of several messages, each opened by a separator row "From ..." (the
// mbox formats: mboxo and mboxrd, as mail tools and Apple's Mail's exports write them), and
// the folders that hold messages (Apple's "NAME.mbox" folder with its file "mbox"; a
// Maildir's "cur" and "new").
//
// A file is a mailbox when its first row begins with "From " (no message's header does: a
// header field has a colon after its name); then every row that begins with "From " after
// an empty row (or at the start) opens the next message. A body's own "From " rows are
// quoted by the writer (">From "), and stay as they are.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv::cli {

// One message of a mailbox, as views into its bytes; the three views, in order, are the
// message's whole stretch of the file.
struct QVMailboxMessage {
  std::string_view separator;  // its "From " row, with its line end
  std::string_view message;    // the message, without the line ends at its end
  std::string_view after;      // those line ends (the empty row before the next separator)
};

// The messages of a mailbox; none when the bytes are not a mailbox (one message).
[[nodiscard]] std::vector<QVMailboxMessage> mailboxMessages(std::string_view bytes);

// The files a name given to the command stands for: a file itself; the file "mbox" of an
// Apple mailbox folder; every file of a Maildir's "cur" and "new", in name order. The
// second of each pair names the result inside an output folder ("cur/NAME" for a Maildir's
// file). Nothing, with `error` set, for a folder that is neither.
struct QVMailFile {
  std::string path;
  std::filesystem::path outputName;
};
[[nodiscard]] std::vector<QVMailFile> mailFiles(const std::string& name, std::string& error);

}  // namespace qv::cli

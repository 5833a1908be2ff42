#pragma once
// Mailboxes: a file of several messages, each opened by a separator row "From ..." (the
// mbox formats: mboxo and mboxrd, as mail tools and Apple's Mail's exports write them), and
// the folders that hold messages (Apple's "NAME.mbox" folder with its file "mbox"; a
// Maildir's "cur" and "new").
//
// A file is a mailbox when its first row begins with "From " (no message's header does: a
// header field has a colon after its name); then every row that begins with "From " after
// an empty row (or at the start) opens the next message, and so does a well-formed
// separator row ("From " sender date) right after a closing delimiter row, where a writer
// left out the empty row between two messages. A body's own "From " rows are quoted by the
// writer (">From "), and stay as they are. A message whose header gives its body's length
// (Content-Length, as mboxcl and mboxcl2 writers frame messages whose "From " rows they do
// not quote) ends where that length says, when a separator row (or the end) stands there;
// a length that does not lead to one is no frame, and the rows decide as before.

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVManipulator.h"

namespace qv::cli {

// One message of a mailbox, as views into its bytes; the three views, in order, are the
// message's whole stretch of the file.
struct QVMailboxMessage {
  std::string_view separator;  // its "From " row, with its line end
  std::string_view message;    // the message, without the line ends at its end
  std::string_view after;      // those line ends (the empty row before the next separator)
};

// Finds where the messages of a mailbox begin, from its bytes fed in order in pieces of any
// size (read through a small buffer, say): only the first bytes of each row are kept.
class QVMailboxSplitter {
 public:
  void feed(std::string_view bytes);
  // The starts found so far: each stays, and those found later follow them.
  [[nodiscard]] const std::vector<std::size_t>& found() const { return starts_; }
  // The offsets of the messages' separator rows, in order; none when the bytes do not
  // begin as a mailbox.
  [[nodiscard]] std::vector<std::size_t> finish();

 private:
  // What a row is told by: its first bytes (a separator row) and its last ones (a closing
  // delimiter row, blanks after it allowed).
  static constexpr std::size_t kHead = 256;
  static constexpr std::size_t kTail = 64;
  struct Row {
    std::size_t start = 0;
    std::size_t length = 0;  // without its line feed
    std::string head;
    std::string tail;
  };
  void endRow();
  // How many bytes from a row's start can be passed over without reading their rows.
  [[nodiscard]] std::size_t skimmable(std::string_view bytes) const;
  // Whether the row just read opens a message by the rows' rule.
  [[nodiscard]] bool opensMessage() const;
  void open(std::size_t start);
  void release();  // a length that framed nothing: the rows it covered decide again

  std::vector<std::size_t> starts_;
  // The frame a Content-Length gives: read in the header, then the body's end.
  bool inHeader_ = false;
  std::optional<std::size_t> length_;
  std::optional<std::size_t> frameEnd_;
  bool emptyRowAtEnd_ = false;     // the row at the frame's end was empty; a separator next
  std::vector<std::size_t> held_;  // messages the rows would open inside the frame
  std::size_t offset_ = 0;         // of the next byte fed
  Row row_;                        // the row being read
  Row previous_;                   // the row before it
  bool beforePreviousEndsInCR_ = false;
  bool notMailbox_ = false;
};

// A mailbox's starts as a splitter finds them, read by other threads while it goes on:
// message k is whole once the start after it is known, or the split has ended.
class QVMailboxStarts {
 public:
  QVMailboxStarts() = default;
  // Starts known beforehand: the split has ended.
  explicit QVMailboxStarts(std::vector<std::size_t> all);
  QVMailboxStarts(const QVMailboxStarts&) = delete;
  QVMailboxStarts& operator=(const QVMailboxStarts&) = delete;

  void add(const std::vector<std::size_t>& found);  // all found so far, in order
  void finish(const std::vector<std::size_t>& all);

  // The split has ended, and message k is past the last.
  [[nodiscard]] bool past(std::size_t k) const;
  // Where message k begins is known.
  [[nodiscard]] bool started(std::size_t k) const;
  // Waits until message k is whole, or known not to be there (past the last): false then.
  [[nodiscard]] bool wait(std::size_t k) const;
  // Where message k begins (once started), and ends (once whole) in a mailbox of `size`
  // bytes.
  [[nodiscard]] std::size_t start(std::size_t k) const;
  [[nodiscard]] std::size_t end(std::size_t k, std::size_t size) const;
  // Whether the mailbox holds one message alone (known once message 0 is).
  [[nodiscard]] bool single() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable grown_;
  std::vector<std::size_t> starts_;
  bool finished_ = false;
};

// The message of the mailbox's bytes whose separator row begins at `from`, up to `to`.
[[nodiscard]] QVMailboxMessage mailboxMessage(std::string_view bytes, std::size_t from,
                                              std::size_t to);
// The messages of a mailbox; none when the bytes are not a mailbox (one message).
[[nodiscard]] std::vector<QVMailboxMessage> mailboxMessages(std::string_view bytes);

// Why a message of a mailbox is left as it is though it could be rebuilt: a multipart level
// that never closes. The message was most likely cut by a body row "From " that its writer
// did not quote, its rest standing in the next "message"; rebuilt, the first half would be
// closed early and the rest would follow its end, lost to strict readers. Nothing for a
// message that is not in a mailbox.
[[nodiscard]] std::optional<std::string> mailboxRefusal(const QVManipulator& message,
                                                        bool inMailbox);

// The files a name given to the command stands for: a file itself; the file "mbox" of an
// Apple mailbox folder; every file of a Maildir's "cur" and "new", in name order. The
// second of each pair names the result inside an output folder ("cur/NAME" for a Maildir's
// file). Nothing, with `error` set, for a folder that is neither. A symbolic link inside a
// Maildir is not followed (it could lead anywhere): it is left out, with a line in `notes`.
struct QVMailFile {
  std::string path;
  std::filesystem::path outputName;
  bool inMaildir = false;  // one message, never a mailbox, whatever its first row
};
[[nodiscard]] std::vector<QVMailFile> mailFiles(const std::string& name, std::string& error,
                                                std::vector<std::string>& notes);

// A Maildir file's name with the sizes it records (",S=" the file's size, ",W=" its size
// with CR LF line ends) set to the given ones; the name itself when it records none.
[[nodiscard]] std::string maildirNameWithSizes(const std::string& name, std::size_t size,
                                               std::size_t crlfSize);

}  // namespace qv::cli

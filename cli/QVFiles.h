#pragma once
// File plumbing for the command line: inputs mapped and scanned through a small buffer,
// outputs written with vectored writes and kernel copies, made visible only when complete.

#include <sys/stat.h>

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/QVManipulator.h"
#include "core/QVRowScan.h"

namespace qv::cli {

class QVMailboxSplitter;
class QVMailboxStarts;

// Opens descriptors 0, 1 and 2 where they are closed (a cron job's closed standard error,
// say), before anything else is opened: a file opened later would get one of these numbers,
// and log lines or output meant for them would land in the file. Standard input and error
// are /dev/null then; standard output /dev/full (see standardOutputWasClosed).
void openStandardDescriptors();

// Whether standard output was closed when the command started: output meant for it cannot
// be written (it goes to /dev/full, which refuses it).
[[nodiscard]] bool standardOutputWasClosed();

// Removes this process's temporary files and lock files now; safe inside a signal handler
// (for a second signal that ends the process at once).
void removeTempFilesNow();

// When the rows of an input are found while it is read.
enum class QVRowScanWhen : std::uint8_t {
  kNever,
  kAlways,
  kUnlessMailbox,  // not for a file that begins as a mailbox: each message scans its own
};

// A file whose bytes, from offset 0, are mapped at `bytes`.
struct QVSourceFile {
  int fd;
  std::string_view bytes;
};

// A whole input. A regular file is mapped read-only and left untouched: when asked, its rows
// are found by reading it through a small buffer (the kernel's copy from its page cache is
// cheap; touching the 4 KiB pages of a mapping one by one is not, least of all in a virtual
// machine), so that the rebuild reads only the rows it needs and the copied stretches go
// from file to file inside the kernel. Anything else (a pipe, a terminal, standard input
// not at its start) is read into memory.
class QVInput {
 public:
  // Opens a file, or standard input for "-"; as `scan` says, also finds its rows (see
  // takeRowScan). The error text when it cannot be read.
  [[nodiscard]] static std::optional<std::string> open(const std::string& name, QVInput& into,
                                                       QVRowScanWhen scan = QVRowScanWhen::kNever);
  // The file an open descriptor reads, from its start (a copy of it; the descriptor stays
  // the caller's).
  [[nodiscard]] static std::optional<std::string> openDescriptor(int fd, QVInput& into);
  QVInput() = default;
  QVInput(const QVInput&) = delete;
  QVInput& operator=(const QVInput&) = delete;
  ~QVInput();

  [[nodiscard]] std::string_view bytes() const { return bytes_; }
  // The rows found while reading, once; nothing when they were not looked for.
  [[nodiscard]] std::optional<QVRowScan> takeRowScan();
  // The file the bytes are mapped from, for copies inside the kernel; nothing when the
  // bytes were read into memory.
  [[nodiscard]] std::optional<QVSourceFile> sourceFile() const;
  // Why the bytes cannot be trusted: the file changed while it was read (its size or time
  // of change moved, or it shrank under the mapping); nothing when it stood still.
  [[nodiscard]] std::optional<std::string> changed() const;
  // The file as it was opened; nothing for a pipe, a device or standard input's terminal.
  [[nodiscard]] const struct stat* fileStat() const { return regular_ ? &opened_ : nullptr; }
  // Where the messages begin when the bytes are a mailbox (see QVMailboxSplitter): a file is
  // read for them through a small buffer, its mapping left untouched.
  [[nodiscard]] std::vector<std::size_t> messageStarts() const;
  // Whether the bytes begin as a mailbox ("From "), told by their first bytes.
  [[nodiscard]] bool beginsAsMailbox() const;
  // The starts of a mailbox's messages, published to `into` as they are found (on the
  // calling thread, while others read them); it stops early when `stop` is asked.
  void splitInto(QVMailboxStarts& into, const std::stop_token& stop) const;
  // The bytes before `offset` are done with: a file's pages of them leave this process's
  // memory (they are read again from the file if asked for), so that a mailbox rewritten
  // message by message holds about one message at a time.
  void release(std::size_t offset);

 private:
  void* map_ = nullptr;  // the file's mapping, or the memory its bytes were read into
  std::size_t mapLength_ = 0;
  bool anonymous_ = false;  // map_ holds bytes read, not the file's own pages
  int watchSlot_ = -1;      // the slot that watches the mapping for a file cut short
  int fd_ = -1;
  bool ownsFd_ = false;
  std::string_view bytes_;
  std::optional<QVRowScan> rows_;
  [[nodiscard]] std::optional<std::string> adopt(int fd, bool owned, QVRowScanWhen scan,
                                                 bool fromStart = false);
  // The mailbox split, `fed` asked after each piece whether to go on.
  [[nodiscard]] std::vector<std::size_t> split(
      const std::function<bool(const QVMailboxSplitter&)>& fed) const;

  bool regular_ = false;
  struct stat opened_ {};  // the file as it was opened
  std::size_t released_ = 0;
};

// The manipulator of an input's message, with the rows found while it was read when they
// were looked for (it then reads only the rows it needs), else with its own scan. A picture
// whose file name contains `signatureName` stays inline, and so does one of fewer bytes than
// `keepInlineBelow` when it is given.
[[nodiscard]] std::unique_ptr<QVManipulator> manipulatorFor(
    QVInput& in, std::string_view signatureName,
    std::optional<std::size_t> keepInlineBelow = std::nullopt);

// Writes `count` pieces, `piece(i)` each, to a descriptor: vectored writes of at most
// 64 KiB each, and for a long stretch of `source` (when given) a copy inside the kernel
// from the source file (copy_file_range to a file, sendfile to a pipe; a plain write where
// neither works). The error text when a write fails.
[[nodiscard]] std::optional<std::string> writeAll(
    int fd, std::size_t count, const std::function<std::string_view(std::size_t)>& piece,
    const std::optional<QVSourceFile>& source = std::nullopt);

// Where an output goes, as the user named it: the file a symbolic link leads to (the link
// itself is never replaced), and for a FIFO or a device the stream itself.
//
// A regular file appears only once complete: bytes go to an unnamed temporary file in the
// target's folder (O_TMPFILE; where the file system has none, a hidden named one that a
// SIGTERM, SIGINT or SIGHUP removes), which commit() links in over the target. A file being
// replaced keeps its owner, group, mode (set-id bits where the caller may keep them) and
// extended attributes, or the commit fails saying which could not be kept; a file with
// other hard links is refused (replacing it would break them). A new file gets 0666 less
// the umask. Dropped without commit, nothing is left behind and the target is untouched.
class QVAtomicFile {
 public:
  QVAtomicFile() = default;
  QVAtomicFile(const QVAtomicFile&) = delete;
  QVAtomicFile& operator=(const QVAtomicFile&) = delete;
  ~QVAtomicFile();

  // Opens the output for `target`. With `inPlace`, the target is the input being rewritten:
  // it must be a regular file.
  [[nodiscard]] std::optional<std::string> create(const std::filesystem::path& target,
                                                  bool inPlace = false);
  [[nodiscard]] int fd() const { return fd_; }
  // Makes the output visible (synced first when asked: a file that replaces the only copy
  // of a message is synced). With `expected` (the input as it was opened, for a rewrite in
  // place), the target is looked at once more just before it is replaced, and left alone
  // when it is no longer that file as it was (another inode, size or time of change).
  [[nodiscard]] std::optional<std::string> commit(bool sync, const struct stat* expected = nullptr);

 private:
  std::filesystem::path target_;  // the final path, links followed
  std::string temp_;              // a named temporary file, when there is no unnamed one
  int fd_ = -1;
  bool stream_ = false;  // writing to a FIFO or a device as it is
  bool replaces_ = false;
  struct stat kept_ {};  // the file being replaced
};

// A mailbox's lock as mail programs take it before they deliver to it: first the file
// NAME.lock beside it, made whole with this process's number in it, then an fcntl write
// lock on the mailbox itself. A lock file whose process is gone, or that nobody renewed for
// five minutes, is stale and taken over; one that cannot be removed is waited on like a held
// one. When the fcntl lock is held by another program (one that takes the two in the other
// order), the lock file is given up again while waiting, so that neither waits on the other.
// While held, the lock file's time is renewed every 30 seconds. Both go when the object
// does, and the lock file also when a signal ends the process.
class QVMailboxLock {
 public:
  QVMailboxLock() = default;
  QVMailboxLock(const QVMailboxLock&) = delete;
  QVMailboxLock& operator=(const QVMailboxLock&) = delete;
  ~QVMailboxLock();

  struct Refused {
    std::string reason;
    bool busy;  // held by another program: try again later
  };
  // Waits up to `seconds` for both locks, or until `stopped` says so. A folder where no lock
  // file can be made (no write permission) leaves the fcntl lock alone. A process number
  // in a lock file is believed only on a local file system.
  [[nodiscard]] std::optional<Refused> lock(const std::filesystem::path& mailbox, int seconds = 30,
                                            const std::function<bool()>& stopped = {});
  // The mailbox, open for reading and writing, and its path with links followed.
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] const std::filesystem::path& file() const { return file_; }

 private:
  enum class Taken : std::uint8_t { kTaken, kHeld, kNoLockFiles, kError };
  Taken takeLockFile(std::string& error);
  void dropLockFile();

  std::filesystem::path file_;
  std::string dotlock_;  // the lock file, while it is ours
  int fd_ = -1;
  std::thread renewer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
};

// A file rewritten inside its own inode, as mail readers rewrite a mailbox: other programs
// hold it open, and a delivery waiting for its lock must append to the file that stays. The
// original is first copied aside, beside it as NAME.stowlet-original, and synced with its
// folder; the new bytes then go into the file from the first byte that changes, the file is
// cut to its new length and synced, and the copy goes. Dropped before commit, the
// original's bytes are put back from the copy (and the copy goes when that worked). After a
// crash, the copy is there to restore the file with.
class QVInPlaceFile {
 public:
  QVInPlaceFile() = default;
  QVInPlaceFile(const QVInPlaceFile&) = delete;
  QVInPlaceFile& operator=(const QVInPlaceFile&) = delete;
  ~QVInPlaceFile();

  // A copy an interrupted rewrite left beside `file` (open as `fd`): the reason the file is
  // not to be rewritten, unless the copy holds just what the file holds (it then goes).
  [[nodiscard]] static std::optional<std::string> checkNoCopy(const std::filesystem::path& file,
                                                              int fd);
  // `fd`: the file open for reading and writing, under its locks; `from`: the first byte
  // that changes, where writing begins.
  [[nodiscard]] std::optional<std::string> begin(const std::filesystem::path& file, int fd,
                                                 std::size_t from);
  [[nodiscard]] int fd() const { return fd_; }
  // The copy, open for reading: the original's bytes to write the rest from.
  [[nodiscard]] int copyFd() const { return copyFd_; }
  // Also keeps a mailbox that was read since its last change reading as one with no new
  // mail (its access time after its time of change).
  [[nodiscard]] std::optional<std::string> commit();

  // The copy of `file` that a rewrite in place leaves behind it when it is interrupted.
  [[nodiscard]] static std::filesystem::path copyOf(const std::filesystem::path& file);

 private:
  std::filesystem::path copy_;
  int fd_ = -1;
  int copyFd_ = -1;
  std::size_t from_ = 0;
  std::size_t size_ = 0;  // the original's
  bool read_ = false;     // accessed since its last change
};

// Whether the file begins as a mailbox does (its first row "From ").
[[nodiscard]] bool looksLikeMailbox(const std::filesystem::path& file);

}  // namespace qv::cli

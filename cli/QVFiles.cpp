#include "cli/QVFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "cli/QVMailbox.h"
#include "host/QVFileWriting.h"

namespace qv::cli {

namespace {

std::string errnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

// Reads a descriptor to its end into an anonymous mapping that grows by moving its pages
// (mremap), never by copying them: a message from a pipe costs its own size in memory, not
// the twice that a doubling buffer holds while it copies.
std::optional<std::string> readAll(int fd, void*& map, std::size_t& capacity, std::size_t& size) {
  capacity = std::size_t{1} << 20;
  size = 0;
  map = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) {
    map = nullptr;
    return errnoText(errno);
  }
  for (;;) {
    if (size == capacity) {
      void* grown = ::mremap(map, capacity, capacity * 2, MREMAP_MAYMOVE);
      if (grown == MAP_FAILED) return errnoText(errno);
      map = grown;
      capacity *= 2;
    }
    const ssize_t n = ::read(fd, static_cast<char*>(map) + size, capacity - size);
    if (n == 0) return std::nullopt;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    size += static_cast<std::size_t>(n);
  }
}

// Writes go out in slices of 64 KiB (a pipe's capacity). Page-cache pages for a file then
// come in small units, never as 2 MiB blocks: fresh large blocks cost a compaction on a
// fragmented machine, and in a virtual machine that hands free memory back to its host a
// fault in the host for every page, which made one 50 MB write three times slower.
constexpr std::size_t kWriteSlice = std::size_t{64} << 10;
// A stretch of the source at least this long is copied by the kernel.
constexpr std::size_t kKernelCopy = std::size_t{64} << 10;
// The buffer the rows are scanned through: small enough to stay in the cache.
constexpr std::size_t kScanChunk = std::size_t{256} << 10;

// A file this long is scanned in two halves at once.
constexpr std::size_t kTwoHalves = std::size_t{8} << 20;

// Scans [from, to) of the open file, which begins a row, reading it through a small buffer.
std::optional<std::string> scanRange(int fd, std::size_t from, std::size_t to, std::size_t sizeHint,
                                     QVRowScan& rows) {
  QVRowScanner scanner(rows.starts, &rows.dashRows, sizeHint, from);
  std::unique_ptr<char[]> chunk(new char[kScanChunk]);
  std::size_t done = from;
  while (done < to) {
    const ssize_t n =
        ::pread(fd, chunk.get(), std::min(kScanChunk, to - done), static_cast<off_t>(done));
    if (n == 0) return std::string("the file shrank while it was read");
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    scanner.feed(std::string_view(chunk.get(), static_cast<std::size_t>(n)));
    done += static_cast<std::size_t>(n);
  }
  rows.utf8 = scanner.finish();
  return std::nullopt;
}

// Where the second half of a long file begins: just after the first line feed past its
// middle (a line feed is never inside a UTF-8 sequence); nothing when there is none.
std::optional<std::size_t> secondHalf(int fd, std::size_t length) {
  char window[4096];
  for (std::size_t at = length / 2; at < length;) {
    const ssize_t n =
        ::pread(fd, window, std::min(sizeof window, length - at), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (const void* lf = std::memchr(window, '\n', static_cast<std::size_t>(n))) {
      const std::size_t split =
          at + static_cast<std::size_t>(static_cast<const char*>(lf) - window) + 1;
      return split < length ? std::optional<std::size_t>(split) : std::nullopt;
    }
    at += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

// Finds the rows of the open file. A long file is scanned in two halves on two threads (the
// kernel's copies from the page cache are most of the cost), then the halves are joined.
std::optional<std::string> scanFile(int fd, std::size_t length, QVRowScan& rows) {
  std::optional<std::size_t> split;
  if (length >= kTwoHalves && std::thread::hardware_concurrency() >= 2) {
    split = secondHalf(fd, length);
  }
  if (!split) return scanRange(fd, 0, length, length, rows);

  QVRowScan second;
  std::optional<std::string> secondError;
  std::thread other;
  try {
    other =
        std::thread([&] { secondError = scanRange(fd, *split, length, length - *split, second); });
  } catch (const std::system_error&) {
    return scanRange(fd, 0, length, length, rows);  // no thread to be had: one pass
  }
  std::optional<std::string> firstError = scanRange(fd, 0, *split, length, rows);
  other.join();
  if (firstError) return firstError;
  if (secondError) return secondError;
  rows.utf8 = rows.utf8 && second.utf8;
  if (!rows.utf8) return std::nullopt;
  // The first half ends with its sentinel and the row that opens the second half, which the
  // second half lists first.
  rows.starts.resize(rows.starts.size() - 2);
  const auto firstRows = static_cast<std::uint32_t>(rows.starts.size());
  rows.starts.insert(rows.starts.end(), second.starts.begin(), second.starts.end());
  for (const std::uint32_t r : second.dashRows) rows.dashRows.push_back(firstRows + r);
  return std::nullopt;
}

}  // namespace

namespace {

// The mappings being read (one per file read at a time: the files of a batch are read side
// by side). A file cut short under one would raise SIGBUS at the first page past its new
// end: the handler puts a page of zeros there instead and notes it, so the process goes on,
// and the input is found changed.
struct QVWatchedMapping {
  std::atomic<const char*> from{nullptr};
  std::atomic<std::size_t> length{0};
  std::atomic<bool> cut{false};
};
constexpr int kMaxWatched = 32;
QVWatchedMapping watched[kMaxWatched];

void zeroPageOnBus(int signal, siginfo_t* info, void*) {
  const auto* at = static_cast<const char*>(info->si_addr);
  for (QVWatchedMapping& mapping : watched) {
    const char* from = mapping.from.load();
    if (from == nullptr || at < from || at >= from + mapping.length.load()) continue;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(at) & ~(page - 1));
    if (::mmap(start, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      mapping.cut.store(true);
      return;
    }
    break;
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// The slot that watches the mapping; -1 when every slot is taken (the bytes are then read
// into memory instead).
int watchMapping(const void* map, std::size_t length) {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = zeroPageOnBus;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
    return true;
  }();
  (void)installed;
  for (int slot = 0; slot < kMaxWatched; ++slot) {
    const char* none = nullptr;
    // Nothing reads the mapping before this returns: the slot's length may follow.
    if (watched[slot].from.compare_exchange_strong(none, static_cast<const char*>(map))) {
      watched[slot].cut.store(false);
      watched[slot].length.store(length);
      return slot;
    }
  }
  return -1;
}

void unwatchMapping(int slot) {
  if (slot < 0) return;
  watched[slot].length.store(0);
  watched[slot].from.store(nullptr);
}

}  // namespace

std::optional<std::string> QVInput::changed() const {
  if (!regular_) return std::nullopt;
  if (map_ != nullptr && !anonymous_ && watchSlot_ >= 0 && watched[watchSlot_].cut.load())
    return std::string("it shrank while it was read");
  struct stat now {};
  if (fd_ < 0 || ::fstat(fd_, &now) != 0) return std::nullopt;
  if (now.st_size != opened_.st_size || now.st_mtim.tv_sec != opened_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec) {
    return std::string("it changed while it was read");
  }
  return std::nullopt;
}

std::optional<std::string> QVInput::open(const std::string& name, QVInput& into,
                                         QVRowScanWhen scan) {
  const bool stdinput = name == "-";
  const int fd = stdinput ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errnoText(errno);
  return into.adopt(fd, !stdinput, scan);
}

std::optional<std::string> QVInput::openDescriptor(int descriptor, QVInput& into) {
  const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return errnoText(errno);
  // Read from its start, whatever the descriptor's own position.
  return into.adopt(fd, true, QVRowScanWhen::kNever, true);
}

std::optional<std::string> QVInput::adopt(int fd, bool owned, QVRowScanWhen scan, bool fromStart) {
  const bool stdinput = !owned;
  // The descriptor stays open while the bytes are mapped from it (it is the source of the
  // kernel's copies); otherwise it is closed at once.
  fd_ = fd;
  ownsFd_ = owned;
  QVInput& into = *this;

  struct stat st {};
  if (::fstat(fd, &st) != 0) return errnoText(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  into.regular_ = S_ISREG(st.st_mode);
  into.opened_ = st;
  // Standard input may be a file read from its middle: only a file at its start is mapped.
  const bool atStart = fromStart || !stdinput || ::lseek(fd, 0, SEEK_CUR) == 0;
  const auto length = static_cast<std::size_t>(st.st_size);
  if (S_ISREG(st.st_mode) && atStart && length > 0) {
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    const int slot = map == MAP_FAILED ? -1 : watchMapping(map, length);
    if (map != MAP_FAILED && slot < 0) ::munmap(map, length);
    if (slot >= 0) {
      into.watchSlot_ = slot;
      into.map_ = map;
      into.mapLength_ = length;
      into.bytes_ = std::string_view(static_cast<const char*>(map), length);
      // (A message of 4 GiB or more has no rows to the manipulator: no scan for it. A
      // mailbox's messages each find their own.)
      bool scanRows = scan == QVRowScanWhen::kAlways;
      if (scan == QVRowScanWhen::kUnlessMailbox) {
        char start[5] = {};
        scanRows =
            ::pread(fd, start, sizeof start, 0) != 5 || std::string_view(start, 5) != "From ";
      }
      if (scanRows && length < std::numeric_limits<std::uint32_t>::max()) {
        QVRowScan rows;
        if (auto error = scanFile(fd, length, rows)) return error;
        into.rows_ = std::move(rows);
      }
      return std::nullopt;
    }
  }
  std::size_t size = 0;
  into.anonymous_ = true;
  if (auto error = readAll(fd, into.map_, into.mapLength_, size)) return error;
  into.bytes_ = std::string_view(static_cast<const char*>(into.map_), size);
  // A regular file keeps its descriptor, to be asked at the end whether it changed.
  if (!into.regular_) {
    if (into.ownsFd_) ::close(fd);
    into.fd_ = -1;
  }
  return std::nullopt;
}

QVInput::~QVInput() {
  if (map_ != nullptr) {
    if (!anonymous_) unwatchMapping(watchSlot_);
    ::munmap(map_, mapLength_);
  }
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

std::optional<QVRowScan> QVInput::takeRowScan() {
  return std::exchange(rows_, std::nullopt);
}

bool QVInput::beginsAsMailbox() const {
  // Told by the first bytes, without reading the rest (and a file's, without touching its
  // mapping).
  char start[5] = {};
  if (map_ != nullptr && !anonymous_ && fd_ >= 0) {
    if (::pread(fd_, start, sizeof start, 0) != 5) return false;
  } else if (bytes_.size() >= 5) {
    std::memcpy(start, bytes_.data(), 5);
  }
  return std::string_view(start, 5) == "From ";
}

std::vector<std::size_t> QVInput::split(
    const std::function<bool(const QVMailboxSplitter&)>& fed) const {
  QVMailboxSplitter splitter;
  if (map_ != nullptr && !anonymous_ && fd_ >= 0) {
    std::unique_ptr<char[]> chunk(new char[kScanChunk]);
    for (std::size_t done = 0; done < bytes_.size();) {
      const ssize_t n = ::pread(fd_, chunk.get(), std::min(kScanChunk, bytes_.size() - done),
                                static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // cut short: changed() tells
      splitter.feed(std::string_view(chunk.get(), static_cast<std::size_t>(n)));
      done += static_cast<std::size_t>(n);
      if (!fed(splitter)) break;
    }
  } else {
    splitter.feed(bytes_);
  }
  return splitter.finish();
}

std::vector<std::size_t> QVInput::messageStarts() const {
  // One message (the common case) is told by its first bytes.
  if (!beginsAsMailbox()) return {};
  return split([](const QVMailboxSplitter&) { return true; });
}

void QVInput::splitInto(QVMailboxStarts& into, const std::stop_token& stop) const {
  into.finish(split([&](const QVMailboxSplitter& splitter) {
    into.add(splitter.found());
    return !stop.stop_requested();
  }));
}

void QVInput::release(std::size_t offset) {
  if (map_ == nullptr || anonymous_) return;  // bytes read into memory are the only copy
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t upTo = std::min(offset, mapLength_) / page * page;
  if (upTo <= released_) return;
  ::madvise(static_cast<char*>(map_) + released_, upTo - released_, MADV_DONTNEED);
  released_ = upTo;
}

std::unique_ptr<QVManipulator> manipulatorFor(QVInput& in, std::string_view signatureName,
                                              std::optional<std::size_t> keepInlineBelow) {
  if (std::optional<QVRowScan> rows = in.takeRowScan()) {
    return std::make_unique<QVManipulator>(in.bytes(), std::move(*rows), signatureName,
                                           keepInlineBelow);
  }
  return std::make_unique<QVManipulator>(in.bytes(), signatureName, keepInlineBelow);
}

std::optional<QVSourceFile> QVInput::sourceFile() const {
  if (map_ == nullptr || anonymous_ || fd_ < 0) return std::nullopt;
  return QVSourceFile{fd_, bytes_};
}

namespace {

// How a stretch of the source reaches the output.
enum class CopyWay : std::uint8_t { kCopyFileRange, kSendfile, kWrite };

// Copies [offset, offset + length) of the source to `fd`, falling back from one way to the
// next where the kernel refuses it (another file system, a pipe, an appending file...).
std::optional<std::string> copySpan(int fd, const QVSourceFile& source, std::size_t offset,
                                    std::size_t length, CopyWay& way) {
  while (length > 0) {
    ssize_t n = -1;
    if (way == CopyWay::kCopyFileRange) {
      auto from = static_cast<off_t>(offset);
      n = ::copy_file_range(source.fd, &from, fd, nullptr, length, 0);
      if (n < 0 && errno != EINTR && errno != EIO && errno != ENOSPC && errno != EDQUOT) {
        way = CopyWay::kSendfile;
        continue;
      }
    } else if (way == CopyWay::kSendfile) {
      auto from = static_cast<off_t>(offset);
      n = ::sendfile(fd, source.fd, &from, length);
      if (n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        way = CopyWay::kWrite;
        continue;
      }
    } else {
      n = ::write(fd, source.bytes.data() + offset, std::min(length, kWriteSlice));
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    if (n == 0) return std::string("the input file shrank while it was copied");
    offset += static_cast<std::size_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> writeAll(int fd, std::size_t count,
                                    const std::function<std::string_view(std::size_t)>& piece,
                                    const std::optional<QVSourceFile>& source) {
  CopyWay way = CopyWay::kWrite;
  if (source) {
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    way = regular ? CopyWay::kCopyFileRange : CopyWay::kSendfile;
  }
  // The source offset of a long stretch of the source, or nothing.
  auto longSpan = [&](std::string_view p) -> std::optional<std::size_t> {
    if (!source || p.size() < kKernelCopy) return std::nullopt;
    const char* begin = source->bytes.data();
    if (p.data() < begin || p.data() + p.size() > begin + source->bytes.size()) {
      return std::nullopt;
    }
    return static_cast<std::size_t>(p.data() - begin);
  };

  // Each write call takes at most kWriteSlice bytes, gathered from as many pieces as that
  // takes; a long stretch of the source goes by the kernel's copy instead.
  std::vector<iovec> batch;
  std::size_t next = 0;    // the first piece not wholly written
  std::size_t offset = 0;  // bytes of it already written
  while (next < count) {
    if (offset == 0) {
      if (const auto at = longSpan(piece(next))) {
        if (auto error = copySpan(fd, *source, *at, piece(next).size(), way)) return error;
        ++next;
        continue;
      }
    }
    batch.clear();
    std::size_t total = 0;
    std::size_t i = next;
    std::size_t from = offset;
    while (i < count && batch.size() < IOV_MAX && total < kWriteSlice) {
      const std::string_view whole = piece(i);
      if (from == 0 && i > next && longSpan(whole)) break;
      const std::string_view p = whole.substr(from);
      const std::size_t take = std::min(p.size(), kWriteSlice - total);
      if (take > 0) batch.push_back({const_cast<char*>(p.data()), take});
      total += take;
      if (take == p.size()) {
        ++i;
        from = 0;
      } else {
        from += take;
      }
    }
    if (batch.empty()) {  // only empty pieces up to here
      next = i;
      offset = from;
      continue;
    }
    const ssize_t n = ::writev(fd, batch.data(), static_cast<int>(batch.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    if (n == 0) return std::string("the write made no progress");
    // Move past what was written (a short write resumes inside a piece).
    auto left = static_cast<std::size_t>(n);
    while (left > 0) {
      const std::size_t rest = piece(next).size() - offset;
      if (left < rest) {
        offset += left;
        break;
      }
      left -= rest;
      ++next;
      offset = 0;
    }
  }
  return std::nullopt;
}

namespace {

// Named temporary files of this process, removed when a signal ends it.
constexpr int kMaxTemps = 64;  // a batch writes one per thread at once
std::atomic<const char*> temps[kMaxTemps];

void removeTempsAndDie(int signal) {
  removeTempFilesNow();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void rememberTemp(const std::string& path) {
  static const bool installed = [] {
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
      struct sigaction action {};
      action.sa_handler = removeTempsAndDie;
      sigemptyset(&action.sa_mask);
      struct sigaction old {};
      // Ignored, or taken by the caller (a batch that stops between messages, when its
      // temporary files are gone): left as it is.
      if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler != SIG_DFL) continue;
      ::sigaction(s, &action, nullptr);
    }
    return true;
  }();
  (void)installed;
  for (auto& temp : temps) {
    const char* none = nullptr;
    if (temp.compare_exchange_strong(none, path.c_str())) return;
  }
}

void forgetTemp(const std::string& path) {
  for (auto& temp : temps) {
    const char* mine = path.c_str();
    temp.compare_exchange_strong(mine, nullptr);
  }
}

// The path a name leads to: symbolic links followed, to a file that may not exist yet. A
// link is followed only where the system itself would follow it for this process: in a
// sticky folder that anyone may write to (/tmp, a mail spool), only a link of this user's
// or of the folder's owner (another user's link there could lead a privileged run to any
// file).
std::optional<std::filesystem::path> followLinks(std::filesystem::path path, std::string& error) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return path;
      error = errnoText(errno);
      return std::nullopt;
    }
    if (!S_ISLNK(st.st_mode)) return path;
    const std::filesystem::path folder =
        path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 &&
        (dir.st_mode & S_IWOTH) != 0 && st.st_uid != ::geteuid() && st.st_uid != dir.st_uid) {
      error = path.string() +
              " is another user's symbolic link in a sticky folder that anyone may write to; "
              "the system follows no such link, and neither does this command";
      return std::nullopt;
    }
    std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) {
      error = errnoText(errno);
      return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(n));
    const std::filesystem::path next(target);
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  error = errnoText(ELOOP);
  return std::nullopt;
}

// Copies the extended attributes of `from` (a path) onto `to` (a descriptor).
std::optional<std::string> copyAttributes(const std::filesystem::path& from, int to) {
  const ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
  if (size < 0) return errno == ENOTSUP ? std::nullopt : std::optional(errnoText(errno));
  std::string names(static_cast<std::size_t>(size), '\0');
  const ssize_t got = ::listxattr(from.c_str(), names.data(), names.size());
  if (got < 0) return errnoText(errno);
  names.resize(static_cast<std::size_t>(got));
  for (std::size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    const ssize_t length = ::getxattr(from.c_str(), name.c_str(), nullptr, 0);
    if (length < 0) return "cannot read its attribute " + name + ": " + errnoText(errno);
    std::string value(static_cast<std::size_t>(length), '\0');
    const ssize_t read = ::getxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (read < 0) return "cannot read its attribute " + name + ": " + errnoText(errno);
    if (::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(read), 0) != 0) {
      return "cannot keep its attribute " + name + ": " + errnoText(errno);
    }
  }
  return std::nullopt;
}

}  // namespace

void removeTempFilesNow() {
  for (auto& temp : temps) {
    if (const char* path = temp.load()) ::unlink(path);
  }
}

namespace {
bool stdoutClosed = false;
}  // namespace

bool standardOutputWasClosed() {
  return stdoutClosed;
}

void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this one, as the ones below are open. Output meant for a
    // closed standard output is never written as if it were (/dev/full refuses it).
    if (fd == STDOUT_FILENO) stdoutClosed = true;
    const int opened = ::open(fd == 0   ? "/dev/null"
                              : fd == 1 ? "/dev/full"
                                        : "/dev/null",
                              fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

QVAtomicFile::~QVAtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    forgetTemp(temp_);
  }
}

std::optional<std::string> QVAtomicFile::create(const std::filesystem::path& target, bool inPlace) {
  std::string error;
  std::optional<std::filesystem::path> path = followLinks(target, error);
  if (!path) return error;
  target_ = *path;
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::string("it is a folder");
    if (!S_ISREG(st.st_mode)) {
      if (inPlace)
        return std::string(
            "it is no regular file (a FIFO or a device), so it cannot be rewritten in place");
      // A FIFO or a device is written to as it is.
      fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (fd_ < 0) return errnoText(errno);
      stream_ = true;
      return std::nullopt;
    }
    if (st.st_nlink > 1) {
      return "it has " + std::to_string(st.st_nlink) +
             " hard links, which replacing it would break; write the result elsewhere";
    }
    replaces_ = true;
    kept_ = st;
  } else if (errno != ENOENT) {
    return errnoText(errno);
  } else if (inPlace) {
    return std::string("it is gone (moved or removed while it was read); it was not written");
  }
  const std::filesystem::path folder =
      target_.parent_path().empty() ? std::filesystem::path(".") : target_.parent_path();
  // An unnamed file is linked in through /proc at the end: without /proc, a named one.
  static const bool procFds = ::access("/proc/self/fd", X_OK) == 0;
  fd_ = procFds ? ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
  if (fd_ < 0) {
    // No unnamed files here: a hidden named one, removed if a signal ends the process (held
    // off until the file is known to the handler).
    const QVSignalsHeld held;
    temp_ = (folder / ("." + target_.filename().string() + ".stowlet-XXXXXX")).string();
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0) {
      const std::string text = errnoText(errno);
      temp_.clear();
      return text;
    }
    rememberTemp(temp_);
  }
  return std::nullopt;
}

std::optional<std::string> QVAtomicFile::commit(bool sync, const struct stat* expected) {
  if (stream_) {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) != 0 ? std::optional(errnoText(errno)) : std::nullopt;
  }
  // What the replaced file was, kept; the owner first (a change of owner clears the set-id
  // bits), then the mode, then the attributes.
  if (replaces_) {
    if (::fchown(fd_, kept_.st_uid, kept_.st_gid) != 0) {
      struct stat mine {};
      ::fstat(fd_, &mine);
      if (mine.st_uid != kept_.st_uid)
        return std::string("cannot keep its owner: ") + errnoText(errno);
      if (mine.st_gid != kept_.st_gid)
        return std::string("cannot keep its group: ") + errnoText(errno);
    }
    if (::fchmod(fd_, kept_.st_mode & 07777) != 0) {
      return std::string("cannot keep its mode: ") + errnoText(errno);
    }
    if (auto error = copyAttributes(target_, fd_)) return error;
  } else if (::fchmod(fd_, newFileMode()) != 0) {
    return errnoText(errno);
  }
  if (sync && ::fsync(fd_) != 0) return errnoText(errno);
  QVSignalsHeld held;
  if (temp_.empty()) {
    // Linked in under a hidden name, then renamed over the target.
    std::string name;
    const std::filesystem::path folder =
        target_.parent_path().empty() ? std::filesystem::path(".") : target_.parent_path();
    const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0;; ++attempt) {
      name = (folder / ("." + target_.filename().string() + ".stowlet-" +
                        std::to_string(::getpid()) + "-" + std::to_string(attempt)))
                 .string();
      if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      if (errno != EEXIST || attempt > 100) return errnoText(errno);
    }
    temp_ = name;
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) return errnoText(errno);
  if (expected != nullptr) {
    // Another program may have replaced or appended to the file since it was read (a mail
    // delivery): what it wrote must not be lost under the rewrite.
    struct stat now {};
    if (::stat(target_.c_str(), &now) != 0) {
      return std::string(
          "it is gone (moved or removed while it was rewritten); nothing was "
          "written");
    }
    if (now.st_dev != expected->st_dev || now.st_ino != expected->st_ino ||
        now.st_size != expected->st_size || now.st_mtim.tv_sec != expected->st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != expected->st_mtim.tv_nsec ||
        now.st_ctim.tv_sec != expected->st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != expected->st_ctim.tv_nsec) {
      return std::string("it changed while it was rewritten; it was left as it is, run again");
    }
  }
  // Renamed over an existing file, ext4 writes the new file's data out before the rename
  // returns (its guard for programs that never sync). Where no sync was asked for, the two
  // names are exchanged instead, atomically as well, and the old file under the hidden name
  // is removed; a synced file has nothing left to flush, so it is simply renamed.
  bool exchanged = false;
  if (replaces_ && !sync) {
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
      exchanged = true;
    } else if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != ENOENT) {
      return errnoText(errno);
    }
  }
  if (exchanged) {
    ::unlink(temp_.c_str());
  } else if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    return errnoText(errno);
  }
  forgetTemp(temp_);
  temp_.clear();
  return std::nullopt;
}

QVMailboxLock::~QVMailboxLock() {
  dropLockFile();              // first: a program waiting for the fcntl lock may want the file next
  if (fd_ >= 0) ::close(fd_);  // its fcntl lock goes with it
}

void QVMailboxLock::dropLockFile() {
  if (renewer_.joinable()) {
    {
      const std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    renewer_.join();
  }
  if (!dotlock_.empty()) {
    const QVSignalsHeld held;
    ::unlink(dotlock_.c_str());
    forgetTemp(dotlock_);
    dotlock_.clear();
  }
}

namespace {

// Removes the lock file `name` when it is stale: the process its number names is gone, or
// nobody renewed it for five minutes. False when it is not stale, or cannot be removed.
bool localFileSystem(const struct statfs& where) {
  switch (static_cast<unsigned long>(where.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x5346414F:  // AFS
    case 0x47504653:  // GPFS
    case 0x00C36400:  // CephFS
      return false;
    default: return true;
  }
}

bool removedStale(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;  // gone meanwhile: try again
  struct stat st {};
  char text[32] = {};
  const bool statted = ::fstat(fd, &st) == 0;
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  const struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  if (!statted) return false;
  long pid = 0;
  for (ssize_t i = 0; i < n && pid < (1L << 30); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      pid = pid * 10 + (text[i] - '0');
    } else if (pid != 0 || (text[i] != ' ' && text[i] != '\t')) {
      break;
    }
  }
  // A process number tells only on this machine: a lock file on a network file system may
  // be another machine's. (This process's own number: a process before it that had it; no
  // lock here is ours.)
  struct statfs where {};
  const bool local = ::fstatfs(fd, &where) == 0 ? localFileSystem(where) : false;
  const bool ownerGone =
      local && pid > 0 &&
      (pid == ::getpid() || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH));
  if (!ownerGone && ::time(nullptr) - st.st_mtime <= 300) return false;
  // Still that file, and not one that another program made meanwhile.
  struct stat now {};
  if (::lstat(name.c_str(), &now) != 0) return errno == ENOENT;
  if (now.st_dev != st.st_dev || now.st_ino != st.st_ino ||
      now.st_mtim.tv_nsec != st.st_mtim.tv_nsec || now.st_ctim.tv_nsec != st.st_ctim.tv_nsec ||
      now.st_mtim.tv_sec != st.st_mtim.tv_sec || now.st_ctim.tv_sec != st.st_ctim.tv_sec) {
    return false;
  }
  return ::unlink(name.c_str()) == 0;
}

}  // namespace

QVMailboxLock::Taken QVMailboxLock::takeLockFile(std::string& error) {
  const std::string name = file_.string() + ".lock";
  const std::string pid = std::to_string(::getpid()) + "\n";
  const std::filesystem::path folder =
      file_.parent_path().empty() ? std::filesystem::path(".") : file_.parent_path();
  static const bool procFds = ::access("/proc/self/fd", X_OK) == 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const QVSignalsHeld held;  // made and known to the signal handler at once
    int result = -1;
    // Whole at once: an unnamed file with the number in it, linked in under the name only
    // if no other file has it. (Without unnamed files: made, then written.)
    const int unnamed =
        procFds ? ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644) : -1;
    if (unnamed >= 0) {
      const bool written =
          ::write(unnamed, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
      const std::string proc = "/proc/self/fd/" + std::to_string(unnamed);
      result = written ? ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW)
                       : -1;
      const int err = errno;
      ::close(unnamed);
      errno = err;
    } else if (errno != EACCES && errno != EROFS && errno != EPERM) {
      const int made = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (made >= 0) {
        result = ::write(made, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size()) ? 0 : -1;
        ::close(made);
        if (result != 0) ::unlink(name.c_str());
      }
    }
    if (result == 0) {
      dotlock_ = name;
      rememberTemp(dotlock_);
      return Taken::kTaken;
    }
    if (errno == EACCES || errno == EROFS || errno == EPERM) return Taken::kNoLockFiles;
    if (errno != EEXIST) {
      error = "cannot make its lock file " + name + ": " + errnoText(errno);
      return Taken::kError;
    }
    if (!removedStale(name)) return Taken::kHeld;
  }
  return Taken::kHeld;
}

std::optional<QVMailboxLock::Refused> QVMailboxLock::lock(const std::filesystem::path& mailbox,
                                                          int seconds,
                                                          const std::function<bool()>& stopped) {
  std::string error;
  const std::optional<std::filesystem::path> file = followLinks(mailbox, error);
  if (!file) return Refused{error, false};
  file_ = *file;
  fd_ = ::open(file_.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) return Refused{"cannot open it for writing: " + errnoText(errno), false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const Taken taken = takeLockFile(error);
    if (taken == Taken::kError) return Refused{error, false};
    if (taken != Taken::kHeld) {
      // An open file description's lock: no other descriptor of this process on the
      // mailbox can drop it by closing. Programs that take POSIX locks see it all the same.
      struct flock range {};
      range.l_type = F_WRLCK;
      range.l_whence = SEEK_SET;
      int locked = ::fcntl(fd_, F_OFD_SETLK, &range);
      if (locked != 0 && errno == EINVAL) locked = ::fcntl(fd_, F_SETLK, &range);
      if (locked == 0) break;
      if (errno != EACCES && errno != EAGAIN && errno != EINTR) {
        const std::string why = errnoText(errno);
        dropLockFile();
        return Refused{"cannot lock it: " + why, false};
      }
      dropLockFile();  // its holder may be waiting for the lock file
    }
    if (stopped && stopped()) {
      return Refused{"stopped by a signal while it waited for the locks", true};
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return Refused{taken == Taken::kHeld
                         ? "its lock file " + file_.string() +
                               ".lock is held by another program; try again later"
                         : std::string("it is locked by another program; try again later"),
                     true};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!dotlock_.empty()) {
    // Renewed while held, by a thread that takes none of the signals the command handles.
    const QVSignalsHeld held;
    stop_ = false;
    try {
      renewer_ = std::thread([this, name = dotlock_] {
        std::unique_lock<std::mutex> guard(mutex_);
        while (!wake_.wait_for(guard, std::chrono::seconds(30), [this] { return stop_; })) {
          ::utimensat(AT_FDCWD, name.c_str(), nullptr, 0);
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: the lock file stays as made, good for five minutes.
    }
  }
  return std::nullopt;
}

std::filesystem::path QVInPlaceFile::copyOf(const std::filesystem::path& file) {
  return file.string() + ".stowlet-original";
}

namespace {

// Copies [from, from + length) of one descriptor to the same place in another, through the
// kernel where it can; the error text when that fails.
std::optional<std::string> copyRange(int in, int out, std::size_t from, std::size_t length) {
  auto at = static_cast<off_t>(from);
  auto to = static_cast<off_t>(from);
  while (length > 0) {
    ssize_t n = ::copy_file_range(in, &at, out, &to, length, 0);
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      char buffer[1 << 16];
      n = ::pread(in, buffer, std::min(sizeof buffer, length), at);
      if (n > 0 && ::pwrite(out, buffer, static_cast<std::size_t>(n), to) != n) n = -1;
      if (n > 0) {
        at += n;
        to += n;
      }
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    if (n == 0) return std::string("the file shrank while it was copied");
    length -= static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

bool sameBytes(int a, int b, std::size_t size) {
  char x[1 << 16];
  char y[1 << 16];
  for (std::size_t at = 0; at < size;) {
    const std::size_t want = std::min(sizeof x, size - at);
    if (::pread(a, x, want, static_cast<off_t>(at)) != static_cast<ssize_t>(want) ||
        ::pread(b, y, want, static_cast<off_t>(at)) != static_cast<ssize_t>(want) ||
        std::memcmp(x, y, want) != 0) {
      return false;
    }
    at += want;
  }
  return true;
}

std::optional<std::string> syncFolder(const std::filesystem::path& file) {
  const std::filesystem::path folder =
      file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errnoText(errno);
  const bool synced = ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  return synced || err == EINVAL ? std::nullopt : std::optional(errnoText(err));
}

}  // namespace

std::optional<std::string> QVInPlaceFile::checkNoCopy(const std::filesystem::path& file, int fd) {
  const std::filesystem::path copy = copyOf(file);
  struct stat st {};
  if (::lstat(copy.c_str(), &st) != 0) return std::nullopt;
  // An interrupted rewrite's copy is never overwritten: it may be the only whole one. Only a
  // copy that holds just what the file holds (left before the file was written) is no
  // longer needed.
  struct stat mine {};
  const int old = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  const bool same = old >= 0 && S_ISREG(st.st_mode) && ::fstat(fd, &mine) == 0 &&
                    st.st_size == mine.st_size &&
                    sameBytes(old, fd, static_cast<std::size_t>(st.st_size));
  if (old >= 0) ::close(old);
  if (same && ::unlink(copy.c_str()) == 0) return std::nullopt;
  return copy.string() +
         " is there, a copy that an interrupted rewrite left of it as it was: compare the two, "
         "put the copy back (mv) or remove it, then run again";
}

std::optional<std::string> QVInPlaceFile::begin(const std::filesystem::path& file, int fd,
                                                std::size_t from) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errnoText(errno);
  size_ = static_cast<std::size_t>(st.st_size);
  from_ = std::min(from, size_);
  const std::filesystem::path copy = copyOf(file);
  const std::filesystem::path folder =
      file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
  const auto cannot = [&](const std::string& why) {
    return "cannot copy it aside to " + copy.string() + ": " + why;
  };
  // Made whole, then named: a copy under the name is always the whole file. (An unnamed
  // file, linked in; without one, a hidden named one, linked to the name.)
  static const bool procFds = ::access("/proc/self/fd", X_OK) == 0;
  std::string hidden;
  copyFd_ = procFds ? ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
  if (copyFd_ < 0) {
    hidden = (folder / ("." + file.filename().string() + ".stowlet-copy-XXXXXX")).string();
    copyFd_ = ::mkostemp(hidden.data(), O_CLOEXEC);
    if (copyFd_ < 0) return cannot(errnoText(errno));
    rememberTemp(hidden);
  }
  const auto dropHidden = [&] {
    if (hidden.empty()) return;
    ::unlink(hidden.c_str());
    forgetTemp(hidden);
  };
  std::optional<std::string> error = copyRange(fd, copyFd_, 0, size_);
  if (!error && ::fsync(copyFd_) != 0) error = errnoText(errno);
  if (!error) {
    const std::string proc = "/proc/self/fd/" + std::to_string(copyFd_);
    const int linked =
        hidden.empty() ? ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, copy.c_str(), AT_SYMLINK_FOLLOW)
                       : ::link(hidden.c_str(), copy.c_str());
    if (linked != 0) error = errnoText(errno);
  }
  dropHidden();
  if (error) return cannot(*error);
  copy_ = copy;
  if (auto synced = syncFolder(copy_)) return cannot(*synced);
  if (::lseek(fd, static_cast<off_t>(from_), SEEK_SET) < 0) return errnoText(errno);
  fd_ = fd;
  struct stat now {};
  if (::fstat(fd, &now) == 0 && now.st_atim.tv_sec >= now.st_mtim.tv_sec) read_ = true;
  return std::nullopt;
}

std::optional<std::string> QVInPlaceFile::commit() {
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (end < 0 || ::ftruncate(fd_, end) != 0 || ::fsync(fd_) != 0) return errnoText(errno);
  // A mailbox read before (accessed since its last change) still reads as one with no new
  // mail: its access time moves past the new time of change.
  if (read_) {
    const struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    ::futimens(fd_, times);
  }
  ::close(std::exchange(copyFd_, -1));
  ::unlink(copy_.c_str());
  copy_.clear();
  return std::nullopt;
}

QVInPlaceFile::~QVInPlaceFile() {
  if (copy_.empty()) {
    if (copyFd_ >= 0) ::close(copyFd_);
    return;
  }
  // Not committed: the original's bytes back, from where writing began. The space past the
  // original's end goes first, so that a full disk still takes them.
  std::optional<std::string> error;
  if (fd_ >= 0) {
    if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
      error = errnoText(errno);
    } else {
      error = copyRange(copyFd_, fd_, from_, size_ - from_);
    }
    if (!error && ::fsync(fd_) != 0) error = errnoText(errno);
  }
  ::close(copyFd_);
  if (error) {
    std::fprintf(stderr,
                 "stowlet: cannot put the original bytes back from %s: %s; the copy is kept: "
                 "put it back by hand\n",
                 copy_.c_str(), error->c_str());
    return;
  }
  ::unlink(copy_.c_str());
}

bool looksLikeMailbox(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  char start[5] = {};
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const bool from =
      regular && ::read(fd, start, sizeof start) == 5 && std::string_view(start, 5) == "From ";
  ::close(fd);
  return from;
}

}  // namespace qv::cli

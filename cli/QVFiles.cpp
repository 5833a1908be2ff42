#include "cli/QVFiles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace qv::cli {

namespace {

std::string errnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

std::optional<std::string> readAll(int fd, std::string& into) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) return std::nullopt;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    into.append(chunk, static_cast<std::size_t>(n));
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

std::optional<std::string> QVInput::open(const std::string& name, QVInput& into, bool scanRows) {
  const bool stdinput = name == "-";
  const int fd = stdinput ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errnoText(errno);
  // The descriptor stays open while the bytes are mapped from it (it is the source of the
  // kernel's copies); otherwise it is closed at once.
  into.fd_ = fd;
  into.ownsFd_ = !stdinput;

  struct stat st {};
  if (::fstat(fd, &st) != 0) return errnoText(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  // Standard input may be a file read from its middle: only a file at its start is mapped.
  const bool atStart = !stdinput || ::lseek(fd, 0, SEEK_CUR) == 0;
  const auto length = static_cast<std::size_t>(st.st_size);
  if (S_ISREG(st.st_mode) && atStart && length > 0) {
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      into.map_ = map;
      into.mapLength_ = length;
      into.bytes_ = std::string_view(static_cast<const char*>(map), length);
      // (A message of 4 GiB or more has no rows to the manipulator: no scan for it.)
      if (scanRows && length < std::numeric_limits<std::uint32_t>::max()) {
        QVRowScan rows;
        if (auto error = scanFile(fd, length, rows)) return error;
        into.rows_ = std::move(rows);
      }
      return std::nullopt;
    }
  }
  if (auto error = readAll(fd, into.buffer_)) return error;
  into.bytes_ = into.buffer_;
  if (into.ownsFd_) ::close(fd);
  into.fd_ = -1;
  return std::nullopt;
}

QVInput::~QVInput() {
  if (map_ != nullptr) ::munmap(map_, mapLength_);
  if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

std::optional<QVRowScan> QVInput::takeRowScan() {
  return std::exchange(rows_, std::nullopt);
}

std::unique_ptr<QVManipulator> manipulatorFor(QVInput& in, std::string_view signatureName) {
  if (std::optional<QVRowScan> rows = in.takeRowScan()) {
    return std::make_unique<QVManipulator>(in.bytes(), std::move(*rows), signatureName);
  }
  return std::make_unique<QVManipulator>(in.bytes(), signatureName);
}

std::optional<QVSourceFile> QVInput::sourceFile() const {
  if (map_ == nullptr || fd_ < 0) return std::nullopt;
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

QVAtomicFile::~QVAtomicFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temp_.c_str());
  }
}

std::optional<std::string> QVAtomicFile::create(const std::filesystem::path& target) {
  target_ = target;
  const std::filesystem::path folder =
      target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
  temp_ = (folder / ("." + target.filename().string() + ".stowlet-XXXXXX")).string();
  fd_ = ::mkstemp(temp_.data());
  if (fd_ < 0) return errnoText(errno);
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  ::fchmod(fd_, mode);
  return std::nullopt;
}

std::optional<std::string> QVAtomicFile::commit(bool sync) {
  if (sync && ::fsync(fd_) != 0) return errnoText(errno);
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    const std::string error = errnoText(errno);
    ::unlink(temp_.c_str());
    return error;
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const std::string error = errnoText(errno);
    ::unlink(temp_.c_str());
    return error;
  }
  return std::nullopt;
}

}  // namespace qv::cli

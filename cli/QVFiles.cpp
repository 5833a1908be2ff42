#include "cli/QVFiles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string_view>
#include <system_error>
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

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a file is mapped: a few hundred page faults cost less than a fresh region.
constexpr std::size_t kHugeInput = std::size_t{4} << 20;

// Whether the kernel backs a region with 2 MB pages when asked (madvise or always).
bool hugePagesOnRequest() {
  static const bool available = [] {
    const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[128] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return n > 0 && std::string_view(text).find("[never]") == std::string_view::npos;
  }();
  return available;
}

// Reads exactly `length` bytes (fewer when the file shrank meanwhile); the count read.
std::optional<std::string> readInto(int fd, char* into, std::size_t length, std::size_t& got) {
  got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, into + got, length - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoText(errno);
    }
    got += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> QVInput::open(const std::string& name, QVInput& into) {
  const bool stdinput = name == "-";
  const int fd = stdinput ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errnoText(errno);
  struct CloseLater {
    int fd;
    bool owned;
    ~CloseLater() {
      if (owned) ::close(fd);
    }
  } closer{fd, !stdinput};

  struct stat st {};
  if (::fstat(fd, &st) != 0) return errnoText(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  const auto length = static_cast<std::size_t>(st.st_size);
  if (S_ISREG(st.st_mode) && length >= kHugeInput && hugePagesOnRequest()) {
    // A big message is read into memory backed by 2 MB pages. Every first touch of a 4 KB
    // page costs a fault (and, in a virtual machine, an exit), so a file mapping or a
    // plain heap buffer of 50 MB pays some 12,800 of them; this pays 25. The kernel's copy
    // from its page cache is the cheap part.
    const std::size_t capacity = (length + kHugePage - 1) / kHugePage * kHugePage;
    void* region = ::mmap(nullptr, capacity + kHugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region != MAP_FAILED) {
      // Align the start to a 2 MB boundary and give back the slack on both sides.
      const auto base = reinterpret_cast<std::uintptr_t>(region);
      const std::uintptr_t aligned = (base + kHugePage - 1) / kHugePage * kHugePage;
      if (aligned > base) ::munmap(region, aligned - base);
      const std::size_t tail = kHugePage - (aligned - base);
      if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + capacity), tail);
      auto* buffer = reinterpret_cast<char*>(aligned);
      into.map_ = buffer;
      into.mapLength_ = capacity;
      ::madvise(buffer, capacity, MADV_HUGEPAGE);
      std::size_t got = 0;
      if (auto error = readInto(fd, buffer, length, got)) return error;
      into.bytes_ = std::string_view(buffer, got);
      return std::nullopt;
    }
  }
  if (S_ISREG(st.st_mode) && length > 0) {
    // Small files, or no 2 MB pages: a mapping of the file.
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map != MAP_FAILED) {
      into.map_ = map;
      into.mapLength_ = length;
      into.bytes_ = std::string_view(static_cast<const char*>(map), length);
      return std::nullopt;
    }
  }
  if (auto error = readAll(fd, into.buffer_)) return error;
  into.bytes_ = into.buffer_;
  return std::nullopt;
}

QVInput::~QVInput() {
  if (map_ != nullptr) ::munmap(map_, mapLength_);
}

std::optional<std::string> writeAll(int fd, std::size_t count,
                                    const std::function<std::string_view(std::size_t)>& piece) {
  // Each call writes at most kWriteSlice bytes, gathered from as many pieces as that takes.
  std::vector<iovec> batch;
  std::size_t next = 0;    // the first piece not wholly written
  std::size_t offset = 0;  // bytes of it already written
  while (next < count) {
    batch.clear();
    std::size_t total = 0;
    std::size_t i = next;
    std::size_t from = offset;
    while (i < count && batch.size() < IOV_MAX && total < kWriteSlice) {
      const std::string_view p = piece(i).substr(from);
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
    if (batch.empty()) break;  // only empty pieces were left
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

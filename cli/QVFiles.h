#pragma once
// File plumbing for the command line: inputs read whole into memory that is cheap to touch,
// outputs written with vectored writes and made visible only when complete.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::cli {

// A whole input. A big regular file is read into a region of 2 MB pages (when the kernel
// offers them), a smaller one is mapped read-only, anything else (a pipe, a terminal) is
// read into memory.
class QVInput {
 public:
  // Opens a file, or standard input for "-". The error text when it cannot be read.
  [[nodiscard]] static std::optional<std::string> open(const std::string& name, QVInput& into);
  QVInput() = default;
  QVInput(const QVInput&) = delete;
  QVInput& operator=(const QVInput&) = delete;
  ~QVInput();

  [[nodiscard]] std::string_view bytes() const { return bytes_; }

 private:
  void* map_ = nullptr;
  std::size_t mapLength_ = 0;
  std::string buffer_;
  std::string_view bytes_;
};

// Writes `count` pieces, `piece(i)` each, to a descriptor with vectored writes of at most
// 64 KiB each; the error text when a write fails.
[[nodiscard]] std::optional<std::string> writeAll(
    int fd, std::size_t count, const std::function<std::string_view(std::size_t)>& piece);

// An output file that appears only once complete: bytes go to a temporary file in the
// same folder, which commit() renames over the target (syncing it first when asked: a file
// that replaces the only copy of a message is synced). Dropped without commit,
// the temporary file is removed and the target is untouched.
class QVAtomicFile {
 public:
  QVAtomicFile() = default;
  QVAtomicFile(const QVAtomicFile&) = delete;
  QVAtomicFile& operator=(const QVAtomicFile&) = delete;
  ~QVAtomicFile();

  // Creates the temporary file for `target`; `mode` of a file being replaced is kept.
  [[nodiscard]] std::optional<std::string> create(const std::filesystem::path& target);
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] std::optional<std::string> commit(bool sync);

 private:
  std::filesystem::path target_;
  std::string temp_;
  int fd_ = -1;
};

}  // namespace qv::cli

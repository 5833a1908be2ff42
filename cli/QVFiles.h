#pragma once
// File plumbing for the command line: inputs mapped and scanned through a small buffer,
// outputs written with vectored writes and kernel copies, made visible only when complete.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVManipulator.h"
#include "core/QVRowIndex.h"

namespace qv::cli {

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
  // Opens a file, or standard input for "-"; with `scanRows`, also finds its rows (see
  // takeRowScan). The error text when it cannot be read.
  [[nodiscard]] static std::optional<std::string> open(const std::string& name, QVInput& into,
                                                       bool scanRows = false);
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

 private:
  void* map_ = nullptr;
  std::size_t mapLength_ = 0;
  int fd_ = -1;
  bool ownsFd_ = false;
  std::string buffer_;
  std::string_view bytes_;
  std::optional<QVRowScan> rows_;
};

// The manipulator of an input's message, with the rows found while it was read when they
// were looked for (it then reads only the rows it needs), else with its own scan. A picture
// whose file name contains `signatureName` stays inline.
[[nodiscard]] std::unique_ptr<QVManipulator> manipulatorFor(QVInput& in,
                                                            std::string_view signatureName);

// Writes `count` pieces, `piece(i)` each, to a descriptor: vectored writes of at most
// 64 KiB each, and for a long stretch of `source` (when given) a copy inside the kernel
// from the source file (copy_file_range to a file, sendfile to a pipe; a plain write where
// neither works). The error text when a write fails.
[[nodiscard]] std::optional<std::string> writeAll(
    int fd, std::size_t count, const std::function<std::string_view(std::size_t)>& piece,
    const std::optional<QVSourceFile>& source = std::nullopt);

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

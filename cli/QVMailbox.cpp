#include "cli/QVMailbox.h"

#include <algorithm>
#include <system_error>

namespace qv::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSeparator = "From ";

bool separatorAt(std::string_view bytes, std::size_t at) {
  return bytes.compare(at, kSeparator.size(), kSeparator) == 0;
}

// The run of line ends at the end of a stretch.
std::size_t lineEndsAtEnd(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() &&
         (text[text.size() - 1 - n] == '\n' || text[text.size() - 1 - n] == '\r')) {
    ++n;
  }
  return n;
}

}  // namespace

std::vector<QVMailboxMessage> mailboxMessages(std::string_view bytes) {
  std::vector<QVMailboxMessage> out;
  if (!separatorAt(bytes, 0)) return out;
  // The start of every message: its separator row.
  std::vector<std::size_t> starts{0};
  for (std::size_t lf = bytes.find('\n'); lf != std::string_view::npos && lf + 1 < bytes.size();
       lf = bytes.find('\n', lf + 1)) {
    if (!separatorAt(bytes, lf + 1)) continue;
    // After an empty row: "\n\n" or "\r\n\r\n" before it.
    const bool empty = (lf >= 1 && bytes[lf - 1] == '\n') ||
                       (lf >= 3 && bytes.compare(lf - 3, 4, "\r\n\r\n") == 0);
    if (empty) starts.push_back(lf + 1);
  }
  starts.push_back(bytes.size());
  for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
    const std::string_view stretch = bytes.substr(starts[k], starts[k + 1] - starts[k]);
    const std::size_t rowEnd = stretch.find('\n');
    const std::size_t bodyAt = rowEnd == std::string_view::npos ? stretch.size() : rowEnd + 1;
    const std::string_view rest = stretch.substr(bodyAt);
    const std::size_t ends = lineEndsAtEnd(rest);
    out.push_back({stretch.substr(0, bodyAt), rest.substr(0, rest.size() - ends),
                   rest.substr(rest.size() - ends)});
  }
  return out;
}

std::vector<QVMailFile> mailFiles(const std::string& name, std::string& error) {
  std::error_code ec;
  if (name == "-" || !fs::is_directory(name, ec)) return {{name, fs::path(name).filename()}};
  const fs::path folder(name);
  const fs::path label =
      folder.filename().empty() ? folder.parent_path().filename() : folder.filename();
  if (fs::is_regular_file(folder / "mbox", ec))
    return {{(folder / "mbox").string(), label / "mbox"}};
  std::vector<QVMailFile> files;
  bool maildir = false;
  for (const char* sub : {"cur", "new"}) {
    if (!fs::is_directory(folder / sub, ec)) continue;
    maildir = true;
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(folder / sub, ec)) {
      if (entry.is_regular_file(ec)) names.push_back(entry.path());
    }
    std::sort(names.begin(), names.end());
    for (const fs::path& file : names)
      files.push_back({file.string(), fs::path(sub) / file.filename()});
  }
  if (!maildir)
    error = "it is a folder, and neither a mailbox (NAME.mbox/mbox) nor a Maildir (cur, new)";
  return files;
}

}  // namespace qv::cli

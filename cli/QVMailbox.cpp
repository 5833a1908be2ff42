#include "cli/QVMailbox.h"

#include <re2/re2.h>

#include "core/QVHeaderFields.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace qv::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSeparator = "From ";

// The run of line ends at the end of a stretch.
std::size_t lineEndsAtEnd(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() &&
         (text[text.size() - 1 - n] == '\n' || text[text.size() - 1 - n] == '\r')) {
    ++n;
  }
  return n;
}

// "From sender Www Mmm dd hh:mm[:ss] [zone] yyyy [more]": the row a mailbox writer puts
// before each message, its date as asctime() writes it.
bool wellFormedSeparator(std::string_view row) {
  static const RE2 pattern(
      "From \\S+ +(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun) +"
      "(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) +\\d{1,2} +\\d{1,2}:\\d{2}(?::\\d{2})?"
      "(?: +[-+A-Za-z0-9]+)*? +\\d{4}(?: +\\S+)*[ \\t\\r]*");
  return RE2::FullMatch(re2::StringPiece(row.data(), row.size()), pattern);
}

}  // namespace

// Outside a header and a frame, a row tells something only when it begins with "From ", or
// as one of the two rows before such a row (which the rule looks back on). The rows before
// those two are passed over in bulk.
std::size_t QVMailboxSplitter::skimmable(std::string_view bytes) const {
  if (inHeader_ || frameEnd_ || row_.start == 0 || row_.length != 0 || !row_.head.empty() ||
      bytes.front() == 'F') {
    return 0;
  }
  std::size_t twoBefore = 0;  // the start of the second row before `at`
  std::size_t oneBefore = 0;
  for (std::size_t at = 0;;) {
    const void* lf = std::memchr(bytes.data() + at, '\n', bytes.size() - at);
    if (lf == nullptr) break;  // the row at `at` is not complete
    twoBefore = oneBefore;
    oneBefore = at;
    at = static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data()) + 1;
    if (at >= bytes.size() || bytes[at] == 'F') break;
  }
  return twoBefore;
}

void QVMailboxSplitter::feed(std::string_view bytes) {
  while (!bytes.empty() && !notMailbox_) {
    if (const std::size_t skipped = skimmable(bytes); skipped > 0) {
      offset_ += skipped;
      row_.start = offset_;
      bytes.remove_prefix(skipped);
      continue;
    }
    const void* lf = std::memchr(bytes.data(), '\n', bytes.size());
    const std::size_t n =
        lf == nullptr ? bytes.size()
                      : static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data());
    const std::string_view part = bytes.substr(0, n);
    if (row_.head.size() < kHead) row_.head.append(part.substr(0, kHead - row_.head.size()));
    if (part.size() >= kTail) {
      row_.tail.assign(part.substr(part.size() - kTail));
    } else {
      row_.tail.append(part);
      if (row_.tail.size() > kTail) row_.tail.erase(0, row_.tail.size() - kTail);
    }
    row_.length += n;
    offset_ += n;
    if (lf == nullptr) return;
    ++offset_;
    bytes.remove_prefix(n + 1);
    endRow();
  }
}

bool QVMailboxSplitter::opensMessage() const {
  const Row& r = row_;
  if (r.head.compare(0, kSeparator.size(), kSeparator) != 0) return false;
  if (r.start == 0) return true;
  // After an empty row: "\n\n", or "\r\n\r\n".
  const bool afterEmpty =
      previous_.length == 0 || (previous_.head == "\r" && beforePreviousEndsInCR_);
  if (afterEmpty) return true;
  // Right after a closing delimiter row ("--BOUNDARY--", blanks allowed after it).
  std::string_view closing = previous_.tail;
  while (!closing.empty() &&
         (closing.back() == ' ' || closing.back() == '\t' || closing.back() == '\r')) {
    closing.remove_suffix(1);
  }
  const bool afterClosing = previous_.length >= 4 && previous_.head.compare(0, 2, "--") == 0 &&
                            closing.size() >= 2 && closing.substr(closing.size() - 2) == "--";
  return afterClosing && r.length <= kHead && wellFormedSeparator(r.head);
}

void QVMailboxSplitter::open(std::size_t start) {
  starts_.push_back(start);
  inHeader_ = true;
  length_.reset();
  frameEnd_.reset();
  emptyRowAtEnd_ = false;
  held_.clear();
}

void QVMailboxSplitter::release() {
  starts_.insert(starts_.end(), held_.begin(), held_.end());
  held_.clear();
  frameEnd_.reset();
  emptyRowAtEnd_ = false;
}

void QVMailboxSplitter::endRow() {
  const Row& r = row_;
  if (r.start == 0 && r.head.compare(0, kSeparator.size(), kSeparator) != 0) {
    notMailbox_ = true;  // no separator row first: one message
    return;
  }
  const bool separator = r.head.compare(0, kSeparator.size(), kSeparator) == 0;
  const bool empty = r.length == 0 || r.head == "\r";
  bool opens = opensMessage();
  if (frameEnd_) {
    const std::size_t end = *frameEnd_;
    if (r.start < end) {
      if (opens) held_.push_back(r.start);  // inside the body the length frames
      opens = false;
    } else if (emptyRowAtEnd_ ? separator : r.start == end && separator) {
      held_.clear();  // the frame holds: this separator opens the next message
      frameEnd_.reset();
      emptyRowAtEnd_ = false;
      opens = true;
    } else if (!emptyRowAtEnd_ && r.start == end && empty) {
      emptyRowAtEnd_ = true;
      opens = false;
    } else {
      release();
    }
  }
  if (opens && !(frameEnd_ && r.start < *frameEnd_)) {
    open(r.start);
  } else if (inHeader_) {
    if (empty) {
      inHeader_ = false;
      if (length_) frameEnd_ = offset_ + *length_;  // the body starts at the next row
    } else if (r.head.size() > 15 && equalsIgnoringCase(r.head.substr(0, 15), "Content-Length:")) {
      const std::size_t from = r.head.find_first_not_of(" \t", 15);
      std::size_t value = 0;
      std::size_t digits = 0;
      for (std::size_t i = from; i != std::string::npos && i < r.head.size() && r.head[i] >= '0' &&
                                 r.head[i] <= '9' && digits < 15;
           ++i, ++digits) {
        value = value * 10 + static_cast<std::size_t>(r.head[i] - '0');
      }
      if (digits > 0) length_ = value;
    }
  }
  beforePreviousEndsInCR_ = !previous_.tail.empty() && previous_.tail.back() == '\r';
  // The two rows' buffers change places, kept with their room: no row costs an allocation.
  std::swap(previous_, row_);
  row_.start = offset_;
  row_.length = 0;
  row_.head.clear();
  row_.tail.clear();
}

std::vector<std::size_t> QVMailboxSplitter::finish() {
  // The last row, without a line feed after it.
  if (!notMailbox_ && (row_.length > 0 || row_.start == 0)) endRow();
  // A frame that ends with the mailbox (its last line end aside) holds.
  if (frameEnd_ && !(*frameEnd_ <= offset_ && offset_ - *frameEnd_ <= 2)) release();
  if (notMailbox_) starts_.clear();
  return std::move(starts_);
}

QVMailboxStarts::QVMailboxStarts(std::vector<std::size_t> all)
    : starts_(std::move(all)), finished_(true) {}

void QVMailboxStarts::add(const std::vector<std::size_t>& found) {
  {
    std::lock_guard lock(mutex_);
    if (found.size() <= starts_.size()) return;
    starts_.insert(starts_.end(), found.begin() + static_cast<std::ptrdiff_t>(starts_.size()),
                   found.end());
  }
  grown_.notify_all();
}

void QVMailboxStarts::finish(const std::vector<std::size_t>& all) {
  {
    std::lock_guard lock(mutex_);
    if (all.size() > starts_.size()) {
      starts_.insert(starts_.end(), all.begin() + static_cast<std::ptrdiff_t>(starts_.size()),
                     all.end());
    }
    finished_ = true;
  }
  grown_.notify_all();
}

bool QVMailboxStarts::past(std::size_t k) const {
  std::lock_guard lock(mutex_);
  return finished_ && k >= starts_.size();
}

bool QVMailboxStarts::started(std::size_t k) const {
  std::lock_guard lock(mutex_);
  return k < starts_.size();
}

bool QVMailboxStarts::wait(std::size_t k) const {
  std::unique_lock lock(mutex_);
  grown_.wait(lock, [&] { return finished_ || k + 1 < starts_.size(); });
  return k < starts_.size();
}

std::size_t QVMailboxStarts::start(std::size_t k) const {
  std::lock_guard lock(mutex_);
  return starts_[k];
}

std::size_t QVMailboxStarts::end(std::size_t k, std::size_t size) const {
  std::lock_guard lock(mutex_);
  return k + 1 < starts_.size() ? starts_[k + 1] : size;
}

bool QVMailboxStarts::single() const {
  std::lock_guard lock(mutex_);
  return finished_ && starts_.size() == 1;
}

QVMailboxMessage mailboxMessage(std::string_view bytes, std::size_t from, std::size_t to) {
  const std::string_view stretch = bytes.substr(from, to - from);
  const std::size_t rowEnd = stretch.find('\n');
  const std::size_t bodyAt = rowEnd == std::string_view::npos ? stretch.size() : rowEnd + 1;
  const std::string_view rest = stretch.substr(bodyAt);
  const std::size_t ends = lineEndsAtEnd(rest);
  return {stretch.substr(0, bodyAt), rest.substr(0, rest.size() - ends),
          rest.substr(rest.size() - ends)};
}

std::vector<QVMailboxMessage> mailboxMessages(std::string_view bytes) {
  QVMailboxSplitter splitter;
  splitter.feed(bytes);
  const std::vector<std::size_t> starts = splitter.finish();
  std::vector<QVMailboxMessage> out;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    out.push_back(
        mailboxMessage(bytes, starts[k], k + 1 < starts.size() ? starts[k + 1] : bytes.size()));
  }
  return out;
}

std::optional<std::string> mailboxRefusal(const QVManipulator& message, bool inMailbox) {
  if (!inMailbox) return std::nullopt;
  for (const QVDefectAt& d : message.defects()) {
    if (d.defect == QVDefect::kTruncatedLevel) {
      return "its multipart is not closed (" + std::string(describe(d.defect)) + " at row " +
             std::to_string(d.row) + "): a body row \"From \" that was not quoted may cut it";
    }
  }
  return std::nullopt;
}

std::vector<QVMailFile> mailFiles(const std::string& name, std::string& error,
                                  std::vector<std::string>& notes) {
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
      if (entry.is_symlink(ec)) {
        notes.push_back(entry.path().string() +
                        ": skipped: a symbolic link inside a Maildir is not followed");
        continue;
      }
      if (entry.is_regular_file(ec)) names.push_back(entry.path());
    }
    std::sort(names.begin(), names.end());
    for (const fs::path& file : names)
      files.push_back({file.string(), fs::path(sub) / file.filename(), true});
  }
  if (!maildir)
    error = "it is a folder, and neither a mailbox (NAME.mbox/mbox) nor a Maildir (cur, new)";
  return files;
}

std::string maildirNameWithSizes(const std::string& name, std::size_t size, std::size_t crlfSize) {
  // "UNIQUE,S=1234,W=1260:2,FLAGS": the fields sit between the unique part and the info.
  const std::size_t info = name.find(':');
  std::string base = name.substr(0, info);
  const std::string rest = info == std::string::npos ? std::string() : name.substr(info);
  for (const auto& [field, value] : {std::pair{",S=", size}, std::pair{",W=", crlfSize}}) {
    const std::size_t at = base.find(field);
    if (at == std::string::npos) continue;
    std::size_t end = at + 3;
    while (end < base.size() && base[end] >= '0' && base[end] <= '9') ++end;
    if (end == at + 3) continue;  // no number: not the field
    base.replace(at + 3, end - at - 3, std::to_string(value));
  }
  return base + rest;
}

}  // namespace qv::cli

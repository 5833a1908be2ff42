// stowlet rewrite: raw messages in, rebuilt messages out.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "cli/QVBodyJoin.h"
#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "cli/QVMailbox.h"
#include "codec/QVMimeCodec.h"
#include "core/QVHeaderFields.h"
#include "core/QVManipulator.h"
#include "hooks/QVPluginRebuild.h"
#include "host/QVFileWriting.h"
#include "host/QVPluginContext.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"

namespace qv::cli {

namespace fs = std::filesystem;

namespace {

// A batch stopped by TERM, INT or HUP ends the message at hand, saves the counter of what was
// written, then ends as the signal would have ended it. A second signal ends it at once.
std::atomic<int> stopSignal{0};

void noteStop(int signal) {
  if (stopSignal.exchange(signal) != 0) {
    removeTempFilesNow();  // its lock files and temporary files go with it
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
}

void stopBetweenMessages() {
  for (int s : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = noteStop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(s, &action, nullptr);
  }
}

// The size below which pictures stay inline: the option, else the setting (a positive
// number of bytes), else none.
std::optional<std::size_t> keepInlineBelow(const QVMailSession& mail,
                                           const QVRewriteOptions& options) {
  if (options.keepInlineBelow) return static_cast<std::size_t>(*options.keepInlineBelow);
  if (mail.defaults && mail.defaults->objectForKey(keys::kKeepInlineBelow)) {
    const std::int64_t bytes = mail.defaults->integerForKey(keys::kKeepInlineBelow);
    if (bytes > 0) return static_cast<std::size_t>(bytes);
  }
  return std::nullopt;
}

// What one output holds, counted once it is written.
struct Counts {
  std::size_t rebuilt = 0;
  std::size_t unchanged = 0;
  std::size_t attachments = 0;
  std::map<std::string, std::size_t> reasons;  // the unchanged messages, by reason
};

// What the run did, for its summary.
struct Tally {
  std::size_t rewritten = 0;
  std::size_t unchanged = 0;
  std::size_t failed = 0;
  std::size_t attachments = 0;
  std::map<std::string, std::size_t> reasons;

  void add(const Counts& counts) {
    rewritten += counts.rebuilt;
    unchanged += counts.unchanged;
    attachments += counts.attachments;
    for (const auto& [reason, n] : counts.reasons) reasons[reason] += n;
  }
  void add(const Tally& other) {
    rewritten += other.rewritten;
    unchanged += other.unchanged;
    failed += other.failed;
    attachments += other.attachments;
    for (const auto& [reason, n] : other.reasons) reasons[reason] += n;
  }
  // "12 messages, 9 rebuilt (14 attachments), 2 unchanged (1 not multipart, 1 nothing to
  // move), 1 failed"
  [[nodiscard]] std::string summary() const {
    const auto plural = [](std::size_t n, std::string_view one) {
      return std::to_string(n) + " " + std::string(one) + (n == 1 ? "" : "s");
    };
    std::string out = plural(rewritten + unchanged + failed, "message") + ", " +
                      std::to_string(rewritten) + " rebuilt (" + plural(attachments, "attachment") +
                      "), " + std::to_string(unchanged) + " unchanged";
    if (!reasons.empty()) {
      out += " (";
      bool firstReason = true;
      for (const auto& [reason, n] : reasons) {
        out += (firstReason ? "" : ", ") + std::to_string(n) + " " + reason;
        firstReason = false;
      }
      out += ")";
    }
    if (failed > 0) out += ", " + std::to_string(failed) + " failed";
    return out;
  }
};

// Where one input's result goes: standard output, a file, or nowhere (in place, unchanged).
struct Destination {
  bool toStdout = false;
  fs::path file;
};

// What the command says about one message, kept until the message's turn to be written:
// its notes and the plug-in's log lines (the boundaries), in the order made.
class QVMessageLines final : public QVLogSink {
 public:
  void writeLine(std::string_view line) override { lines.emplace_back(line); }
  void say() const {
    for (const std::string& line : lines) note(line);
  }
  std::vector<std::string> lines;
};

// One message rebuilt as the command rebuilds it: the text bodies joined where files cut
// them, the HTML without the image tags of the pictures that become attachments, boundaries
// drawn and logged as the plug-in does. Nothing when it stays as it is (the reason noted).
// What it says goes to `said` (the log lines only when `logged`); it shares nothing but the
// C library's rand() and the charset answers (under their lock), so messages can be rebuilt
// side by side.
std::optional<QVRebuiltMessage> rebuildMessage(QVManipulator& manipulator, bool logged,
                                               const QVRewriteOptions& options, bool inMailbox,
                                               const std::string& label, Counts& counts,
                                               QVMessageLines& said) {
  std::optional<std::string> reason;
  if (auto failure = manipulator.failure()) {
    reason = describe(*failure);
  } else if (auto refusal = mailboxRefusal(manipulator, inMailbox)) {
    reason = *refusal;
  }
  std::optional<QVRebuiltMessage> rebuilt;
  if (!reason) {
    const QVBodyReplacements bodies = commandBodies(manipulator, options.keepHtml, inMailbox);
    const QVPluginContext plugin{.logSink = logged ? &said : nullptr};
    rebuilt = rebuildAsPlugin(manipulator, plugin, bodies);
    if (!rebuilt)
      reason = describe(manipulator.failure().value_or(QVRebuildFailure::kNoFreshBoundary));
  }
  if (!rebuilt) {
    ++counts.unchanged;
    ++counts.reasons[*reason];
    if (!options.quiet)
      said.lines.push_back(label.empty() ? "unchanged: " + *reason
                                         : label + ": unchanged: " + *reason);
    return std::nullopt;
  }
  ++counts.rebuilt;
  counts.attachments += rebuilt->attachmentCount();
  if (options.verbose && !options.quiet) {
    const std::size_t n = rebuilt->attachmentCount();
    said.lines.push_back((label.empty() ? std::string() : label + ": ") + "rebuilt (" +
                         std::to_string(n) + (n == 1 ? " attachment)" : " attachments)"));
  }
  return rebuilt;
}

// The label of a mailbox's message in the lines about it: the mailbox's name alone when it
// holds one message.
std::string messageLabel(const std::string& input, std::size_t k, bool single) {
  return single ? input : input + ": message " + std::to_string(k + 1);
}

// A mailbox's output, written in batches: memory holds the messages of one batch (or one
// message, when it is larger), never the mailbox, and the input's pages of the messages
// written leave it.
class QVMessageSink {
 public:
  QVMessageSink(int fd, std::optional<QVSourceFile> source, QVInput& input)
      : fd_(fd), source_(std::move(source)), input_(input) {}

  void add(std::string_view piece) {
    if (!piece.empty()) pieces_.push_back(piece);
  }
  void add(QVRebuiltMessage rebuilt) {
    held_.push_back(std::move(rebuilt));
    for (std::size_t i = 0; i < held_.back().pieceCount(); ++i) add(held_.back().piece(i));
  }
  void add(std::string text) {
    texts_.push_back(std::move(text));
    add(std::string_view(texts_.back()));
  }
  // Every byte of the input before `offset` has its place in the output: written when the
  // batch is full.
  [[nodiscard]] std::optional<std::string> done(std::size_t offset) {
    done_ = offset;
    if (done_ - flushed_ < kBatchBytes && pieces_.size() < kBatchPieces) return std::nullopt;
    return flush();
  }
  [[nodiscard]] std::optional<std::string> flush() {
    const auto piece = [&](std::size_t i) { return pieces_[i]; };
    if (auto error = writeAll(fd_, pieces_.size(), piece, source_)) return error;
    pieces_.clear();
    held_.clear();
    texts_.clear();
    input_.release(done_);
    flushed_ = done_;
    return std::nullopt;
  }

 private:
  static constexpr std::size_t kBatchBytes = std::size_t{32} << 20;
  static constexpr std::size_t kBatchPieces = 16384;
  int fd_;
  std::optional<QVSourceFile> source_;
  QVInput& input_;
  std::deque<QVRebuiltMessage> held_;
  std::deque<std::string> texts_;
  std::vector<std::string_view> pieces_;
  std::size_t done_ = 0;
  std::size_t flushed_ = 0;
};

// The header block of a message (its rows up to and including the empty row that ends it).
std::string_view headerBlock(std::string_view message) {
  for (std::size_t at = 0; at < message.size();) {
    const std::size_t end = message.find('\n', at);
    if (end == std::string_view::npos) return message;
    const std::string_view row = message.substr(at, end - at);
    if (row.empty() || row == "\r") return message.substr(0, end + 1);
    at = end + 1;
  }
  return message;
}

// The number a header field of the block gives (its first row, digits alone), or none.
std::optional<long long> countField(std::string_view header, std::string_view name) {
  for (std::size_t at = 0; at < header.size();) {
    std::size_t end = header.find('\n', at);
    if (end == std::string_view::npos) end = header.size();
    const std::optional<std::string_view> value = fieldValue(header.substr(at, end - at), name);
    at = end + 1;
    if (!value) continue;
    const std::size_t from = value->find_first_not_of(" \t");
    const std::size_t to = value->find_last_not_of(" \t");
    if (from == std::string_view::npos) return std::nullopt;
    const std::string_view digits = value->substr(from, to - from + 1);
    if (digits.empty() || digits.size() > 15 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    return std::stoll(std::string(digits));
  }
  return std::nullopt;
}

// A mailbox may frame its messages by their Content-Length (and count their rows in Lines):
// a rebuilt message, which the rebuild leaves without the two, gets them anew with its own
// counts, the way the mailbox counted (the line end after the last row in it, or not). A
// count that did not hold for the message as it came is left out. Nothing when the message
// had neither.
std::optional<std::string> withCountFields(std::string_view original,
                                           const QVRebuiltMessage& rebuilt) {
  const std::string_view header = headerBlock(original);
  const std::optional<long long> length = countField(header, "Content-Length");
  const std::optional<long long> lines = countField(header, "Lines");
  if (!length && !lines) return std::nullopt;
  const std::string_view body = original.substr(header.size());
  const auto rows = [](std::string_view text) {
    return static_cast<long long>(std::count(text.begin(), text.end(), '\n'));
  };
  const long long lengthBy = length ? *length - static_cast<long long>(body.size()) : -1;
  const long long linesBy = lines ? *lines - rows(body) : -1;
  std::string out = rebuilt.bytes();
  const std::size_t headerEnd = headerBlock(out).size();
  const std::string_view newBody = std::string_view(out).substr(headerEnd);
  const bool crlf = header.size() >= 2 && header[header.size() - 2] == '\r';
  const std::string eol = crlf ? "\r\n" : "\n";
  std::string fields;
  if (lengthBy >= 0 && lengthBy <= 2) {
    fields +=
        "Content-Length: " + std::to_string(static_cast<long long>(newBody.size()) + lengthBy) +
        eol;
  }
  if (linesBy >= 0 && linesBy <= 1)
    fields += "Lines: " + std::to_string(rows(newBody) + linesBy) + eol;
  // Before the empty row that ends the header.
  const std::size_t emptyRow = headerEnd - (crlf ? 2 : 1);
  out.insert(std::min(emptyRow, out.size()), fields);
  return out;
}

// One message of a mailbox as the command writes it: rebuilt (with its count fields), or as
// it came; and what is said about it.
struct QVMailboxOutcome {
  std::optional<QVRebuiltMessage> rebuilt;
  std::optional<std::string> counted;  // the rebuilt message with its count fields
  Counts counts;
  QVMessageLines said;
};

// What every message of one mailbox is rebuilt with.
struct QVMailboxJob {
  const std::string& input;
  std::string_view whole;
  const QVMailboxStarts& starts;
  std::string signature;
  std::optional<std::size_t> keepBelow;
  bool logged;
  const QVRewriteOptions& options;

  // (Message k must be whole: QVMailboxStarts::wait.)
  [[nodiscard]] std::size_t end(std::size_t k) const { return starts.end(k, whole.size()); }
  [[nodiscard]] QVMailboxMessage message(std::size_t k) const {
    return mailboxMessage(whole, starts.start(k), end(k));
  }
  [[nodiscard]] QVMailboxOutcome rebuild(std::size_t k) const {
    QVMailboxOutcome outcome;
    const QVMailboxMessage message = this->message(k);
    QVManipulator manipulator(message.message, signature, keepBelow);
    outcome.rebuilt =
        rebuildMessage(manipulator, logged, options, true, messageLabel(input, k, starts.single()),
                       outcome.counts, outcome.said);
    if (outcome.rebuilt) outcome.counted = withCountFields(message.message, *outcome.rebuilt);
    return outcome;
  }
};

// The threads the messages or files are rebuilt on: the option, else one per core, never
// more than there are of them.
unsigned jobsFor(const QVRewriteOptions& options, std::size_t messages) {
  unsigned jobs = options.jobs.value_or(std::max(1U, std::thread::hardware_concurrency()));
  return static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(messages, 1)));
}

// Rebuilds the messages `first` to the last on `jobs` threads and hands each outcome to
// `take` in the messages' order, on the calling thread, while the mailbox may still be being
// split (a message is rebuilt once it is known whole). The threads run ahead of the message
// `take` waits for by at most 16 messages each and 16 MiB of the mailbox in all, so that a
// large message holds up no thread while memory holds a few messages, never the mailbox.
// When `take` answers an error, the threads stop after the message at hand.
std::optional<std::string> rebuildInOrder(
    const QVMailboxJob& job, std::size_t first, unsigned jobs,
    const std::function<std::optional<std::string>(std::size_t, QVMailboxOutcome)>& take) {
  const QVMailboxStarts& starts = job.starts;
  if (jobs <= 1) {
    for (std::size_t k = first; starts.wait(k); ++k) {
      if (auto error = take(k, job.rebuild(k))) return error;
    }
    return std::nullopt;
  }
  const std::size_t ahead = 16 * static_cast<std::size_t>(jobs);
  constexpr std::size_t kAheadBytes = std::size_t{16} << 20;
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::size_t, QVMailboxOutcome> done;
  std::exception_ptr failure;
  std::size_t claimed = first;  // the next message a thread takes up
  std::size_t taken = first;    // the next message `take` gets
  bool stopping = false;
  bool ended = false;  // a thread found the last message past
  const auto work = [&] {
    for (;;) {
      std::size_t k;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
          return stopping || ended ||
                 (claimed < taken + ahead &&
                  (claimed == taken ||
                   (starts.started(claimed) &&
                    starts.start(claimed) - starts.start(taken) < kAheadBytes)));
        });
        if (stopping || ended) return;
        k = claimed++;
      }
      // Until the split has found it whole (outside the lock: the split goes on meanwhile).
      if (!starts.wait(k)) {
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
        return;
      }
      QVMailboxOutcome outcome;
      std::exception_ptr error;
      try {
        outcome = job.rebuild(k);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(mutex);
      if (error && !failure) failure = error;
      if (error) stopping = true;
      done.emplace(k, std::move(outcome));
      changed.notify_all();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(jobs);
  for (unsigned t = 0; t < jobs; ++t) threads.emplace_back(work);
  const auto stop = [&] {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads) thread.join();
  };
  std::optional<std::string> error;
  for (std::size_t k = first; !error; ++k) {
    QVMailboxOutcome outcome;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock,
                   [&] { return failure || done.count(k) != 0 || (ended && starts.past(k)); });
      if (failure || done.count(k) == 0) break;
      auto it = done.find(k);
      outcome = std::move(it->second);
      done.erase(it);
      taken = k + 1;
    }
    changed.notify_all();
    error = take(k, std::move(outcome));
  }
  stop();
  if (failure) std::rethrow_exception(failure);
  return error;
}

// Writes the messages of a mailbox from message `first` on (and, from `first`'s own text,
// when `separatorWritten`) to the sink, each in its place with its separator row and what
// follows its end, and says what was done with each in their order. The error text when a
// write fails.
std::optional<std::string> writeMessages(QVMailSession& mail, const std::string& input,
                                         std::string_view whole, const QVMailboxStarts& starts,
                                         std::size_t first, bool separatorWritten,
                                         const QVRewriteOptions& options, QVMessageSink& sink,
                                         Counts& counts) {
  const QVMailboxJob job{input,
                         whole,
                         starts,
                         signatureName(mail.defaults.get()),
                         keepInlineBelow(mail, options),
                         !mail.quiet,
                         options};
  const auto take = [&](std::size_t k, QVMailboxOutcome outcome) -> std::optional<std::string> {
    outcome.said.say();
    counts.rebuilt += outcome.counts.rebuilt;
    counts.unchanged += outcome.counts.unchanged;
    counts.attachments += outcome.counts.attachments;
    for (const auto& [reason, n] : outcome.counts.reasons) counts.reasons[reason] += n;
    const QVMailboxMessage message = job.message(k);
    if (k != first || !separatorWritten) sink.add(message.separator);
    if (outcome.counted) {
      sink.add(std::move(*outcome.counted));
    } else if (outcome.rebuilt) {
      sink.add(std::move(*outcome.rebuilt));
    } else {
      sink.add(message.message);
    }
    sink.add(message.after);
    return sink.done(job.end(k));
  };
  // (How many messages there are is not known yet: the split may still go on.)
  const unsigned jobs = jobsFor(options, std::numeric_limits<std::size_t>::max());
  if (auto error = rebuildInOrder(job, first, jobs, take)) {
    return error;
  }
  return sink.flush();
}

// Whether `target` is the file `input` itself (its only copy, then).
bool replacesItsInput(const std::string& input, const fs::path& target) {
  struct stat in {
  }, out{};
  return input != "-" && ::stat(input.c_str(), &in) == 0 && ::stat(target.c_str(), &out) == 0 &&
         in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// A mailbox rewritten in place, inside its own file and under its locks, as mail readers
// rewrite one: nothing is written before the first message that changes, and a delivery
// waiting for the mailbox appends to it once it is free.
int rewriteMailboxInPlace(QVMailSession& mail, const std::string& input,
                          const QVRewriteOptions& options, Tally& tally) {
  const auto fail = [&](int code, const std::string& why) {
    complain("cannot rewrite " + input + " in place: " + why);
    ++tally.failed;
    return code;
  };
  QVMailboxLock lock;
  if (auto refused = lock.lock(input, options.lockTimeout, [] { return stopSignal.load() != 0; })) {
    return fail(refused->busy ? kExitTempFail : kExitCantCreate, refused->reason);
  }
  // A copy an interrupted rewrite left: the mailbox may be half written, the copy the only
  // whole one. Nothing more happens to either until someone has looked.
  if (auto error = QVInPlaceFile::checkNoCopy(lock.file(), lock.fd())) {
    return fail(kExitCantCreate, *error);
  }
  QVInput in;
  if (auto error = QVInput::open(input, in)) return fail(kExitNoInput, *error);
  struct stat locked {};
  const struct stat* read = in.fileStat();
  if (read == nullptr || ::fstat(lock.fd(), &locked) != 0 || locked.st_dev != read->st_dev ||
      locked.st_ino != read->st_ino) {
    return fail(kExitIo, "it was replaced while it was locked; it was left as it is, run again");
  }
  const std::vector<std::size_t> starts = in.messageStarts();
  if (starts.empty()) return fail(kExitIo, "it no longer begins as a mailbox; run again");
  const bool single = starts.size() == 1;

  // The first message that changes; the ones before it stay where they are.
  const std::string signature = signatureName(mail.defaults.get());
  const std::optional<std::size_t> keepBelow = keepInlineBelow(mail, options);
  const std::string_view whole = in.bytes();
  Counts counts;
  std::size_t first = 0;
  for (; first < starts.size(); ++first) {
    const std::size_t end = first + 1 < starts.size() ? starts[first + 1] : whole.size();
    const QVMailboxMessage message = mailboxMessage(whole, starts[first], end);
    QVManipulator manipulator(message.message, signature, keepBelow);
    const std::optional<std::string> refusal = mailboxRefusal(manipulator, true);
    const bool leftApart =
        !manipulator.failure() && !refusal && manipulator.leftApart() &&
        manipulator.staysAsLeftApart(commandBodies(manipulator, options.keepHtml, true));
    if (!manipulator.failure() && !refusal && !leftApart) break;
    ++counts.unchanged;
    const std::string reason = manipulator.failure() ? std::string(describe(*manipulator.failure()))
                               : refusal             ? *refusal
                                         : std::string(describe(QVRebuildFailure::kNothingToMove));
    ++counts.reasons[reason];
    if (!options.quiet) {
      note(messageLabel(input, first, single) + ": unchanged: " + reason);
    }
    in.release(end);
  }
  if (first == starts.size()) {
    tally.add(counts);
    return kExitOk;  // the file already holds its messages as they are
  }
  if (auto why = in.changed()) return fail(kExitIo, *why + "; it was left as it is, run again");

  // From here the file is rewritten whole, or put back as it was: no signal ends it between.
  const QVSignalsHeld held;
  const std::size_t end = first + 1 < starts.size() ? starts[first + 1] : whole.size();
  const std::size_t from =
      starts[first] + mailboxMessage(whole, starts[first], end).separator.size();
  QVInPlaceFile place;
  if (auto error = place.begin(lock.file(), lock.fd(), from)) return fail(kExitCantCreate, *error);
  QVInput copy;
  if (auto error = QVInput::openDescriptor(place.copyFd(), copy)) {
    return fail(kExitIo, "cannot read its copy: " + *error);
  }
  if (copy.bytes().size() != whole.size()) {
    return fail(kExitIo, "it changed while it was copied; it was left as it is, run again");
  }
  QVMessageSink sink(place.fd(), copy.sourceFile(), copy);
  const QVMailboxStarts all(starts);
  if (auto error =
          writeMessages(mail, input, copy.bytes(), all, first, true, options, sink, counts)) {
    return fail(kExitIo, *error + "; it was put back as it was");
  }
  if (auto error = place.commit()) return fail(kExitIo, *error + "; it was put back as it was");
  tally.add(counts);
  return kExitOk;
}

int rewriteOne(QVMailSession& mail, const QVMailFile& file, const Destination& to,
               const QVRewriteOptions& options, bool batch, Tally& tally) {
  const std::string& input = file.path;
  const bool inPlace = options.inPlace;
  if (inPlace) {
    // Only a regular file can be rewritten in place (reading a FIFO would take its data).
    struct stat st {};
    if (::stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      complain("cannot rewrite " + input +
               " in place: it is no regular file (a FIFO or a device); give -o instead");
      return kExitUsage;
    }
    // A Maildir's file is one message, whatever its first row.
    if (!file.inMaildir && looksLikeMailbox(input)) {
      return rewriteMailboxInPlace(mail, input, options, tally);
    }
  }
  QVInput in;
  if (auto error = QVInput::open(
          input, in, file.inMaildir ? QVRowScanWhen::kAlways : QVRowScanWhen::kUnlessMailbox)) {
    if (auto why = in.changed()) {  // cut short under the reading
      complain("cannot rewrite " + input + ": " + *why + "; it was left as it is, run again");
      ++tally.failed;
      return kExitIo;
    }
    complain("cannot read " + (input == "-" ? std::string("standard input") : input) + ": " +
             *error);
    return kExitNoInput;
  }
  const std::string_view whole = in.bytes();
  // (A Maildir's file is one message, whatever its first row.)
  const bool mailbox = !file.inMaildir && in.beginsAsMailbox();

  // A file that changed while it was read is no message to trust: reported, never counted
  // (and for a file, nothing is replaced).
  const auto changedMeanwhile = [&] {
    if (auto why = in.changed()) {
      complain("cannot rewrite " + input + ": " + *why + "; it was left as it is, run again");
      ++tally.failed;
      return true;
    }
    return false;
  };
  const auto cannotWrite = [&](const std::string& what, const std::string& error) {
    if (changedMeanwhile()) return kExitIo;  // the input was cut short under the copy
    complain("cannot write " + what + ": " + error);
    ++tally.failed;
    return kExitIo;
  };
  const std::string outName = to.toStdout ? std::string("standard output") : to.file.string();
  const auto cannotWriteStdout = [&](const std::string& error) {
    return cannotWrite(outName, standardOutputWasClosed()
                                    ? std::string("it was closed when the command started")
                                    : error);
  };

  Counts counts;
  if (mailbox) {
    // A mailbox, message by message, to standard output or a file made whole at the end.
    QVAtomicFile out;
    if (!to.toStdout) {
      if (auto error = out.create(to.file)) {
        complain("cannot create " + to.file.string() + ": " + *error);
        ++tally.failed;
        return kExitCantCreate;
      }
    }
    // The mailbox is split on a thread of its own while its messages are rebuilt, each as
    // soon as it is found whole.
    QVMailboxStarts starts;
    std::exception_ptr splitFailed;
    std::jthread split([&](const std::stop_token& stop) {
      try {
        in.splitInto(starts, stop);
      } catch (...) {
        splitFailed = std::current_exception();
        starts.finish({});
      }
    });
    QVMessageSink sink(to.toStdout ? STDOUT_FILENO : out.fd(), in.sourceFile(), in);
    const std::optional<std::string> failed =
        writeMessages(mail, input, whole, starts, 0, false, options, sink, counts);
    split.request_stop();
    split.join();
    if (splitFailed) std::rethrow_exception(splitFailed);
    if (failed) return to.toStdout ? cannotWriteStdout(*failed) : cannotWrite(outName, *failed);
    if (changedMeanwhile()) return kExitIo;
    if (!to.toStdout) {
      if (auto error = out.commit(replacesItsInput(input, to.file))) {
        return cannotWrite(outName, *error);
      }
    }
    tally.add(counts);
    return kExitOk;
  }

  // One message.
  const std::unique_ptr<QVManipulator> made =
      manipulatorFor(in, signatureName(mail.defaults.get()), keepInlineBelow(mail, options));
  QVMessageLines said;
  std::optional<QVRebuiltMessage> rebuilt = rebuildMessage(
      *made, !mail.quiet, options, false, batch ? input : std::string(), counts, said);
  said.say();
  if (!rebuilt && inPlace) {
    tally.add(counts);
    return kExitOk;  // the file already holds its message as it is
  }
  const std::vector<std::string_view> pieces =
      rebuilt ? rebuilt->pieces() : std::vector<std::string_view>{whole};
  const auto piece = [&](std::size_t i) { return pieces[i]; };
  // A Maildir's file names record its size: the new file's name says the new one.
  fs::path target = to.file;
  if (file.inMaildir && rebuilt && !to.toStdout) {
    std::size_t size = 0, bareLineFeeds = 0;
    bool cr = false;
    for (std::string_view p : pieces) {
      size += p.size();
      for (char c : p) {
        if (c == '\n' && !cr) ++bareLineFeeds;
        cr = c == '\r';
      }
    }
    target = to.file.parent_path() /
             maildirNameWithSizes(to.file.filename().string(), size, size + bareLineFeeds);
  }
  if (to.toStdout) {
    if (auto error = writeAll(STDOUT_FILENO, pieces.size(), piece, in.sourceFile())) {
      return cannotWriteStdout(*error);
    }
    if (changedMeanwhile()) return kExitIo;
    tally.add(counts);
    return kExitOk;
  }
  QVAtomicFile out;
  const fs::path& created = inPlace ? to.file : target;
  if (auto error = out.create(created, inPlace)) {
    complain("cannot create " + created.string() + ": " + *error);
    ++tally.failed;
    return kExitCantCreate;
  }
  if (auto error = writeAll(out.fd(), pieces.size(), piece, in.sourceFile())) {
    return cannotWrite(created.string(), *error);
  }
  if (changedMeanwhile()) return kExitIo;
  // A file that replaces the only copy of a message is synced first: the input itself.
  if (auto error = out.commit(inPlace || replacesItsInput(input, created),
                              inPlace ? in.fileStat() : nullptr)) {
    return cannotWrite(created.string(), *error);
  }
  if (inPlace && target != to.file) {
    // The new size in the name; a reader that renamed the file meanwhile keeps its name.
    if (::renameat2(AT_FDCWD, to.file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
      note(input + ": its name keeps its old size (" + std::strerror(errno) + ")");
    }
  }
  tally.add(counts);
  return kExitOk;
}

}  // namespace

int runRewrite(QVMailSession& mail, const QVRewriteOptions& given) {
  QVRewriteOptions options = given;
  if (options.output && options.output->empty()) {
    complain("-o needs a file or folder name (or - for standard output)");
    return kExitUsage;
  }
  // Standard output, also by the names that lead to its descriptor (following them would
  // replace the file it writes to, or fail on a pipe).
  for (const char* name : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    if (options.output && *options.output == name) options.output.reset();
  }
  std::vector<std::string> names = options.inputs;
  if (names.empty()) names.push_back("-");
  // A mailbox folder or a Maildir stands for its files.
  std::vector<QVMailFile> files;
  for (const std::string& name : names) {
    std::string error;
    std::vector<std::string> notes;
    std::vector<QVMailFile> found = mailFiles(name, error, notes);
    for (const std::string& line : notes) note(line);
    if (!error.empty()) {
      complain("cannot read " + name + ": " + error);
      return kExitNoInput;
    }
    files.insert(files.end(), found.begin(), found.end());
  }
  std::vector<std::string> inputs;
  for (const QVMailFile& f : files) inputs.push_back(f.path);
  const bool batch = inputs.size() > 1 || names.size() > 1;

  if (options.inPlace && options.output) {
    complain("-i and -o exclude each other: rewrite in place, or name an output");
    return kExitUsage;
  }
  std::size_t stdinCount = 0;
  for (const std::string& in : inputs) stdinCount += in == "-" ? 1 : 0;
  if (options.inPlace && stdinCount > 0) {
    complain("-i needs files: standard input cannot be rewritten in place");
    return kExitUsage;
  }
  if (batch && stdinCount > 0) {
    complain("standard input (-) can only be rewritten alone");
    return kExitUsage;
  }

  // With several inputs, or an existing folder as OUT, each result keeps its file name.
  bool outFolder = false;
  if (options.output) {
    std::error_code ec;
    outFolder = fs::is_directory(*options.output, ec);
    if (batch && !outFolder) {
      complain("with several messages, -o must name an existing folder: " + *options.output);
      return kExitUsage;
    }
  } else if (batch && !options.inPlace) {
    complain("several messages need -o FOLDER or -i");
    return kExitUsage;
  }
  if (outFolder) {
    std::set<std::string> taken;
    for (const QVMailFile& f : files) {
      const std::string name = f.path == "-" ? "message.eml" : f.outputName.string();
      if (!taken.insert(name).second) {
        complain("two messages are both named " + name + " and would overwrite each other in " +
                 *options.output);
        return kExitUsage;
      }
    }
  }

  // The progress line stays the terminal's last line: log lines are written above it.
  const bool progress = batch && !options.noProgress && ::isatty(STDERR_FILENO) != 0;
  Tally tally;
  int status = kExitOk;
  if (batch) stopBetweenMessages();
  // The messages are out: the plug-in's counter gets their attachments.
  const auto countAttachments = [&] {
    increaseStowletCount(mail.defaults.get(), tally.attachments);
  };
  // One file, with its own tally; what it cannot rewrite it says, but for the GMime module
  // missing, which stops the run (exit 69).
  const auto runFile = [&](std::size_t k, Tally& fileTally) {
    const std::string& in = inputs[k];
    Destination to;
    if (options.inPlace) {
      to.file = in;
    } else if (!options.output) {
      to.toStdout = true;
    } else if (outFolder) {
      to.file =
          fs::path(*options.output) / (in == "-" ? fs::path("message.eml") : files[k].outputName);
      std::error_code ec;
      fs::create_directories(to.file.parent_path(), ec);  // a Maildir's cur and new
    } else {
      to.file = *options.output;
    }
    try {
      return rewriteOne(mail, files[k], to, options, batch, fileTally);
    } catch (const qv::codec::QVMimeUnavailable&) {
      throw;
    } catch (const std::bad_alloc&) {
      // Caught here, so that a file being rewritten in place is put back on the way.
      complain("cannot rewrite " + in + ": not enough memory; it was left as it is");
      ++fileTally.failed;
      return kExitOsErr;
    } catch (const std::exception& e) {
      complain("cannot rewrite " + in + ": " + e.what() + "; it was left as it is");
      ++fileTally.failed;
      return kExitSoftware;
    }
  };
  // The files of a batch that each hold one message are rewritten side by side, each on a
  // thread, at most a few per thread ahead of the one whose lines are said; a mailbox is
  // rewritten alone, on its own threads. So is a file that is no regular file (a FIFO is
  // opened once, by its own rewrite) and a file named a second time (after the first is
  // done). The lines, the progress line and the counts follow the batch's order.
  const unsigned jobs = batch ? jobsFor(options, inputs.size()) : 1;
  std::vector<bool> alone(inputs.size(), true);
  std::vector<std::size_t> sizes(inputs.size(), 0);
  if (jobs > 1) {
    std::set<std::pair<dev_t, ino_t>> seen;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      struct stat st {};
      if (::stat(inputs[k].c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          !seen.insert({st.st_dev, st.st_ino}).second) {
        continue;
      }
      sizes[k] = static_cast<std::size_t>(st.st_size);
      alone[k] = !files[k].inMaildir && looksLikeMailbox(inputs[k]);
    }
  }
  struct FileRun {
    int code = kExitOk;
    Tally tally;
    std::vector<std::string> lines;
    std::exception_ptr stop;  // the GMime module missing
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::size_t, FileRun> finished;
  std::size_t claimed = 0;  // the next file a thread takes up
  std::size_t taken = 0;    // the next file said
  bool stopping = false;
  bool aloneRunning = false;  // a mailbox's own rewrite: the threads wait
  const std::size_t ahead = 4 * static_cast<std::size_t>(jobs);
  // The files in flight hold at most this many bytes (or one file, when it is larger).
  constexpr std::size_t kInFlightBytes = std::size_t{64} << 20;
  std::size_t inFlight = 0;
  std::size_t running = 0;  // files taken up by the threads and not done
  const auto work = [&] {
    // The run's signals go to the main thread, which stops between files.
    sigset_t held;
    sigemptyset(&held);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&held, s);
    ::pthread_sigmask(SIG_BLOCK, &held, nullptr);
    for (;;) {
      std::size_t k;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
          return stopping || stopSignal.load() != 0 || claimed >= inputs.size() ||
                 (!aloneRunning && !alone[claimed] && claimed < taken + ahead &&
                  (running == 0 || inFlight + sizes[claimed] <= kInFlightBytes));
        });
        if (stopping || stopSignal.load() != 0 || claimed >= inputs.size()) return;
        k = claimed++;
        inFlight += sizes[k];
        ++running;
      }
      FileRun run;
      holdLines(&run.lines);
      try {
        run.code = runFile(k, run.tally);
      } catch (...) {
        run.stop = std::current_exception();
      }
      holdLines(nullptr);
      std::lock_guard lock(mutex);
      if (run.stop) stopping = true;
      inFlight -= sizes[k];
      --running;
      finished.emplace(k, std::move(run));
      changed.notify_all();
    }
  };
  std::vector<std::thread> threads;
  if (jobs > 1) {
    for (unsigned t = 0; t < jobs; ++t) threads.emplace_back(work);
  }
  const auto join = [&] {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
  };
  std::exception_ptr stop;
  std::size_t done = 0;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    FileRun run;
    {
      std::unique_lock lock(mutex);
      // Stopped: the files taken up already are said; the rest are not read.
      if (stop || stopSignal.load() != 0) stopping = true;
      if (stopping && k >= claimed) break;
      if (progress) {
        mail.log.setStatus("stowlet: [" + std::to_string(k + 1) + "/" +
                           std::to_string(inputs.size()) + "] " + inputs[k]);
      }
      if (k == claimed) {
        // Taken up on this thread: a mailbox (every file before it is done, and no thread
        // takes up another until it is), or a file no thread has taken up yet.
        claimed = k + 1;
        aloneRunning = alone[k];
        lock.unlock();
        try {
          run.code = runFile(k, run.tally);
        } catch (...) {
          run.stop = std::current_exception();
        }
        lock.lock();
        aloneRunning = false;
      } else {
        changed.wait(lock, [&] { return finished.count(k) != 0; });
        auto it = finished.find(k);
        run = std::move(it->second);
        finished.erase(it);
      }
    }
    for (const std::string& line : run.lines) note(line);
    tally.add(run.tally);
    if (status == kExitOk && !run.stop) status = run.code;
    if (run.stop && !stop) stop = run.stop;
    ++done;
    {
      std::lock_guard lock(mutex);
      taken = k + 1;
    }
    changed.notify_all();
  }
  join();
  if (stop) {
    // The run stops (exit 69): what was written before is counted all the same.
    if (progress) mail.log.setStatus({});
    countAttachments();
    mail.saveAfterOutput();
    std::rethrow_exception(stop);
  }
  countAttachments();
  if (progress) mail.log.setStatus({});
  // The messages are out; the counter and the start-up's defaults follow. A settings file
  // that cannot be saved costs nothing of the output: a warning, and the run still succeeds.
  mail.saveAfterOutput();
  if (const int signal = stopSignal.load(); signal != 0) {
    complain("stopped by signal " + std::to_string(signal) + " after " + std::to_string(done) +
             " of " + std::to_string(inputs.size()) + " messages; the rest were not read");
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
  // A summary for several messages (several files, or a mailbox of more than one).
  if ((batch || tally.rewritten + tally.unchanged + tally.failed > 1) && !options.quiet) {
    note("stowlet: " + tally.summary());
  }
  return status;
}

}  // namespace qv::cli

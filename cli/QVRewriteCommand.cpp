// stowlet rewrite: raw messages in, rebuilt messages out.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <set>

#include "cli/QVBodyJoin.h"
#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "cli/QVMailbox.h"
#include "core/QVManipulator.h"
#include "hooks/QVPluginRebuild.h"
#include "host/QVSignatureName.h"

namespace qv::cli {

namespace fs = std::filesystem;

namespace {

// A batch stopped by TERM, INT or HUP ends the message at hand, saves the counter of what was
// written, then ends as the signal would have ended it. A second signal ends it at once.
std::atomic<int> stopSignal{0};

void noteStop(int signal) {
  if (stopSignal.exchange(signal) != 0) {
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

struct Tally {
  std::size_t rewritten = 0;
  std::size_t unchanged = 0;
  std::size_t failed = 0;
  std::size_t attachments = 0;
};

// Where one input's result goes: standard output, a file, or nowhere (in place, unchanged).
struct Destination {
  bool toStdout = false;
  fs::path file;
};

int rewriteOne(QVMailSession& mail, const std::string& input, const Destination& to,
               const QVRewriteOptions& options, bool batch, Tally& tally) {
  const bool inPlace = options.inPlace;
  const bool quiet = options.quiet;
  if (inPlace) {
    // Only a regular file can be rewritten in place (reading a FIFO would take its data).
    struct stat st {};
    if (::stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      complain("cannot rewrite " + input +
               " in place: it is no regular file (a FIFO or a device); give -o instead");
      return kExitUsage;
    }
  }
  // A mailbox rewritten in place is locked as mail programs lock it, so that no delivery
  // lands between the reading and the replacing.
  QVMailboxLock mailboxLock;
  if (inPlace && looksLikeMailbox(input)) {
    if (auto error = mailboxLock.lock(input)) {
      complain("cannot rewrite " + input + " in place: " + *error);
      ++tally.failed;
      return kExitTempFail;
    }
  }
  QVInput in;
  if (auto error = QVInput::open(input, in, /*scanRows=*/true)) {
    if (auto why = in.changed()) {  // cut short under the reading
      complain("cannot rewrite " + input + ": " + *why + "; it was left as it is, run again");
      ++tally.failed;
      return kExitIo;
    }
    complain("cannot read " + (input == "-" ? std::string("standard input") : input) + ": " +
             *error);
    return kExitNoInput;
  }
  const std::string signature = signatureName(mail.defaults.get());
  const std::string_view whole = in.bytes();

  // The result as pieces: the rebuilt messages' pieces, or stretches of the input as they
  // came. A mailbox is rewritten message by message, each kept in its place with its
  // separator row and what follows its end.
  std::deque<QVRebuiltMessage> rebuilts;
  std::vector<std::string_view> pieces;
  std::size_t rebuiltCount = 0, unchangedCount = 0, attachments = 0;
  const auto rewrite = [&](QVManipulator& manipulator, std::string_view bytes,
                           const std::string& label) {
    // The text bodies joined where files cut them, the HTML without the image tags of the
    // pictures that become attachments; boundaries drawn and logged as the plug-in does.
    const QVBodyReplacements bodies = commandBodies(manipulator, options.keepHtml);
    std::optional<QVRebuiltMessage> rebuilt = rebuildAsPlugin(manipulator, nullptr, bodies);
    if (!rebuilt) {
      ++unchangedCount;
      if (!quiet) {
        const std::string reason(describe(*manipulator.failure()));
        note(label.empty() ? "unchanged: " + reason : label + ": unchanged: " + reason);
      }
      pieces.push_back(bytes);
      return;
    }
    ++rebuiltCount;
    attachments += rebuilt->attachmentCount();
    rebuilts.push_back(std::move(*rebuilt));
    for (std::size_t i = 0; i < rebuilts.back().pieceCount(); ++i) {
      pieces.push_back(rebuilts.back().piece(i));
    }
  };
  const std::vector<QVMailboxMessage> messages = mailboxMessages(whole);
  if (messages.empty()) {
    const std::unique_ptr<QVManipulator> made = manipulatorFor(in, signature);
    rewrite(*made, whole, batch ? input : std::string());
  } else {
    for (std::size_t k = 0; k < messages.size(); ++k) {
      const QVMailboxMessage& message = messages[k];
      pieces.push_back(message.separator);
      QVManipulator manipulator(message.message, signature);
      rewrite(manipulator, message.message, input + ": message " + std::to_string(k + 1));
      pieces.push_back(message.after);
    }
  }
  if (rebuiltCount == 0 && inPlace) {
    tally.unchanged += unchangedCount;
    return kExitOk;  // the file already holds its messages as they are
  }
  const std::size_t count = pieces.size();
  const auto piece = [&](std::size_t i) { return pieces[i]; };
  const auto written = [&] {
    tally.rewritten += rebuiltCount;
    tally.unchanged += unchangedCount;
    tally.attachments += attachments;
    increaseStowletCount(mail.defaults.get(), attachments);
    return kExitOk;
  };

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
  if (to.toStdout) {
    if (auto error = writeAll(STDOUT_FILENO, count, piece, in.sourceFile())) {
      if (changedMeanwhile()) return kExitIo;  // the input was cut short under the copy
      complain("cannot write to standard output: " + *error);
      ++tally.failed;
      return kExitIo;
    }
    if (changedMeanwhile()) return kExitIo;
    return written();
  }
  QVAtomicFile out;
  if (auto error = out.create(to.file, inPlace)) {
    complain("cannot create " + to.file.string() + ": " + *error);
    ++tally.failed;
    return kExitCantCreate;
  }
  if (auto error = writeAll(out.fd(), count, piece, in.sourceFile())) {
    if (changedMeanwhile()) return kExitIo;
    complain("cannot write " + to.file.string() + ": " + *error);
    ++tally.failed;
    return kExitIo;
  }
  if (changedMeanwhile()) return kExitIo;
  // A file that replaces the only copy of a message is synced first: the input itself.
  bool replacesInput = inPlace;
  struct stat inSt {
  }, outSt{};
  if (!replacesInput && ::stat(input.c_str(), &inSt) == 0 && ::stat(to.file.c_str(), &outSt) == 0) {
    replacesInput = inSt.st_dev == outSt.st_dev && inSt.st_ino == outSt.st_ino;
  }
  if (auto error = out.commit(replacesInput, inPlace ? in.fileStat() : nullptr)) {
    complain("cannot write " + to.file.string() + ": " + *error);
    ++tally.failed;
    return kExitIo;
  }
  return written();
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
    std::vector<QVMailFile> found = mailFiles(name, error);
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
  std::size_t done = 0;
  for (std::size_t k = 0; k < inputs.size() && stopSignal.load() == 0; ++k, ++done) {
    const std::string& in = inputs[k];
    if (progress) {
      mail.log.setStatus("stowlet: [" + std::to_string(k + 1) + "/" +
                         std::to_string(inputs.size()) + "] " + in);
    }
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
    const int code = rewriteOne(mail, in, to, options, batch, tally);
    if (status == kExitOk) status = code;
  }
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
  if (batch && !options.quiet) {
    std::string summary = "stowlet: " + std::to_string(tally.rewritten) + " rewritten, " +
                          std::to_string(tally.unchanged) + " unchanged, ";
    if (tally.failed > 0) summary += std::to_string(tally.failed) + " failed, ";
    note(summary + std::to_string(tally.attachments) + " attachments moved");
  }
  return status;
}

}  // namespace qv::cli

// stowlet rewrite: raw messages in, rebuilt messages out.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <set>
#include <system_error>

#include "cli/QVBodyJoin.h"
#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "core/QVManipulator.h"
#include "hooks/QVPluginRebuild.h"
#include "host/QVSignatureName.h"

namespace qv::cli {

namespace fs = std::filesystem;

namespace {

struct Tally {
  std::size_t rewritten = 0;
  std::size_t unchanged = 0;
  std::size_t attachments = 0;
};

// From this size on, a message's output is written while the settings are saved: below it,
// starting a thread costs more than the wait it saves.
constexpr std::size_t kSaveAlongside = std::size_t{1} << 20;

// Where one input's result goes: standard output, a file, or nowhere (in place, unchanged).
struct Destination {
  bool toStdout = false;
  fs::path file;
};

int rewriteOne(QVMailSession& mail, const std::string& input, const Destination& to,
               const QVRewriteOptions& options, bool batch, Tally& tally) {
  const bool inPlace = options.inPlace;
  const bool quiet = options.quiet;
  QVInput in;
  if (auto error = QVInput::open(input, in, /*scanRows=*/true)) {
    complain("cannot read " + (input == "-" ? std::string("standard input") : input) + ": " +
             *error);
    return kExitNoInput;
  }
  const std::unique_ptr<QVManipulator> made =
      manipulatorFor(in, signatureName(mail.defaults.get()));
  QVManipulator& manipulator = *made;
  // The text bodies joined where files cut them, the HTML without the image tags of the
  // pictures that become attachments.
  const QVBodyReplacements bodies = commandBodies(manipulator, options.keepHtml);
  std::optional<QVRebuiltMessage> rebuilt =
      rebuildAsPlugin(manipulator, mail.defaults.get(), bodies);
  if (rebuilt) {
    ++tally.rewritten;
    tally.attachments += rebuilt->attachmentCount();
  } else {
    ++tally.unchanged;
    if (!quiet) {
      const std::string reason(describe(*manipulator.failure()));
      if (batch) {
        note(input + ": unchanged: " + reason);
      } else {
        note("unchanged: " + reason);
      }
    }
    if (inPlace) return kExitOk;  // the file already holds the message as it is
  }
  // The rebuilt message's pieces, or the message as it came.
  const std::size_t count = rebuilt ? rebuilt->pieceCount() : 1;
  const std::string_view whole = in.bytes();
  const auto piece = [&](std::size_t i) { return rebuilt ? rebuilt->piece(i) : whole; };

  if (to.toStdout) {
    // What goes to standard output cannot be taken back: the settings are saved first, and
    // a failure to save them writes nothing.
    if (!batch) {
      if (const int code = mail.finish(); code != kExitOk) return code;
    }
    if (auto error = writeAll(STDOUT_FILENO, count, piece, in.sourceFile())) {
      complain("cannot write to standard output: " + *error);
      return kExitIo;
    }
    return kExitOk;
  }
  // A single message's settings (its attachment count) are saved, and synced, before its
  // output is made visible; for a big message on a thread of their own while the output is
  // written. (The rebuild is over: nothing else touches the settings meanwhile.)
  std::future<int> saved;
  if (!batch && whole.size() >= kSaveAlongside) {
    try {
      saved = std::async(std::launch::async, [&mail] { return mail.finish(); });
    } catch (const std::system_error&) {
      // No thread to be had: saved below, before the output.
    }
  }
  if (!batch && !saved.valid()) {
    if (const int code = mail.finish(); code != kExitOk) return code;
  }
  const auto settingsSaved = [&saved] { return saved.valid() ? saved.get() : kExitOk; };
  QVAtomicFile out;
  if (auto error = out.create(to.file)) {
    complain("cannot create " + to.file.string() + ": " + *error);
    settingsSaved();
    return kExitCantCreate;
  }
  if (auto error = writeAll(out.fd(), count, piece, in.sourceFile())) {
    complain("cannot write " + to.file.string() + ": " + *error);
    settingsSaved();
    return kExitIo;
  }
  if (const int code = settingsSaved(); code != kExitOk) return code;
  if (auto error = out.commit(inPlace)) {
    complain("cannot write " + to.file.string() + ": " + *error);
    return kExitIo;
  }
  return kExitOk;
}

}  // namespace

int runRewrite(QVMailSession& mail, const QVRewriteOptions& given) {
  QVRewriteOptions options = given;
  if (options.output && options.output->empty()) {
    complain("-o needs a file or folder name (or - for standard output)");
    return kExitUsage;
  }
  if (options.output && *options.output == "-") options.output.reset();  // standard output
  std::vector<std::string> inputs = options.inputs;
  if (inputs.empty()) inputs.push_back("-");
  const bool batch = inputs.size() > 1;

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
    std::set<std::string> names;
    for (const std::string& in : inputs) {
      const std::string name = in == "-" ? "message.eml" : fs::path(in).filename().string();
      if (!names.insert(name).second) {
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
  for (std::size_t k = 0; k < inputs.size(); ++k) {
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
      to.file = fs::path(*options.output) /
                (in == "-" ? fs::path("message.eml") : fs::path(in).filename());
    } else {
      to.file = *options.output;
    }
    const int code = rewriteOne(mail, in, to, options, batch, tally);
    if (status == kExitOk) status = code;
  }
  if (progress) mail.log.setStatus({});
  if (batch && !options.quiet) {
    std::fprintf(stderr, "stowlet: %zu rewritten, %zu unchanged, %zu attachments moved\n",
                 tally.rewritten, tally.unchanged, tally.attachments);
  }
  return status;
}

}  // namespace qv::cli

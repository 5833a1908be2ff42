#pragma once
// The subcommands of `stowlet`, and what they share: the exit codes of the mail tools
// (sysexits) and the stand-in Mail the plug-in runs in.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin/QVMailDefaults.h"
#include "standin/QVMailHost.h"
#include "standin/QVMailLog.h"
#include "standin/QVStandInMail.h"

namespace qv::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;        // EX_USAGE
inline constexpr int kExitNoInput = 66;      // EX_NOINPUT
inline constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE
inline constexpr int kExitSoftware = 70;     // EX_SOFTWARE
inline constexpr int kExitOsErr = 71;        // EX_OSERR
inline constexpr int kExitCantCreate = 73;   // EX_CANTCREAT
inline constexpr int kExitIo = 74;           // EX_IOERR
inline constexpr int kExitTempFail = 75;     // EX_TEMPFAIL
inline constexpr int kExitConfig = 78;       // EX_CONFIG

// Prints "stowlet: <text>" on standard error (above a progress line, if one is shown).
void complain(const std::string& text);
// Prints a line on standard error, above a progress line, if one is shown.
void note(const std::string& text);
// From now on, this thread's complain() and note() lines go to `into` (nothing: to standard
// error again), so that work done side by side is said in its order.
void holdLines(std::vector<std::string>* into);

// The stand-in Mail for one run: its user defaults, its runtime and services, its log, and
// the plug-in loaded into it (its start-up lines go to the log). Exit code kExitOk when it
// could start.
struct QVMailSession {
  std::unique_ptr<QVMailDefaults> defaults;
  std::unique_ptr<mail::QVStandInMail> mail;
  std::unique_ptr<mail::QVMailHost> host;
  QVMailLog log;
  bool quiet = false;

  [[nodiscard]] int start(const std::optional<std::string>& defaultsFlag, bool quietLog,
                          bool loadPlugin = true);
  // Saves the settings; the exit code.
  [[nodiscard]] int finish();
  // Saves the settings after the command's output is written: a failure is a warning, and
  // finish() then has nothing left to do.
  void saveAfterOutput();
  bool saved = false;  // the settings need no saving at the end (done, or not to be kept)
  ~QVMailSession();
};

struct QVRewriteOptions {
  std::vector<std::string> inputs;
  std::optional<std::string> output;
  bool inPlace = false;
  bool quiet = false;
  bool verbose = false;  // a line for every message, rebuilt ones too
  bool keepHtml = false;
  // Pictures of fewer bytes stay inline; nothing: QVStowletKeepInlineBelow, or none.
  std::optional<std::uint64_t> keepInlineBelow;
  bool noProgress = false;
  int lockTimeout = 30;  // seconds to wait for a mailbox's locks
  // Threads rebuilding a mailbox's messages; nothing: one per core.
  std::optional<unsigned> jobs;
};

struct QVComposeOptions {
  std::string plainFile;
  std::string htmlFile;
  std::vector<std::string> attachments;  // FILE or FILE=CID
  std::vector<std::string> headers;      // "Name: value"
  std::optional<std::string> output;
  bool withoutPlugin = false;
  bool reproducible = false;
};

struct QVPrefsOptions {
  bool show = false;
  std::vector<std::string> assignments;  // NAME=VALUE
  bool yes = false;
};

[[nodiscard]] int runDemo(QVMailSession& mail);
[[nodiscard]] int runView(QVMailSession& mail, const std::string& input);
[[nodiscard]] int runMenu(QVMailSession& mail, bool pick);
[[nodiscard]] int runPrefs(QVMailSession& mail, const QVPrefsOptions& options);
[[nodiscard]] int runCompose(QVMailSession& mail, const QVComposeOptions& options);
[[nodiscard]] int runRewrite(QVMailSession& mail, const QVRewriteOptions& options);
[[nodiscard]] int runInspect(QVMailSession& mail, const std::string& input);

}  // namespace qv::cli

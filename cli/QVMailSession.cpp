#include <cstdio>
#include <string>
#include <vector>

#include "adapters/standin/QVMailPlugin.h"
#include "cli/QVCommands.h"

namespace qv::cli {

namespace {

// The running session's log: messages go above its status line.
QVMailLog* sessionLog = nullptr;

// This thread's lines, held to be said later (holdLines).
thread_local std::vector<std::string>* heldLines = nullptr;

}  // namespace

void holdLines(std::vector<std::string>* into) {
  heldLines = into;
}

void complain(const std::string& text) {
  if (heldLines != nullptr) {
    heldLines->push_back("stowlet: " + text);
    return;
  }
  if (sessionLog != nullptr) {
    sessionLog->writeLine("stowlet: " + text);
    return;
  }
  std::fprintf(stderr, "stowlet: %s\n", text.c_str());
}

void note(const std::string& text) {
  if (heldLines != nullptr) {
    heldLines->push_back(text);
    return;
  }
  if (sessionLog != nullptr) {
    sessionLog->writeLine(text);
    return;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

int QVMailSession::start(const std::optional<std::string>& defaultsFlag, bool quietLog,
                         bool loadPlugin) {
  quiet = quietLog;
  sessionLog = &log;
  const auto file = QVMailDefaults::locate(defaultsFlag);
  if (!file) {
    complain(
        "cannot tell where the settings live: set HOME, XDG_CONFIG_HOME or STOWLET_DEFAULTS, "
        "or pass --defaults PATH");
    return kExitConfig;
  }
  QVMailDefaults::Opened opened = QVMailDefaults::open(*file);
  if (!opened.store) {
    complain(opened.error + "; fix or move it away, or pass --defaults PATH");
    return kExitConfig;
  }
  defaults = std::move(opened.store);
  mail = std::make_unique<mail::QVStandInMail>();
  host = std::make_unique<mail::QVMailHost>(*mail, *defaults, mail::QVMailHost::defaultResources(),
                                            quiet ? nullptr : &log);
  if (loadPlugin) QVMailPlugin::initialize(*host);
  return kExitOk;
}

void QVMailSession::saveAfterOutput() {
  saved = true;
  if (!defaults) return;
  if (auto error = defaults->save()) {
    complain("warning: the output is written, but the counter and settings were not saved: " +
             *error);
  }
}

int QVMailSession::finish() {
  if (!defaults || saved) return kExitOk;
  if (auto error = defaults->save()) {
    complain(*error);
    return kExitIo;
  }
  return kExitOk;
}

QVMailSession::~QVMailSession() {
  if (sessionLog == &log) sessionLog = nullptr;
  QVMailPlugin::unload();
  host.reset();
  mail.reset();
}

}  // namespace qv::cli

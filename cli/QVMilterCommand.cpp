// stowlet milter: the filter's callbacks and its life as a daemon.

#include "cli/QVMilterCommand.h"

#include <grp.h>
#include <libmilter/mfapi.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/QVBodyJoin.h"
#include "cli/QVCommands.h"
#include "core/QVBoundarySource.h"
#include "core/QVHeaderFields.h"
#include "core/QVManipulator.h"

namespace qv::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The filter's settings, set once before the first connection.
const QVMilterOptions* settings = nullptr;

// One line per message, to standard error or the system log.
std::mutex logMutex;
void logLine(const std::string& line) {
  if (settings != nullptr && settings->syslog) {
    ::syslog(LOG_MAIL | LOG_INFO, "%s", line.c_str());
    return;
  }
  const std::lock_guard lock(logMutex);
  std::fprintf(stderr, "stowlet milter: %s\n", line.c_str());
  std::fflush(stderr);
}

// Boundaries from a generator of the message's own, seeded by the system.
class QVRandomBoundaries final : public QVBoundarySource {
 public:
  QVRandomBoundaries() : engine_(std::random_device{}()) {}
  [[nodiscard]] std::string createBoundary() override {
    return boundaryFrom([this] { return static_cast<int>(engine_() & 0x7fffffff); });
  }

 private:
  std::mt19937 engine_;
};

// A header field as the MTA hands it over: its name and its value (continuation rows
// joined by line feeds, the blank after the colon left out).
struct QVField {
  std::string name;
  std::string value;
};

// What one connection holds: the message being received, built as it arrives (its header
// rows, then its body with line feeds for the MTA's CR LF), so that it is held once.
struct QVConnection {
  std::string daemonName;  // {daemon_name}, given at the connection
  bool outgoing = false;
  std::vector<QVField> fields;
  std::string message;
  bool pendingCR = false;  // the last chunk ended in a CR: its line feed may come next
  std::size_t bytes = 0;
  bool tooLarge = false;

  void forget() {
    fields.clear();
    message.clear();
    message.shrink_to_fit();
    pendingCR = false;
  }
  void reset() {
    outgoing = false;
    forget();
    bytes = 0;
    tooLarge = false;
  }
  void count(std::size_t n) {
    bytes += n;
    if (bytes > settings->sizeLimit && !tooLarge) {
      tooLarge = true;  // from here on nothing is kept: the message passes as it came
      forget();
    }
  }
  // A body chunk, its CR LF line ends made line feeds.
  void addBody(std::string_view chunk) {
    if (chunk.empty()) return;
    if (pendingCR && chunk.front() != '\n') message.push_back('\r');
    pendingCR = chunk.back() == '\r';
    if (pendingCR) chunk.remove_suffix(1);
    for (std::size_t at = 0; at < chunk.size();) {
      std::size_t cr = chunk.find("\r\n", at);
      if (cr == std::string_view::npos) cr = chunk.size();
      message.append(chunk, at, cr - at);
      at = cr + 1;  // the line feed after the CR is kept
    }
  }
};

QVConnection* connectionOf(SMFICTX* context) {
  return static_cast<QVConnection*>(smfi_getpriv(context));
}

std::string macro(SMFICTX* context, const char* name) {
  const char* value = smfi_getsymval(context, const_cast<char*>(name));
  return value != nullptr ? std::string(value) : std::string();
}

// CR LF line ends as line feeds.
std::string withLineFeeds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

// The new body handed to the MTA as it is read from the rebuilt message's pieces, its line
// feeds made CR LF, in pieces of 1 KB: a peer may read a reply into a buffer of that size
// (Debian's miltertest does, and overflows on more), and the protocol allows any number of
// them. Nothing of the body is held whole a second time.
class QVBodyWriter {
 public:
  explicit QVBodyWriter(SMFICTX* context) : context_(context) {}
  [[nodiscard]] bool add(std::string_view text) {
    for (const char c : text) {
      if (c == '\n') buffer_.push_back('\r');
      buffer_.push_back(c);
      if (buffer_.size() >= kChunk && !flush()) return false;
    }
    return true;
  }
  [[nodiscard]] bool flush() {
    if (buffer_.empty() && sent_) return true;
    sent_ = true;
    const int result = smfi_replacebody(context_, reinterpret_cast<unsigned char*>(buffer_.data()),
                                        static_cast<int>(buffer_.size()));
    buffer_.clear();
    return result == MI_SUCCESS;
  }

 private:
  static constexpr std::size_t kChunk = 1024;
  SMFICTX* context_;
  std::string buffer_;
  bool sent_ = false;
};

// The fields of a header block (rows ending in line feeds, without the empty row).
std::vector<QVField> fieldsOf(std::string_view header) {
  std::vector<QVField> out;
  for (std::size_t at = 0; at < header.size();) {
    std::size_t end = header.find('\n', at);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view row = header.substr(at, end - at);
    if (isContinuationRow(row) && !out.empty()) {
      out.back().value.append("\n").append(row);
    } else if (const std::size_t colon = row.find(':'); colon != std::string_view::npos) {
      std::string_view value = row.substr(colon + 1);
      if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      out.push_back({std::string(row.substr(0, colon)), std::string(value)});
    }
    at = end + 1;
  }
  return out;
}

// Makes the MTA's header what the rebuilt one is: each field name's occurrences compared in
// order, changed, deleted or added. False when the MTA refused one.
bool replaceHeader(SMFICTX* context, const std::vector<QVField>& before,
                   const std::vector<QVField>& after) {
  std::vector<std::string> names;
  for (const auto* fields : {&before, &after}) {
    for (const QVField& f : *fields) {
      bool seen = false;
      for (const std::string& n : names) seen = seen || equalsIgnoringCase(n, f.name);
      if (!seen) names.push_back(f.name);
    }
  }
  for (const std::string& name : names) {
    std::vector<const QVField*> was, is;
    for (const QVField& f : before) {
      if (equalsIgnoringCase(f.name, name)) was.push_back(&f);
    }
    for (const QVField& f : after) {
      if (equalsIgnoringCase(f.name, name)) is.push_back(&f);
    }
    const auto call = [&](int result) { return result == MI_SUCCESS; };
    for (std::size_t i = 0; i < std::min(was.size(), is.size()); ++i) {
      if (was[i]->value == is[i]->value) continue;
      if (!call(smfi_chgheader(context, const_cast<char*>(name.c_str()), static_cast<int>(i + 1),
                               const_cast<char*>(is[i]->value.c_str())))) {
        return false;
      }
    }
    // Deleted from the last, so that the indexes before stay as they are.
    for (std::size_t i = was.size(); i > is.size(); --i) {
      if (!call(smfi_chgheader(context, const_cast<char*>(name.c_str()), static_cast<int>(i),
                               nullptr))) {
        return false;
      }
    }
    for (std::size_t i = was.size(); i < is.size(); ++i) {
      if (!call(smfi_addheader(context, const_cast<char*>(is[i]->name.c_str()),
                               const_cast<char*>(is[i]->value.c_str())))) {
        return false;
      }
    }
  }
  return true;
}

// What the filter did with one message, for its log line.
struct QVDecision {
  std::string what;  // "rebuilt", "unchanged (nothing to move)", "passed (...)"
  std::size_t moved = 0;
};

// `began`: when the message had arrived whole (its own time is what the timeout bounds).
QVDecision filter(SMFICTX* context, QVConnection& c, Clock::time_point began) {
  if (!c.outgoing) return {"passed (not outgoing mail)"};
  if (!settings->enabled) return {"passed (switched off)"};
  if (c.tooLarge) return {"passed (larger than the size limit)"};
  if (c.pendingCR) c.message.push_back('\r');
  c.pendingCR = false;
  const std::string& message = c.message;
  QVManipulator manipulator(message, settings->signatureFilename,
                            settings->keepInlineBelow
                                ? std::optional<std::size_t>(*settings->keepInlineBelow)
                                : std::nullopt);
  if (auto failure = manipulator.failure()) {
    return {"unchanged (" + std::string(describe(*failure)) + ")"};
  }
  const QVBodyReplacements bodies = commandBodies(manipulator, false);
  QVRandomBoundaries boundaries;
  std::optional<QVRebuiltMessage> rebuilt = manipulator.rebuild(boundaries, bodies);
  if (!rebuilt) {
    return {
        "unchanged (" +
        std::string(describe(manipulator.failure().value_or(QVRebuildFailure::kNoFreshBoundary))) +
        ")"};
  }
  if (Clock::now() - began > std::chrono::seconds(settings->timeout)) {
    return {"passed (timeout)"};
  }
  // The rebuilt header: the pieces up to its empty row.
  std::string header;
  std::size_t piece = 0;
  std::size_t bodyAt = std::string::npos;  // in the piece where the body begins
  for (; piece < rebuilt->pieceCount(); ++piece) {
    const std::size_t before = header.size();
    header.append(rebuilt->piece(piece));
    const std::size_t split = header.find("\n\n", before == 0 ? 0 : before - 1);
    if (split != std::string::npos) {
      bodyAt = split + 2 - before;
      header.resize(split + 1);
      break;
    }
  }
  if (bodyAt == std::string::npos) return {"passed (internal error: no header)"};
  std::vector<QVField> before = c.fields;
  for (QVField& f : before) f.value = withLineFeeds(f.value);
  std::vector<QVField> after = fieldsOf(header);
  // A multipart message says it is MIME: a header that did not gets the field.
  bool mime = false;
  for (const QVField& f : after) mime = mime || equalsIgnoringCase(f.name, "MIME-Version");
  if (!mime) after.push_back({"MIME-Version", "1.0"});
  // The body first: a body the MTA refused leaves the header as it was.
  QVBodyWriter body(context);
  bool written = body.add(rebuilt->piece(piece).substr(bodyAt));
  for (++piece; written && piece < rebuilt->pieceCount(); ++piece) {
    written = body.add(rebuilt->piece(piece));
  }
  if (!written || !body.flush()) return {"passed (the server refused the new body)"};
  if (!replaceHeader(context, before, after)) {
    return {"passed (the server refused a header change)"};
  }
  return {"rebuilt", rebuilt->attachmentCount()};
}

sfsistat onConnect(SMFICTX* context, char*, _SOCK_ADDR*) {
  auto* c = new (std::nothrow) QVConnection;
  if (c == nullptr) return SMFIS_ACCEPT;
  c->daemonName = macro(context, "{daemon_name}");
  c->reset();
  smfi_setpriv(context, c);
  return SMFIS_CONTINUE;
}

sfsistat onMailFrom(SMFICTX* context, char** arguments) {
  QVConnection* c = connectionOf(context);
  if (c == nullptr) return SMFIS_ACCEPT;
  c->reset();
  // The size the client declared (ESMTP SIZE=): room for the message at once, so that it is
  // not copied as it grows (within the limit only).
  for (char** a = arguments != nullptr && *arguments != nullptr ? arguments + 1 : nullptr;
       a != nullptr && *a != nullptr; ++a) {
    if (std::strncmp(*a, "SIZE=", 5) != 0 && std::strncmp(*a, "size=", 5) != 0) continue;
    const unsigned long long declared = std::strtoull(*a + 5, nullptr, 10);
    if (declared > 0 && declared <= settings->sizeLimit) {
      c->message.reserve(static_cast<std::size_t>(declared) + 4096);
    }
  }
  if (c->daemonName.empty()) c->daemonName = macro(context, "{daemon_name}");
  bool submission = false;
  for (const std::string& name : settings->submissionDaemons) {
    submission = submission || name == c->daemonName;
  }
  c->outgoing = settings->touch == "all" || !macro(context, "{auth_authen}").empty() || submission;
  return SMFIS_CONTINUE;
}

// The steps the filter has nothing to do in, answered all the same (a step left out of the
// negotiation would need the protocol's options for it, which not every server offers).
sfsistat onHelo(SMFICTX*, char*) {
  return SMFIS_CONTINUE;
}
sfsistat onRecipient(SMFICTX*, char**) {
  return SMFIS_CONTINUE;
}
// The header's end: the empty row before the body.
sfsistat onEndOfHeader(SMFICTX* context) {
  QVConnection* c = connectionOf(context);
  if (c != nullptr && c->outgoing && !c->tooLarge) c->message.push_back('\n');
  return SMFIS_CONTINUE;
}

sfsistat onHeader(SMFICTX* context, char* name, char* value) {
  QVConnection* c = connectionOf(context);
  if (c == nullptr) return SMFIS_CONTINUE;
  const std::size_t n = std::strlen(name) + std::strlen(value) + 4;
  c->count(n);
  if (c->outgoing && !c->tooLarge) {
    c->fields.push_back({name, value});
    c->message.append(name).append(": ").append(withLineFeeds(value)).push_back('\n');
  }
  return SMFIS_CONTINUE;
}

sfsistat onBody(SMFICTX* context, unsigned char* chunk, size_t length) {
  QVConnection* c = connectionOf(context);
  if (c == nullptr) return SMFIS_CONTINUE;
  c->count(length);
  if (c->outgoing && !c->tooLarge) {
    c->addBody(std::string_view(reinterpret_cast<const char*>(chunk), length));
  }
  return SMFIS_CONTINUE;
}

sfsistat onEndOfMessage(SMFICTX* context) {
  QVConnection* c = connectionOf(context);
  if (c == nullptr) return SMFIS_CONTINUE;
  const Clock::time_point began = Clock::now();
  QVDecision decision;
  try {
    decision = filter(context, *c, began);
  } catch (const std::exception& e) {
    decision = {std::string("passed (internal error: ") + e.what() + ")"};
  } catch (...) {
    decision = {"passed (internal error)"};
  }
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
  std::string id = macro(context, "i");
  if (id.empty()) id = "-";
  logLine(id + ": " + decision.what + ", " + std::to_string(decision.moved) + " moved, " +
          std::to_string(c->bytes) + " bytes, " + std::to_string(ms) + " ms");
  c->reset();
  return SMFIS_CONTINUE;
}

sfsistat onAbort(SMFICTX* context) {
  if (QVConnection* c = connectionOf(context)) c->reset();
  return SMFIS_CONTINUE;
}

sfsistat onClose(SMFICTX* context) {
  delete connectionOf(context);
  smfi_setpriv(context, nullptr);
  return SMFIS_CONTINUE;
}

// A unix socket's path in libmilter's forms ("unix:PATH", "local:PATH", or a bare path).
std::optional<std::string> unixPath(const std::string& socket) {
  for (const char* prefix : {"unix:", "local:"}) {
    if (socket.rfind(prefix, 0) == 0) return socket.substr(std::strlen(prefix));
  }
  if (!socket.empty() && socket.front() == '/') return socket;
  return std::nullopt;
}

}  // namespace

int runMilter(const QVMilterOptions& options) {
  settings = &options;
  if (options.syslog) ::openlog("stowlet", LOG_PID, LOG_MAIL);
  static char name[] = "stowlet";
  struct smfiDesc description {};
  description.xxfi_name = name;
  description.xxfi_version = SMFI_VERSION;
  description.xxfi_flags = SMFIF_CHGBODY | SMFIF_CHGHDRS | SMFIF_ADDHDRS;
  description.xxfi_connect = onConnect;
  description.xxfi_envfrom = onMailFrom;
  description.xxfi_helo = onHelo;
  description.xxfi_envrcpt = onRecipient;
  description.xxfi_eoh = onEndOfHeader;
  description.xxfi_header = onHeader;
  description.xxfi_body = onBody;
  description.xxfi_eom = onEndOfMessage;
  description.xxfi_abort = onAbort;
  description.xxfi_close = onClose;

  if (smfi_setconn(const_cast<char*>(options.socket.c_str())) != MI_SUCCESS) {
    complain("milter: cannot use the socket " + options.socket);
    return kExitUsage;
  }
  if (smfi_register(description) != MI_SUCCESS) {
    complain("milter: libmilter refused the filter");
    return kExitSoftware;
  }
  if (smfi_opensocket(true) != MI_SUCCESS) {
    complain("milter: cannot open the socket " + options.socket);
    return kExitCantCreate;
  }
  const std::optional<std::string> path = unixPath(options.socket);
  if (path && options.socketMode) {
    const auto mode = static_cast<mode_t>(std::stoul(*options.socketMode, nullptr, 8));
    if (::chmod(path->c_str(), mode) != 0) {
      complain("milter: cannot set the mode of " + *path + ": " + std::strerror(errno));
      return kExitCantCreate;
    }
  }
  if (options.pidFile) {
    std::ofstream pid(*options.pidFile, std::ios::trunc);
    pid << ::getpid() << "\n";
    if (!pid.flush()) {
      complain("milter: cannot write the pid file " + *options.pidFile);
      return kExitCantCreate;
    }
  }
  if (::geteuid() == 0 && options.user) {
    const struct passwd* account = ::getpwnam(options.user->c_str());
    if (account == nullptr) {
      complain("milter: no user " + *options.user);
      return kExitConfig;
    }
    if (path) (void)::chown(path->c_str(), account->pw_uid, account->pw_gid);
    if (::initgroups(account->pw_name, account->pw_gid) != 0 || ::setgid(account->pw_gid) != 0 ||
        ::setuid(account->pw_uid) != 0) {
      complain("milter: cannot become " + *options.user + ": " + std::strerror(errno));
      return kExitOsErr;
    }
  }
  logLine("ready on " + options.socket);
  const int result = smfi_main();
  if (options.pidFile) (void)::unlink(options.pidFile->c_str());
  logLine("stopped");
  return result == MI_SUCCESS ? kExitOk : kExitSoftware;
}

}  // namespace qv::cli

#pragma once
// stowlet milter: the rewrite inside the mail server. A filter over libmilter, which Postfix
// and Sendmail call for every message: the message that leaves the organisation is rebuilt
// as `stowlet rewrite` rebuilds it (bodies joined, the image tags of moved pictures taken
// out), its body and changed header fields replaced through the protocol's own actions.
//
// It never costs a message: whatever goes wrong (a malformed message, one larger than the
// size limit, an internal error, a timeout) lets the message through as it came, with one
// log line saying why. It never rejects and never asks to try later.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv::cli {

struct QVMilterOptions {
  std::string socket;                     // libmilter's form: unix:PATH, inet:PORT@HOST
  std::optional<std::string> pidFile;     // written at start, removed at the end
  std::optional<std::string> user;        // the user to run as when started as root
  std::optional<std::string> socketMode;  // a unix socket's mode, octal ("0660")
  // Which mail is touched: "outgoing" (an authenticated sender, or a daemon named in
  // `submissionDaemons`) or "all".
  std::string touch = "outgoing";
  std::vector<std::string> submissionDaemons{"ORIGINATING"};
  std::string signatureFilename = "email-signature";
  bool enabled = true;
  std::uint64_t sizeLimit = 50ULL << 20;  // larger messages pass unchanged
  std::optional<std::uint64_t> keepInlineBelow;
  int timeout = 60;  // seconds its rebuild may take before the message passes unchanged
  bool syslog = false;
};

// Runs the filter in the foreground until TERM, INT or HUP; the exit code.
[[nodiscard]] int runMilter(const QVMilterOptions& options);

}  // namespace qv::cli

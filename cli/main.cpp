// stowlet: the plug-in's message core and the stand-in Mail it runs in, on the command line.

#include <malloc.h>
#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "cli/QVMilterCommand.h"
#include "codec/QVMimeCodec.h"

#ifndef STOWLET_VERSION
#define STOWLET_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
  using namespace qv::cli;
  // Before anything is opened: a closed standard error must not lend its number to a
  // mailbox (the log would be written into it).
  openStandardDescriptors();
  // A file-size limit makes a write fail (EFBIG), which the writers handle; the signal would
  // end the process in the middle of one.
  std::signal(SIGXFSZ, SIG_IGN);
  // A message's texts (decoded, cleaned, encoded anew) are buffers of its size, made and
  // freed for each message: kept in the heap rather than mapped and given back each time,
  // they cost no page faults (the peak stays that of the largest message in flight).
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
  CLI::App app{
      "Stowlet moves the pictures and files of a Mail message out of its text and into real "
      "attachments.",
      "stowlet"};
  app.set_version_flag("--version", std::string("stowlet ") + STOWLET_VERSION);
  app.require_subcommand(1);
  app.fallthrough();

  std::optional<std::string> defaultsFlag;
  app.add_option("--defaults", defaultsFlag,
                 "The stand-in Mail's settings file (else $STOWLET_DEFAULTS, else "
                 "${XDG_CONFIG_HOME:-~/.config}/stowlet/mail-defaults.plist)")
      ->type_name("PATH");

  QVRewriteOptions rewrite;
  CLI::App* rewriteCmd = app.add_subcommand(
      "rewrite",
      "Rebuild raw messages: multipart/mixed on top, the text alternatives first, every other "
      "picture or file as an attachment. A message that cannot be rebuilt is written unchanged. "
      "The command rebuilds whatever the plug-in's switch (prefs --set enabled=...): the "
      "switch is Mail's, and a rewrite is an explicit request.");
  rewriteCmd
      ->add_option("files", rewrite.inputs,
                   "Messages to read (standard input when none, or -). A file whose first row "
                   "begins with \"From \" is a mailbox (mbox), rewritten message by message; a "
                   "folder NAME.mbox holding a file mbox is that mailbox; a Maildir folder (cur, "
                   "new) stands for its files")
      ->type_name("FILE|FOLDER|-");
  rewriteCmd
      ->add_option("-o,--output", rewrite.output,
                   "Write here instead of standard output (- for it; a folder for several "
                   "messages). A symbolic link is followed; a FIFO or a device is written to "
                   "as a stream")
      ->type_name("OUT");
  rewriteCmd->add_flag(
      "-i,--in-place", rewrite.inPlace,
      "Rewrite the files in place (a symbolic link's target; owner, group, mode and "
      "attributes kept; a file with several hard links refused; a file changed meanwhile is "
      "left as it is, exit 74). A mailbox is rewritten inside its own file, as mail readers "
      "do, under the locks mail programs take (NAME.lock, then an fcntl lock; exit 75 when "
      "another program holds them): it is first copied to NAME.stowlet-original, which goes "
      "when the mailbox is written whole");
  rewriteCmd
      ->add_option("--lock-timeout", rewrite.lockTimeout,
                   "Seconds to wait for a mailbox's locks before giving up (exit 75)")
      ->check(CLI::NonNegativeNumber)
      ->default_val(30)
      ->type_name("SECONDS");
  rewriteCmd->add_flag("-q,--quiet", rewrite.quiet, "Print only errors (and the progress line)");
  rewriteCmd->add_flag("-v,--verbose", rewrite.verbose,
                       "A line for every message, the rebuilt ones too (with their attachments)");
  rewriteCmd
      ->add_option("-j,--jobs", rewrite.jobs,
                   "Messages of a mailbox (or files of a batch) rebuilt at once, each on its "
                   "own thread, and written in their order (default: one per core)")
      ->check(CLI::PositiveNumber)
      ->type_name("N");
  rewriteCmd->add_flag("--no-progress", rewrite.noProgress,
                       "No progress line for several messages on a terminal");
  rewriteCmd->add_flag("--keep-html", rewrite.keepHtml,
                       "Keep the HTML's image tags of the pictures moved to attachments");
  rewriteCmd
      ->add_option("--keep-inline-below", rewrite.keepInlineBelow,
                   "Keep pictures smaller than SIZE (bytes, or with KB, MB) inline beside the "
                   "text, as signature pictures are: the logos other mailers name "
                   "image001.png. Default: the setting QVStowletKeepInlineBelow, else none")
      ->transform(CLI::AsSizeValue(false))
      ->type_name("SIZE");

  std::string inspectInput;
  CLI::App* inspectCmd =
      app.add_subcommand("inspect", "Show every part the collection finds and where it goes");
  inspectCmd->add_option("file", inspectInput, "The message (- for standard input)")
      ->required()
      ->type_name("FILE");

  QVComposeOptions compose;
  CLI::App* composeCmd = app.add_subcommand(
      "compose",
      "Build a message as Mail's composer does and write what Mail would send, with the "
      "plug-in's hook in place");
  composeCmd->add_option("--plain", compose.plainFile, "The plain-text alternative")
      ->required()
      ->type_name("FILE");
  composeCmd->add_option("--html", compose.htmlFile, "The HTML text, image tags and all")
      ->required()
      ->type_name("FILE");
  composeCmd
      ->add_option("--attach", compose.attachments,
                   "A file to attach; CID is its identifier as the HTML writes it after cid:")
      ->type_name("FILE[=CID]");
  composeCmd->add_option("--header", compose.headers, "A header field")
      ->type_name("\"Name: value\"");
  composeCmd->add_option("-o,--output", compose.output, "Write here instead of standard output")
      ->type_name("OUT");
  composeCmd->add_flag("--without-plugin", compose.withoutPlugin,
                       "Leave the plug-in out: what the stand-in Mail writes alone");
  composeCmd->add_flag("--reproducible", compose.reproducible,
                       "Fixed identifiers, boundaries and date, for comparisons");

  CLI::App* demoCmd = app.add_subcommand(
      "demo",
      "Send the bundled sample through Mail with the plug-in: the MIME tree before and after, "
      "and how a recipient's Mail with the plug-in shows each attachment");

  std::string viewInput;
  CLI::App* viewCmd = app.add_subcommand(
      "view", "Show how Mail with the plug-in lays out each attachment of a received message");
  viewCmd->add_option("file", viewInput, "The message (- for standard input)")
      ->required()
      ->type_name("FILE");

  bool pick = false;
  CLI::App* menuCmd = app.add_subcommand("menu", "Print Mail's application menu");
  menuCmd->add_flag("--pick", pick, "Pick the plug-in's item first (switches it on or off)");

  QVPrefsOptions prefs;
  CLI::App* prefsCmd = app.add_subcommand(
      "prefs", "The plug-in's preferences pane: interactive on a terminal, else printed");
  prefsCmd->add_flag("--show", prefs.show, "Print the pane and exit");
  prefsCmd->add_option("--set", prefs.assignments, "Change a control through the pane")
      ->type_name("NAME=VALUE");
  prefsCmd->add_flag("--yes", prefs.yes, "Answer the pane's alerts with their first button");

  QVMilterOptions milter;
  CLI::App* milterCmd = app.add_subcommand(
      "milter",
      "Run as a mail server's filter (Postfix, Sendmail): mail that leaves is rebuilt as "
      "rewrite rebuilds it; anything that fails lets the message through as it came");
  std::optional<std::string> milterConfig;
  milterCmd
      ->add_option("--config", milterConfig,
                   "Read the settings below from FILE, a row \"name = value\" each (the "
                   "option's name without its dashes); options given here win")
      ->type_name("FILE");
  milterCmd
      ->add_option("--socket", milter.socket,
                   "Where the server connects: unix:PATH or inet:PORT@HOST (required)")
      ->type_name("SOCKET");
  milterCmd->add_option("--pid-file", milter.pidFile, "Write the process number here")
      ->type_name("FILE");
  milterCmd->add_option("--user", milter.user, "Started as root: run as this user")
      ->type_name("USER");
  milterCmd->add_option("--socket-mode", milter.socketMode, "The unix socket's mode (0660)")
      ->check([](const std::string& mode) {
        return !mode.empty() && mode.size() <= 4 &&
                       mode.find_first_not_of("01234567") == std::string::npos
                   ? std::string()
                   : std::string("an octal mode such as 0660");
      })
      ->type_name("MODE");
  milterCmd
      ->add_option("--touch", milter.touch,
                   "Which mail is rebuilt: outgoing (an authenticated sender, or a submission "
                   "daemon) or all")
      ->check(CLI::IsMember({"outgoing", "all"}))
      ->default_val("outgoing");
  milterCmd
      ->add_option("--submission-daemon", milter.submissionDaemons,
                   "The server's {daemon_name} of its submission service, whose mail leaves "
                   "(Postfix: -o milter_macro_daemon_name=ORIGINATING)")
      ->default_val(std::vector<std::string>{"ORIGINATING"})
      ->type_name("NAME");
  milterCmd
      ->add_option("--signature-filename", milter.signatureFilename,
                   "Pictures whose file name contains this stay inline")
      ->default_val("email-signature");
  milterCmd->add_option("--enabled", milter.enabled, "false: every message passes unchanged")
      ->default_val(true);
  milterCmd
      ->add_option("--size-limit", milter.sizeLimit,
                   "Larger messages pass unchanged, never held in memory whole (bytes, or with "
                   "KB, MB)")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("50MB")
      ->type_name("SIZE");
  milterCmd
      ->add_option("--keep-inline-below", milter.keepInlineBelow,
                   "Keep pictures smaller than SIZE inline, as rewrite does")
      ->transform(CLI::AsSizeValue(false))
      ->type_name("SIZE");
  milterCmd
      ->add_option("--timeout", milter.timeout,
                   "Seconds the rebuild of one message may take; later it passes unchanged")
      ->check(CLI::Range(1, 86400))
      ->default_val(60);
  milterCmd->add_flag("--syslog", milter.syslog,
                      "Log to the system log (mail facility) instead of standard error");

  // The first word that is no option names the subcommand: one that does not exist is named
  // back (the parser would only say that a subcommand is required).
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--defaults") {
      ++i;
      continue;
    }
    if (word.empty() || word[0] == '-') continue;
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->get_name() == word;
    if (!known) {
      complain("unknown subcommand '" + std::string(word) + "' (see stowlet --help)");
      return kExitUsage;
    }
    break;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  // The filter needs no stand-in Mail: its settings are its own, from its options and its
  // settings file (read by CLI11's own reader of such files).
  if (milterCmd->parsed()) {
    if (milterConfig) {
      try {
        for (const CLI::ConfigItem& item : CLI::ConfigINI().from_file(*milterConfig)) {
          CLI::Option* option = milterCmd->get_option_no_throw("--" + item.name);
          if (option == nullptr || item.name == "config" || !item.parents.empty()) {
            complain(*milterConfig + ": no setting " + item.fullname());
            return kExitConfig;
          }
          if (option->count() > 0) continue;  // the command line's
          option->add_result(item.inputs);
          option->run_callback();
        }
      } catch (const CLI::Error& e) {
        complain(*milterConfig + ": " + e.what());
        return kExitConfig;
      }
    }
    if (milter.socket.empty()) {
      complain("milter: --socket is required (or socket = ... in the settings file)");
      return kExitUsage;
    }
    return runMilter(milter);
  }

  QVMailSession mail;
  const bool quiet = rewriteCmd->parsed() && rewrite.quiet;
  const bool loadPlugin = !(composeCmd->parsed() && compose.withoutPlugin);
  if (const int code = mail.start(defaultsFlag, quiet, loadPlugin); code != kExitOk) return code;
  int status = kExitOk;
  try {
    if (rewriteCmd->parsed()) {
      status = runRewrite(mail, rewrite);
    } else if (composeCmd->parsed()) {
      status = runCompose(mail, compose);
    } else if (demoCmd->parsed()) {
      status = runDemo(mail);
    } else if (viewCmd->parsed()) {
      status = runView(mail, viewInput);
    } else if (menuCmd->parsed()) {
      status = runMenu(mail, pick);
    } else if (prefsCmd->parsed()) {
      status = runPrefs(mail, prefs);
    } else if (inspectCmd->parsed()) {
      status = runInspect(mail, inspectInput);
    }
  } catch (const qv::codec::QVMimeUnavailable& e) {
    // The stand-in Mail's coders and reader (the GMime module) cannot be loaded.
    complain(e.what());
    return kExitUnavailable;
  }
  const int saved = mail.finish();
  // Output that could not be written is a failure, whatever the command (a full disk, a
  // closed pipe).
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    complain(std::string("cannot write to standard output: ") +
             (standardOutputWasClosed() ? "it was closed when the command started"
                                        : std::strerror(errno)));
    if (status == kExitOk) status = kExitIo;
  }
  return status != kExitOk ? status : saved;
}

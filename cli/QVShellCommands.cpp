// stowlet demo, view, menu and prefs: the plug-in as a person meets it in Mail.

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "adapters/standin/QVGeneratorHook.h"
#include "cli/QVCommands.h"
#include "cli/QVFiles.h"
#include "cli/QVMailbox.h"
#include "standin/QVFoundation.h"
#include "standin/QVMessageViewer.h"
#include "standin/QVPreferencesWindow.h"

namespace qv::cli {

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& file) {
  QVInput in;
  if (QVInput::open(file.string(), in)) return {};
  return std::string(in.bytes());
}

void printLayout(const std::vector<mail::QVLaidOutAttachment>& laidOut) {
  if (laidOut.empty()) std::printf("  (no attachments)\n");
  for (const auto& a : laidOut) {
    const std::string name = a.attachment->filename.value_or("(no file name)");
    std::printf("  %-28s %-5s  %-6s  can be shown inline: %s\n", name.c_str(),
                a.inlineByDefault ? "true" : "false", a.inlineByDefault ? "inline" : "icon",
                a.canBeInline ? "yes" : "no");
  }
}

}  // namespace

int runDemo(QVMailSession& session) {
  // A demonstration: the sample's attachments count nothing of the user's, and the settings
  // file is left as it is.
  session.saved = true;
  mail::QVStandInMail& mail = *session.mail;
  const fs::path samples = session.host->defaultResources() / "samples";
  const std::string html = readText(samples / "compose.html");
  const std::string plain = readText(samples / "compose.txt");
  if (html.empty() || plain.empty()) {
    complain("the bundled sample is missing from " + samples.string());
    return kExitNoInput;
  }
  std::vector<QVObjectRef> list;
  struct File {
    const char* name;
    const char* type;
    const char* cid;
  };
  for (const File& f :
       {File{"photo.png", "image/png", "photo"}, File{"report.pdf", "application/pdf", "report"},
        File{"email-signature.png", "image/png", "signature"}}) {
    auto attachment = mail.makeAttachment(readText(samples / f.name));
    attachment->filename = f.name;
    attachment->mimeType = f.type;
    attachment->contentID = std::string("<") + f.cid + ">";
    list.push_back(attachment);
  }
  const QVObjectRef generator = mail.makeGenerator();
  auto generate = [&](auto selector) {
    QVObjectRef message = send(*generator, selector, mail.makeString(html), mail.makeString(plain),
                               mail.makeArray(list),
                               mail.makeHeaders({{"From", "Bob Example <bob@example.net>"},
                                                 {"To", "Ann Example <ann@example.org>"},
                                                 {"Subject", "The view from the office"}}));
    const QVObjectRef raw =
        message ? send(*message, mail::kValueForKey, std::string(mail::kRawDataKey)) : nullptr;
    return stringValue(raw).value_or(raw ? dynamic_cast<const QVData&>(*raw).bytes()
                                         : std::string());
  };
  // Mail's own method is reached by the replacement's selector once the plug-in is loaded.
  const std::string before = generate(kQVNewMessage);
  const std::string after = generate(mail::kNewMessage);
  std::fflush(stderr);
  std::printf("The sample: compose.html with photo.png, report.pdf and email-signature.png.\n\n");
  std::printf("What Mail alone sends:\n%s\n", mail::mimeTree(before).c_str());
  std::printf("What Mail with Stowlet sends:\n%s\n", mail::mimeTree(after).c_str());
  std::printf("How a recipient's Mail with Stowlet shows the attachments:\n");
  printLayout(mail::layOutAttachments(mail, after));
  return kExitOk;
}

int runView(QVMailSession& session, const std::string& input) {
  QVInput in;
  if (auto error = QVInput::open(input, in)) {
    complain("cannot read " + (input == "-" ? std::string("standard input") : input) + ": " +
             *error);
    return kExitNoInput;
  }
  // A mailbox: every message, each under its number.
  const std::vector<std::size_t> starts = in.messageStarts();
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : in.bytes().size();
    const QVMailboxMessage message = mailboxMessage(in.bytes(), starts[k], end);
    std::printf("%smessage %zu:\n", k > 0 ? "\n" : "", k + 1);
    printLayout(mail::layOutAttachments(*session.mail, message.message));
    in.release(end);
  }
  if (starts.empty()) printLayout(mail::layOutAttachments(*session.mail, in.bytes()));
  return kExitOk;
}

int runMenu(QVMailSession& session, bool pick) {
  auto menu = session.host->applicationMenu();
  if (!menu) {
    complain("Mail has no application menu");
    return kExitIo;
  }
  if (pick) {
    bool picked = false;
    for (std::size_t i = 0; i < menu->numberOfItems() && !picked; ++i) {
      auto item = menu->itemAtIndex(i);
      if (item->title() == "QV's Stowlet") picked = item->pick();
    }
    if (!picked) {
      complain("the menu has no item of the plug-in (its start-up did not get that far)");
      return kExitIo;
    }
  }
  std::printf("%s\n", menu->title().c_str());
  for (std::size_t i = 0; i < menu->numberOfItems(); ++i) {
    auto item = menu->itemAtIndex(i);
    if (item->isSeparator()) {
      std::printf("  ----------------\n");
      continue;
    }
    std::printf("  %s %s", item->state() == QVMenuItem::kOn ? "✓" : " ", item->title().c_str());
    if (!item->toolTip().empty()) std::printf("    (%s)", item->toolTip().c_str());
    std::printf("\n");
  }
  return kExitOk;
}

int runPrefs(QVMailSession& session, const QVPrefsOptions& options) {
  mail::QVMailHost& host = *session.host;
  if (options.yes) host.setAlertResponder([](const std::string&, const auto&) { return 0; });
  mail::QVPreferencesWindow window(host, host.defaultResources() / "QVPreferences.pane.plist");
  std::string error;
  if (!window.open(error)) {
    complain(error);
    return kExitIo;
  }
  for (const std::string& assignment : options.assignments) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos) {
      complain("--set takes NAME=VALUE, not \"" + assignment + "\"");
      return kExitUsage;
    }
    if (!window.set(assignment.substr(0, eq), assignment.substr(eq + 1), error)) {
      complain(error);
      return kExitUsage;
    }
  }
  const bool terminal = ::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0;
  if (!options.show && options.assignments.empty() && terminal) {
    session.defaults->setSavesEachChange(true);
    window.interact(std::cin, std::cout, [&session] { return session.defaults->lastSaveError(); });
    if (auto failed = session.defaults->lastSaveError()) {
      complain(*failed);
      return kExitIo;
    }
    return kExitOk;
  }
  std::printf("%s", window.draw().c_str());
  return kExitOk;
}

}  // namespace qv::cli

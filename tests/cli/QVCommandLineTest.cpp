// The stowlet command as a user meets it: exit codes, outputs, messages.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string shellQuoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class QVCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    // The binary under test: $STOWLET_BIN, else the one built beside these tests.
    const char* bin = std::getenv("STOWLET_BIN");
    bin_ = bin != nullptr ? bin : STOWLET_BUILT_BIN;
    dir_ = fs::temp_directory_path() /
           ("stowlet-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    defaults_ = dir_ / "defaults.plist";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs stowlet with the arguments, standard input from `input` when given.
  // Standard output to `output` when given (say, /dev/full), else to a file read back.
  Outcome run(const std::vector<std::string>& args, const std::optional<fs::path>& input = {},
              const std::optional<fs::path>& output = {}) {
    std::string command =
        "STOWLET_DEFAULTS=" + shellQuoted(defaults_.string()) + " " + shellQuoted(bin_);
    for (const auto& a : args) command += " " + shellQuoted(a);
    command += " <" + (input ? shellQuoted(input->string()) : std::string("/dev/null"));
    command += " >" + shellQuoted(output ? output->string() : (dir_ / "stdout").string()) + " 2>" +
               shellQuoted((dir_ / "stderr").string());
    const int status = std::system(command.c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = test::readFile(dir_ / "stdout");
    r.err = test::readFile(dir_ / "stderr");
    return r;
  }

  fs::path write(const std::string& name, const std::string& bytes) {
    const fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  std::string bin_;
  fs::path dir_;
  fs::path defaults_;
};

const std::string kMessage =
    "Subject: Report\nContent-Type: multipart/alternative;\n\tboundary=\"TOP\"\n\n--TOP\n"
    "Content-Type: text/plain\n\nHello.\n--TOP\nContent-Disposition: inline;\n"
    "\tfilename=photo.jpg\nContent-Type: image/jpeg\nContent-Id: <p1>\n\n/9j/4AAQ\n--TOP--\n";
const std::string kPlainMessage = "Subject: hi\nContent-Type: text/plain\n\nJust text.\n";

TEST_F(QVCommandLine, RewritesToStandardOutputAndCounts) {
  const Outcome r = run({"rewrite", write("m.eml", kMessage).string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::parseMime(r.out).tree, "mixed[alternative[plain],jpeg]");
  EXPECT_NE(r.err.find("QVMailPlugin - Boundary1::("), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("QVMailPlugin - Boundary2::("), std::string::npos) << r.err;
  const std::string saved = test::readFile(defaults_);
  EXPECT_NE(saved.find("<key>QVStowletCount</key>\n\t<integer>1</integer>"), std::string::npos)
      << saved;
  EXPECT_NE(saved.find("QVStowletSignatureFilename"), std::string::npos);
  // A picture smaller than --keep-inline-below stays beside the text (its 8 bytes: not 8).
  for (const auto& [size, tree] : {std::pair{"9", "mixed[related[alternative[plain],jpeg]]"},
                                   std::pair{"8", "mixed[alternative[plain],jpeg]"}}) {
    const Outcome kept =
        run({"rewrite", "-q", "--keep-inline-below", size, write("m.eml", kMessage).string()});
    EXPECT_EQ(test::parseMime(kept.out).tree, tree) << size;
  }
}

TEST_F(QVCommandLine, StandardInputAndQuiet) {
  const Outcome r = run({"rewrite", "-q"}, write("m.eml", kMessage));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::parseMime(r.out).tree.rfind("mixed[", 0), 0u);
}

TEST_F(QVCommandLine, UnchangedMessageIsWrittenAsItIsWithTheReason) {
  const Outcome r = run({"rewrite", write("plain.eml", kPlainMessage).string()});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, kPlainMessage);
  EXPECT_NE(r.err.find("unchanged: not multipart"), std::string::npos) << r.err;
}

TEST_F(QVCommandLine, OutputFileInPlaceAndBatch) {
  const fs::path a = write("in/a.eml", kMessage);
  const fs::path b = write("in/b.eml", kPlainMessage);
  // One file to a named output.
  Outcome r = run({"rewrite", a.string(), "-o", (dir_ / "out.eml").string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::parseMime(test::readFile(dir_ / "out.eml")).tree.rfind("mixed[", 0), 0u);
  // Several into a folder, names kept, with a summary.
  fs::create_directories(dir_ / "outdir");
  r = run({"rewrite", a.string(), b.string(), "-o", (dir_ / "outdir").string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir_ / "outdir" / "a.eml"));
  EXPECT_EQ(test::readFile(dir_ / "outdir" / "b.eml"), kPlainMessage);
  EXPECT_NE(r.err.find("stowlet: 2 messages, 1 rebuilt (1 attachment), 1 unchanged (1 not "
                       "multipart)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("b.eml: unchanged: not multipart"), std::string::npos) << r.err;
  // A mailbox of one message: named alone, and no summary for one message.
  r = run({"rewrite",
           write("one.mbox", "From a@b Thu Jan  1 00:00:00 2026\n" + kPlainMessage).string(), "-o",
           (dir_ / "one.out").string()});
  EXPECT_NE(r.err.find("one.mbox: unchanged: not multipart"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("message 1"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("stowlet: "), std::string::npos) << r.err;
  // In place.
  r = run({"rewrite", "-i", a.string(), b.string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::parseMime(test::readFile(a)).tree.rfind("mixed[", 0), 0u);
  EXPECT_EQ(test::readFile(b), kPlainMessage);
  std::size_t leftovers = 0;
  for (const auto& e : fs::directory_iterator(dir_ / "in"))
    leftovers += e.path().filename().string()[0] == '.';
  EXPECT_EQ(leftovers, 0u) << "no temporary file is left behind";
}

// Long stretches of a file go out by the kernel's copy, whose way depends on where the
// output goes: a file, a file opened for appending, a pipe. Every way writes the same
// message; so does standard input read from its middle (no mapping, no kernel copy).
TEST_F(QVCommandLine, EveryOutputRouteWritesTheSameMessage) {
  std::string pdf;
  for (int i = 0; pdf.size() < 300000; ++i) {
    pdf += "JVBERi0xLjQKJcOkw7zDtsOfCjIgMCBvYmoKPDwvTGVuZ3RoIDMgMCBSL0ZpbHRlci9GbGF0ZURlY29k" +
           std::to_string(i % 10) + "\n";
  }
  const std::string first = "X-First: read by the shell before stowlet starts\n";
  const std::string message =
      "Subject: Report\nContent-Type: multipart/alternative;\n\tboundary=\"TOP\"\n\n--TOP\n"
      "Content-Type: text/plain\n\nHello.\n--TOP\nContent-Disposition: inline;\n"
      "\tfilename=report.pdf\nContent-Type: application/pdf\nContent-Id: <r1>\n"
      "Content-Transfer-Encoding: base64\n\n" +
      pdf + "--TOP--\n";
  const fs::path in = write("m.eml", message);
  const fs::path withFirst = write("first.eml", first + message);
  const std::string env = "STOWLET_DEFAULTS=" + shellQuoted(defaults_.string()) + " ";
  const std::string bin = shellQuoted(bin_) + " rewrite -q ";
  const auto out = [&](const char* name) { return shellQuoted((dir_ / name).string()); };
  const std::vector<std::string> routes = {
      env + bin + shellQuoted(in.string()) + " -o " + out("file.eml"),
      env + bin + shellQuoted(in.string()) + " > " + out("stdout.eml"),
      env + bin + shellQuoted(in.string()) + " -o - > " + out("dash.eml"),
      "echo old > " + out("append.eml") + " && " + env + bin + shellQuoted(in.string()) + " >> " +
          out("append.eml"),
      env + bin + shellQuoted(in.string()) + " | cat > " + out("pipe.eml"),
      "{ read -r line; " + env + bin + "; } < " + shellQuoted(withFirst.string()) + " > " +
          out("middle.eml"),
  };
  for (const std::string& command : routes) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  const test::QVMimeView expected = test::parseMime(test::readFile(dir_ / "file.eml"));
  ASSERT_EQ(expected.tree, "mixed[alternative[plain],pdf]");
  ASSERT_EQ(expected.leaves.size(), 2u);
  EXPECT_EQ(expected.leaves[1].body.size(), pdf.size() - 1);
  for (const char* name : {"stdout.eml", "dash.eml", "pipe.eml", "middle.eml"}) {
    const std::string bytes = test::readFile(dir_ / name);
    EXPECT_EQ(bytes.size(), test::readFile(dir_ / "file.eml").size()) << name;
    const test::QVMimeView view = test::parseMime(bytes);
    EXPECT_EQ(view.tree, expected.tree) << name;
    ASSERT_EQ(view.leaves.size(), expected.leaves.size()) << name;
    for (std::size_t i = 0; i < view.leaves.size(); ++i) {
      EXPECT_EQ(view.leaves[i].body, expected.leaves[i].body) << name;
    }
  }
  const std::string appended = test::readFile(dir_ / "append.eml");
  ASSERT_EQ(appended.rfind("old\n", 0), 0u);
  EXPECT_EQ(test::parseMime(appended.substr(4)).leaves.size(), 2u);
  EXPECT_EQ(appended.size() - 4, test::readFile(dir_ / "file.eml").size());
}

TEST_F(QVCommandLine, ExitCodesFollowSysexits) {
  const std::string m = write("m.eml", kMessage).string();
  struct Row {
    const char* what;
    std::vector<std::string> args;
    int code;
    bool toFullDisk = false;  // standard output to /dev/full
  };
  const std::string html = (dir_ / "m.html").string();
  std::ofstream(html) << "<p>hi</p>";
  const std::vector<Row> table = {
      {"no subcommand", {}, 64},
      {"unknown subcommand", {"frobnicate", m}, 64},
      {"-o with no name", {"rewrite", m, "-o", ""}, 64},
      {"a header value holding a line feed",
       {"compose", "--plain", html, "--html", html, "--header", "Subject: a\nBcc: x@example.org"},
       64},
      {"a header value holding a carriage return",
       {"compose", "--plain", html, "--html", html, "--header", "Subject: a\rb"},
       64},
      {"rewrite onto a full disk", {"rewrite", m}, 74, true},
      {"view onto a full disk", {"view", m}, 74, true},
      {"inspect onto a full disk", {"inspect", m}, 74, true},
      {"menu onto a full disk", {"menu"}, 74, true},
      {"prefs onto a full disk", {"prefs", "--show"}, 74, true},
      {"demo onto a full disk", {"demo"}, 74, true},
      {"unknown option", {"rewrite", "--frobnicate", m}, 64},
      {"several files without -o", {"rewrite", m, m}, 64},
      {"-i with -o", {"rewrite", "-i", m, "-o", (dir_ / "x").string()}, 64},
      {"-i on standard input", {"rewrite", "-i", "-"}, 64},
      {"several files into a file", {"rewrite", m, write("n.eml", kMessage).string(), "-o", m}, 64},
      {"missing input", {"rewrite", (dir_ / "missing.eml").string()}, 66},
      {"a folder as input", {"rewrite", dir_.string()}, 66},
      {"output in a missing folder",
       {"rewrite", m, "-o", (dir_ / "no" / "such" / "o.eml").string()},
       73},
      {"help", {"--help"}, 0},
      {"version", {"--version"}, 0},
      {"milter without a socket", {"milter"}, 64},
      {"milter with a missing settings file", {"milter", "--config", (dir_ / "none").string()}, 78},
      {"milter with an unknown setting",
       {"milter", "--config", write("bad.conf", "frobnicate = 1\n").string()},
       78},
  };
  for (const Row& row : table) {
    const Outcome r =
        run(row.args, {}, row.toFullDisk ? std::optional<fs::path>("/dev/full") : std::nullopt);
    EXPECT_EQ(r.code, row.code) << row.what << "\n" << r.err;
    if (row.code != 0) {
      EXPECT_NE(r.err, "") << row.what << ": a failure says what failed";
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "no"));
  EXPECT_EQ(test::readFile(m), kMessage);
  EXPECT_NE(run({"--help"}).out.find("rewrite"), std::string::npos);
  EXPECT_NE(run({"--version"}).out.find("stowlet "), std::string::npos);
}

TEST_F(QVCommandLine, BrokenSettingsFileStopsWithConfigurationError) {
  std::ofstream(defaults_) << "this is not a property list";
  const Outcome r = run({"rewrite", write("m.eml", kMessage).string()});
  EXPECT_EQ(r.code, 78);
  EXPECT_NE(r.err.find(defaults_.string()), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(test::readFile(defaults_), "this is not a property list");

  // One that can be read but not saved costs nothing of the output: a warning, exit 0.
  fs::remove(defaults_);
  fs::create_directories(defaults_.string() + ".lock");  // its lock cannot be taken
  const Outcome w =
      run({"rewrite", write("m.eml", kMessage).string(), "-o", (dir_ / "o.eml").string()});
  EXPECT_EQ(w.code, 0) << w.err;
  EXPECT_NE(
      w.err.find("warning: the output is written, but the counter and settings were not saved"),
      std::string::npos)
      << w.err;
  EXPECT_EQ(test::parseMime(test::readFile(dir_ / "o.eml")).tree.rfind("mixed[", 0), 0u);
}

// The files a user hands the command are kept as they are: links followed, never replaced;
// FIFOs and devices never turned into files; owner, group, mode, attributes and hard links
// kept or the rewrite refused; new files as the umask says; no temporary file left behind.
TEST_F(QVCommandLine, FilesStayWhatTheyAre) {
  const std::string m = write("m.eml", kMessage).string();
  // The fresh boundaries differ from run to run: the results are compared without them.
  const auto same = [](const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
      std::size_t n = 0;
      while (i + n < text.size() && std::isalnum(static_cast<unsigned char>(text[i + n]))) ++n;
      if (n == 0) {
        out.push_back(text[i++]);
        continue;
      }
      out.append(n == 28 ? std::string("B") : text.substr(i, n));  // a fresh boundary
      i += n;
    }
    return out;
  };
  const std::string rebuilt = same(run({"rewrite", m}).out);
  ASSERT_NE(rebuilt, kMessage);
  const auto lstatOf = [](const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
  };
  const bool root = ::geteuid() == 0;
  using Check = std::function<void(const fs::path&)>;
  const Check linkKept = [&](const fs::path& d) {
    EXPECT_TRUE(S_ISLNK(lstatOf(d / "L").st_mode));
    EXPECT_EQ(same(test::readFile(d / "F")), rebuilt);
  };
  const Check fifoKept = [&](const fs::path& d) {
    EXPECT_TRUE(S_ISFIFO(lstatOf(d / "FIFO").st_mode));
  };
  const Check untouched = [&](const fs::path& d) { EXPECT_EQ(test::readFile(d / "F"), kMessage); };
  const Check metadataKept = [&](const fs::path& d) {
    const struct stat after = lstatOf(d / "F");
    EXPECT_EQ(after.st_mode & 07777, 02640u);
    EXPECT_EQ(after.st_uid, root ? 65534u : ::geteuid());
    char value[8] = {};
    EXPECT_EQ(::getxattr((d / "F").c_str(), "user.origin", value, sizeof value), 4);
    EXPECT_EQ(same(test::readFile(d / "F")), rebuilt);
  };
  struct Row {
    const char* what;
    std::string setUp;  // shell commands in the case's folder, holding M (the message)
    std::string args;   // after "rewrite -q", in the case's folder
    int code;           // 128 + N: ended by signal N
    Check check;
    bool asUser = false;     // as the plain user nobody
    bool rootOnly = false;   // its set-up needs root
    bool quiet = true;       // -q
    std::string limit = {};  // shell commands run just before, in its shell (ulimit)
  };
  const std::string chownNobody = root ? " && chown 65534:65534 F" : "";
  const std::string kFrom = "From a@b Thu Jan  1 00:00:00 2026\n";
  const std::string kMbox = "{ printf '" + kFrom + "'; cat M; } > F";
  // Appends a second message under an fcntl lock held for half a second.
  const std::string kDelivery =
      "{ python3 -c 'import fcntl, time\nf = open(\"F\", \"r+\")\nfcntl.lockf(f, "
      "fcntl.LOCK_EX)\nopen(\"locked\", \"w\").close()\ntime.sleep(0.5)\nf.seek(0, 2)\n"
      "f.write(\"\\n" +
      kFrom.substr(0, kFrom.size() - 1) +
      "\\n\" + open(\"M\").read())' & } "
      "&& while [ ! -e locked ]; do sleep 0.01; done && rm locked";
  // A mailbox of many messages (a rewrite that takes a moment), and what it becomes.
  std::string many, manyRebuilt;
  for (int i = 0; i < 3000; ++i) {
    many += kFrom + kMessage + "\n";
    manyRebuilt += same(kFrom) + rebuilt + "\n\n";
  }
  std::ofstream(dir_ / "many") << many;
  const std::string kMany = "cp " + shellQuoted((dir_ / "many").string()) + " F";
  const std::string kDelivered = "From x@y Thu Jan  1 00:00:00 2026\nSubject: delivered\n\nhi\n";
  const std::string kAppend =
      "f.seek(0, 2)\nf.write(\"\\nFrom x@y Thu Jan  1 00:00:00 2026"
      "\\nSubject: delivered\\n\\nhi\\n\")\nf.close()\n";
  // A delivery that opens the mailbox first and then waits for its fcntl lock, taking the
  // lock file after it (an order mail programs use): it appends to the file it opened.
  const std::string kWaitingDelivery =
      "{ python3 -c 'import fcntl, os, time\nf = open(\"F\", \"r+\")\nopen(\"opened\", "
      "\"w\").close()\nend = time.time() + 5\nwhile not os.path.exists(\"F.lock\") and "
      "time.time() < end: time.sleep(0.001)\nfcntl.lockf(f, fcntl.LOCK_EX)\nwhile True:\n  "
      "try: os.close(os.open(\"F.lock\", os.O_CREAT | os.O_EXCL)); break\n  except "
      "FileExistsError: time.sleep(0.01)\n" +
      kAppend + "os.remove(\"F.lock\")\nos.rename(\"opened\", \"delivered\")' & } " +
      "&& while [ ! -e opened ]; do sleep 0.01; done";
  // One that takes the lock file first, then the fcntl lock, and holds both a moment.
  const std::string kDotlockDelivery =
      "{ python3 -c 'import fcntl, os, time\nos.close(os.open(\"F.lock\", os.O_CREAT | "
      "os.O_EXCL))\nf = open(\"F\", \"r+\")\nfcntl.lockf(f, fcntl.LOCK_EX)\nopen(\"locked\", "
      "\"w\").close()\ntime.sleep(0.5)\n" +
      kAppend + "os.remove(\"F.lock\")' & } " +
      "&& while [ ! -e locked ]; do sleep 0.01; done && rm locked";
  // Long texts compared by their first difference (a diff of them would take gigabytes).
  const auto equal = [](const std::string& a, const std::string& b) {
    if (a == b) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    return ::testing::AssertionFailure()
           << "they differ at byte " << at << " of " << a.size() << " and " << b.size() << ": \""
           << a.substr(at, 40) << "\" against \"" << b.substr(at, 40) << "\"";
  };
  const auto delivered = [&](const fs::path& d) {
    for (int wait = 0; wait < 500 && !fs::exists(d / "delivered"); ++wait) ::usleep(10000);
    EXPECT_TRUE(equal(same(test::readFile(d / "F")), manyRebuilt + "\n" + same(kDelivered)));
  };
  const std::string kMaildirFile = "md/cur/1.M1P1.h,S=999,W=1010:2,S";
  const std::vector<Row> table = {
      {"-o onto a symbolic link", "ln -s F L", "-o L M", 0, linkKept},
      {"-i on a symbolic link", "cp M F && ln -s F L", "-i L", 0, linkKept},
      {"-i on a FIFO", "mkfifo FIFO", "-i FIFO", 64, fifoKept},
      {"-o onto a FIFO", "mkfifo FIFO && { cat FIFO > F & }", "-o FIFO M", 0,
       [&](const fs::path& d) {
         fifoKept(d);
         for (int wait = 0; wait < 250 && same(test::readFile(d / "F")) != rebuilt; ++wait) {
           ::usleep(20000);  // its reader, still copying
         }
         EXPECT_EQ(same(test::readFile(d / "F")), rebuilt);
       }},
      {"-o /dev/stdout appended to a file", "echo old > F", "-o /dev/stdout M >> F", 0,
       [&](const fs::path& d) { EXPECT_EQ(same(test::readFile(d / "F")), "old\n" + rebuilt); }},
      {"-o onto a device", "", "-o /dev/null M", 0,
       [&](const fs::path&) { EXPECT_TRUE(S_ISCHR(lstatOf("/dev/null").st_mode)); }},
      {"-i on a file with two hard links", "cp M F && ln F L", "-i F", 73,
       [&](const fs::path& d) {
         EXPECT_EQ(lstatOf(d / "F").st_nlink, 2u);
         untouched(d);
       }},
      {"-i keeps owner, group, mode and attributes",
       "cp M F && chmod 2640 F && setxattr F" + chownNobody, "-i F", 0, metadataKept},
      {"a new file honours the umask", "umask 077", "-o NEW M", 0,
       [&](const fs::path& d) { EXPECT_EQ(lstatOf(d / "NEW").st_mode & 0777, 0600u); }},
      {"-i by a user on someone else's file", "cp M F && chmod 666 F", "-i F", 74, untouched, true},
      // A mailbox in place is locked as mail programs lock it: a stale lock file is taken
      // over, and a delivery that holds the mailbox is waited for, its message kept.
      // (A mailbox read since its last change reads as one without new mail after the
      // rewrite too.)
      {"-i on a mailbox with a stale lock file",
       kMbox + " && touch -d '-10 min' F.lock && touch -m -d '-1 hour' F", "-i F", 0,
       [&](const fs::path& d) {
         EXPECT_FALSE(fs::exists(d / "F.lock"));
         const struct stat st = lstatOf(d / "F");
         EXPECT_GE(st.st_atim.tv_sec, st.st_mtim.tv_sec);
         EXPECT_EQ(same(test::readFile(d / "F")), same(kFrom) + rebuilt + "\n");
       }},
      {"-i on a mailbox while a delivery holds it", kMbox + " && " + kDelivery, "-i F", 0,
       [&](const fs::path& d) {
         EXPECT_EQ(same(test::readFile(d / "F")),
                   same(kFrom) + rebuilt + "\n\n" + same(kFrom) + rebuilt + "\n");
       }},
      // A mailbox is rewritten inside its own file: a delivery that opened it before and
      // waits for its lock appends to the mailbox, not to a file renamed away.
      {"-i on a mailbox while a delivery waits for its fcntl lock",
       kMany + " && " + kWaitingDelivery, "-i F", 0, delivered},
      {"-i on a mailbox whose lock file a delivery took first", kMany + " && " + kDotlockDelivery,
       "-i F", 0,
       [&](const fs::path& d) {
         EXPECT_TRUE(equal(same(test::readFile(d / "F")), manyRebuilt + "\n" + same(kDelivered)));
       }},
      {"-i on a mailbox with standard error closed", kMbox, "-i F 2>&-", 0,
       [&](const fs::path& d) {
         EXPECT_EQ(same(test::readFile(d / "F")), same(kFrom) + rebuilt + "\n");
       },
       false, false, /*quiet=*/false},
      {"-i on a mailbox whose lock file's process is gone",
       kMbox + " && bash -c 'echo $$' > F.lock", "-i F", 0,
       [&](const fs::path& d) {
         EXPECT_FALSE(fs::exists(d / "F.lock"));
         EXPECT_EQ(same(test::readFile(d / "F")), same(kFrom) + rebuilt + "\n");
       }},
      {"-i on a mailbox whose stale lock file cannot be removed",
       kMbox + " && chmod 666 F && chmod 1777 . && echo 999999 > F.lock && touch -d '-10 min' "
               "F.lock",
       "--lock-timeout 1 -i F", 75,
       [&](const fs::path& d) {
         EXPECT_EQ(test::readFile(d / "F"), kFrom + kMessage);
         EXPECT_TRUE(fs::exists(d / "F.lock"));
       },
       true},
      {"-i on a user's own mailbox in a sticky spool",
       kMbox + " && chown 65534:65534 F && chmod 600 F && chmod 1777 .", "-i F", 0,
       [&](const fs::path& d) {
         EXPECT_EQ(lstatOf(d / "F").st_uid, 65534u);
         EXPECT_EQ(same(test::readFile(d / "F")), same(kFrom) + rebuilt + "\n");
       },
       true},
      {"-i on a mailbox with two hard links keeps both", kMbox + " && ln F L", "-i F", 0,
       [&](const fs::path& d) {
         EXPECT_EQ(lstatOf(d / "F").st_nlink, 2u);
         EXPECT_EQ(same(test::readFile(d / "L")), same(kFrom) + rebuilt + "\n");
       }},
      {"-i on a mailbox beside a copy an interrupted rewrite left",
       kMbox + " && echo partial > F.stowlet-original", "-i F", 73,
       [&](const fs::path& d) {
         EXPECT_EQ(test::readFile(d / "F"), kFrom + kMessage);
         EXPECT_EQ(test::readFile(d / "F.stowlet-original"), "partial\n");
       }},
      {"-i on a mailbox that needs no change beside such a copy",
       kMbox + " && " + shellQuoted(bin_) + " --defaults D rewrite -q -o G F && mv G F" +
           " && rm -f D D.lock && cp F G && echo partial > F.stowlet-original",
       "-i F", 73,
       [&](const fs::path& d) {
         EXPECT_EQ(test::readFile(d / "F"), test::readFile(d / "G"));
         EXPECT_EQ(test::readFile(d / "F.stowlet-original"), "partial\n");
       }},
      // A write that fails half-way (the file size limit) puts the mailbox back as it was.
      {"-i on a mailbox that outgrows the file size limit", kMany, "-i F", 74,
       [&](const fs::path& d) {
         EXPECT_TRUE(equal(test::readFile(d / "F"), many));
         EXPECT_FALSE(fs::exists(d / "F.stowlet-original"));
         EXPECT_FALSE(fs::exists(d / "F.lock"));
       },
       false, false, true, "ulimit -f " + std::to_string(many.size() / 1024 + 8) + "; "},
      // A mailbox's messages rebuilt side by side are written, and told of, in their order.
      {"-i on a mailbox of many messages on three threads", kMany, "-i -j3 F", 0,
       [&](const fs::path& d) { EXPECT_TRUE(equal(same(test::readFile(d / "F")), manyRebuilt)); }},
      {"-v on a mailbox of many messages on three threads", kMany, "-v -j3 -o G F 2> E", 0,
       [&](const fs::path& d) {
         EXPECT_TRUE(equal(same(test::readFile(d / "G")), manyRebuilt));
         std::istringstream said(test::readFile(d / "E"));
         std::size_t k = 0;
         for (std::string line; std::getline(said, line);) {
           if (line.rfind("F: message ", 0) != 0) continue;
           EXPECT_EQ(line, "F: message " + std::to_string(++k) + ": rebuilt (1 attachment)");
         }
         EXPECT_EQ(k, 3000u);
       },
       false, false, false},
      // A second TERM ends a batch at once (here while it waits for G, which another program
      // holds for a second): its lock files go with it.
      {"a batch -i ended by two TERM signals",
       kMbox + " && cp F G && { python3 -c 'import fcntl, time\nf = open(\"G\", \"r+\")\n"
               "fcntl.lockf(f, fcntl.LOCK_EX)\nopen(\"locked\", \"w\").close()\n"
               "time.sleep(1)' & } && while [ ! -e locked ]; do sleep 0.01; done && rm locked",
       "-i F G & sleep 0.3; kill -TERM $!; sleep 0.05; kill -TERM $!; wait $!", 128 + 15,
       [&](const fs::path& d) {
         EXPECT_EQ(same(test::readFile(d / "F")), same(kFrom) + rebuilt + "\n");
         EXPECT_EQ(test::readFile(d / "G"), kFrom + kMessage);
         EXPECT_FALSE(fs::exists(d / "F.lock"));
         EXPECT_FALSE(fs::exists(d / "G.lock"));
       }},
      // A Maildir's file is one message, never locked as a mailbox; its name gets its new
      // size; a link inside the Maildir is not followed.
      {"-i on a Maildir",
       "mkdir -p md/cur md/new && { printf '" + kFrom + "'; cat M; } > '" + kMaildirFile +
           "' && echo secret > V && ln -s ../../V md/cur/link",
       "-i md", 0,
       [&](const fs::path& d) {
         std::vector<std::string> names;
         for (const auto& e : fs::directory_iterator(d / "md" / "cur"))
           names.push_back(e.path().filename().string());
         std::sort(names.begin(), names.end());
         ASSERT_EQ(names.size(), 2u);
         const std::string rewritten = test::readFile(d / "md" / "cur" / names[0]);
         const auto lines =
             static_cast<std::size_t>(std::count(rewritten.begin(), rewritten.end(), '\n'));
         EXPECT_EQ(names[0], "1.M1P1.h,S=" + std::to_string(rewritten.size()) +
                                 ",W=" + std::to_string(rewritten.size() + lines) + ":2,S");
         EXPECT_EQ(same(rewritten), same(kFrom) + rebuilt);
         EXPECT_EQ(names[1], "link");
         EXPECT_EQ(test::readFile(d / "V"), "secret\n");
       }},
      // The system's protection for links in shared sticky folders holds for a rewrite too.
      {"-o onto another user's link in a sticky folder anyone may write to",
       "mkdir -m 1777 s && echo secret > V && ln -s ../V s/L && chown -h 65534:65534 s/L",
       "-o s/L M", 73, [&](const fs::path& d) { EXPECT_EQ(test::readFile(d / "V"), "secret\n"); },
       false, true},
  };
  for (const Row& row : table) {
    if ((row.asUser || row.rootOnly) && !root) continue;
    SCOPED_TRACE(row.what);
    const fs::path d = dir_ / "case";
    fs::remove_all(d);
    fs::create_directories(d);
    fs::permissions(d, fs::perms::all);
    fs::copy_file(m, d / "M");
    std::string setUp = row.setUp;
    const bool withAttribute = setUp.find(" && setxattr F") != std::string::npos;
    if (withAttribute) setUp.erase(setUp.find(" && setxattr F"), 14);
    const std::string umask = setUp == "umask 077" ? "umask 077; " : "";
    if (!setUp.empty() && umask.empty()) {
      ASSERT_EQ(std::system(("cd " + shellQuoted(d.string()) + " && " + setUp).c_str()), 0);
    }
    if (withAttribute) {
      ASSERT_EQ(::setxattr((d / "F").c_str(), "user.origin", "mail", 4, 0), 0);
    }
    std::set<std::string> before;
    for (const auto& entry : fs::directory_iterator(d)) before.insert(entry.path().filename());
    const std::string command =
        "cd " + shellQuoted(d.string()) + " && " + umask + row.limit +
        "{ STOWLET_DEFAULTS=" + shellQuoted(defaults_.string()) + " " +
        (row.asUser ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
        shellQuoted(bin_) + " rewrite " + (row.quiet ? "-q " : "") + row.args + "; } 2>" +
        shellQuoted((dir_ / "err").string());
    const int status = std::system(("bash -c " + shellQuoted(command)).c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.code)
        << test::readFile(dir_ / "err");
    if (row.code != 0 && row.code < 128) {
      EXPECT_NE(test::readFile(dir_ / "err"), "") << "a refusal says why";
    }
    row.check(d);
    for (const auto& entry : fs::directory_iterator(d)) {
      const std::string name = entry.path().filename();
      EXPECT_TRUE(name.find(".stowlet") == std::string::npos || before.count(name) > 0)
          << "a temporary file was left: " << entry.path();
    }
  }
}

// A file cut short and grown again while it is read, again and again: each run either
// rewrites it or reports it changed (74); no signal ever ends the process.
TEST_F(QVCommandLine, FileChangingWhileReadIsReportedNeverACrash) {
  std::string big = kMessage;
  big.insert(big.find("/9j/4AAQ"), std::string(8 << 20, 'A') + "\n");
  const fs::path whole = write("whole.eml", big);
  const fs::path f = write("f.eml", big);
  const std::string churn = "python3 -c 'import os, time\nd = open(\"" + whole.string() +
                            "\", \"rb\").read()\nend = time.time() + 3\nwhile time.time() < "
                            "end:\n  with open(\"" +
                            f.string() +
                            "\", \"r+b\") as f:\n    f.truncate(4096)\n    f.write(d)\n' & "
                            "echo $! > " +
                            (dir_ / "churn").string();
  ASSERT_EQ(std::system(("bash -c " + shellQuoted(churn)).c_str()), 0);
  for (int i = 0; i < 20; ++i) {
    fs::remove(dir_ / "out.eml");
    const Outcome r = run({"rewrite", "-q", f.string(), "-o", (dir_ / "out.eml").string()});
    ASSERT_TRUE(r.code == 0 || r.code == 74) << r.code << " " << r.err;
    if (r.code == 74) {
      EXPECT_NE(r.err.find("it was left as it is"), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(dir_ / "out.eml"));
    }
    // (An exit 0 rewrote the file as it stood still for the whole reading: the writer may
    // have been paused in the middle of its write.)
  }
  std::system(("kill $(cat " + (dir_ / "churn").string() + ") 2>/dev/null; sleep 0.1").c_str());
}

// A mailbox is rewritten message by message, each in its place with its separator row and
// the quoting of its body; a Maildir file by file. Nothing is lost of a thousand of each.
TEST_F(QVCommandLine, MailboxesRoundTripEveryMessage) {
  const auto message = [](int i) {
    return "Subject: m" + std::to_string(i) +
           "\nContent-Type: multipart/alternative; boundary=\"T\"\n\n--T\nContent-Type: "
           "text/plain\n\nline one\n>From the quoted body " +
           std::to_string(i) +
           "\n--T\nContent-Disposition: inline;\n\tfilename=a.pdf\nContent-Type: "
           "application/pdf\nContent-Transfer-Encoding: base64\n\n" +
           (i % 2 ? "SGVsbG8=" : "V29ybGQ=") + "\n--T--\n";
  };
  const std::string separator = "From sender@example.org Thu Jan  1 00:00:00 2026\n";
  std::string mbox;
  fs::create_directories(dir_ / "Maildir" / "cur");
  fs::create_directories(dir_ / "Maildir" / "new");
  for (int i = 0; i < 1000; ++i) {
    mbox += separator + message(i) + "\n";
    std::ofstream(dir_ / "Maildir" / (i % 3 ? "cur" : "new") / ("m" + std::to_string(i)))
        << message(i);
  }
  write("box.mbox", mbox);
  fs::create_directories(dir_ / "out");
  ASSERT_EQ(
      run({"rewrite", "-q", "-o", (dir_ / "out.mbox").string(), (dir_ / "box.mbox").string()}).code,
      0);
  ASSERT_EQ(run({"rewrite", "-q", "-o", (dir_ / "out").string(), (dir_ / "Maildir").string()}).code,
            0);

  // Each message of the result: the text up to the next separator after an empty row.
  const std::string out = test::readFile(dir_ / "out.mbox");
  std::vector<std::string> messages;
  for (std::size_t at = 0; at < out.size();) {
    EXPECT_EQ(out.compare(at, separator.size(), separator), 0);
    const std::size_t next = out.find("\n\nFrom ", at);
    const std::size_t end = next == std::string::npos ? out.size() : next + 2;
    messages.push_back(out.substr(at + separator.size(), end - at - separator.size()));
    at = end;
  }
  ASSERT_EQ(messages.size(), 1000u);
  const auto keptWhole = [&](const std::string& text, int i) {
    const test::QVMimeView view = test::parseMime(text);
    ASSERT_EQ(view.tree, "mixed[alternative[plain],pdf]") << i;
    EXPECT_EQ(view.leaves[0].decoded, "line one\n>From the quoted body " + std::to_string(i));
    EXPECT_EQ(view.leaves[1].decoded, i % 2 ? "Hello" : "World");
  };
  for (int i = 0; i < 1000; ++i) {
    keptWhole(messages[static_cast<std::size_t>(i)], i);
    keptWhole(test::readFile(dir_ / "out" / (i % 3 ? "cur" : "new") / ("m" + std::to_string(i))),
              i);
  }

  // Mailboxes that writers get wrong, each read as its messages, none of them lost; and
  // rewritten bodies whose rows keep the mailbox's quoting right.
  const auto rows = [](const std::string& text, std::string_view prefix) {
    std::size_t n = 0;
    for (const std::string& row : test::splitRows(text)) n += row.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  };
  // A message as a mailbox reader gets it: its separator row gone, its quoting undone.
  const auto asRead = [](const std::string& text) {
    std::string read;
    for (const std::string& row : test::splitRows(text.substr(text.find('\n') + 1))) {
      const std::size_t from = row.find_first_not_of('>');
      const bool quoted =
          from > 0 && from != std::string::npos && row.compare(from, 5, "From ") == 0;
      read += (quoted ? row.substr(1) : row) + "\n";
    }
    return test::parseMime(read);
  };
  const std::string mixedHeader =
      "Subject: pieces\nContent-Type: multipart/mixed; boundary=\"P\"\n\n";
  const std::string jpeg =
      "--P\nContent-Type: image/jpeg; name=a.jpg\nContent-Disposition: "
      "inline; filename=a.jpg\n\n/9j/4AAQ\n";
  std::string longRows;  // ">From " at every offset around where quoted-printable wraps
  for (int k = 60; k < 80; ++k)
    longRows += std::string(static_cast<std::size_t>(k), 'x') + ">From here\n";
  // A mailbox framed by Content-Length: a body that holds an unquoted "From " row after an
  // empty row, and a message whose counts must be set anew when it is rebuilt.
  const std::string framedBody =
      "Hello.\n\nFrom the office, a forwarded note:\nContent-Type: multipart/mixed; "
      "boundary=X\n\n--X\nContent-Type: text/plain\n\nhi\n--X\nContent-Type: image/png; "
      "name=a.png\nContent-Disposition: inline; filename=a.png\n\niVBORw0KGgo=\n--X--\n";
  const std::string framed = separator +
                             "Subject: one\nContent-Type: text/plain\nContent-Length: " +
                             std::to_string(framedBody.size()) + "\n\n" + framedBody + "\n";
  const std::string countedBody = kMessage.substr(kMessage.find("\n\n") + 2);
  const std::string counted =
      separator + "Content-Length: " + std::to_string(countedBody.size()) +
      "\nLines: " + std::to_string(std::count(countedBody.begin(), countedBody.end(), '\n')) +
      "\n" + kMessage;
  struct Case {
    const char* what;
    std::string mbox;
    std::function<void(const std::string& got, const std::string& err)> check;
  };
  const std::vector<Case> cases = {
      {"a mailbox framed by Content-Length", framed + counted,
       [&](const std::string& got, const std::string&) {
         ASSERT_EQ(got.compare(0, framed.size(), framed), 0) << got;
         const std::string second = got.substr(framed.size() + separator.size());
         const std::size_t bodyAt = second.find("\n\n") + 2;
         const std::string body = second.substr(bodyAt);
         EXPECT_NE(second.find("Content-Length: " + std::to_string(body.size()) + "\n"),
                   std::string::npos)
             << second;
         EXPECT_NE(
             second.find("Lines: " + std::to_string(std::count(body.begin(), body.end(), '\n'))),
             std::string::npos)
             << second;
         EXPECT_NE(second.find("multipart/mixed"), std::string::npos);
       }},
      {"no empty row between two messages", separator + kMessage + separator + kMessage,
       [&](const std::string& got, const std::string&) {
         EXPECT_EQ(rows(got, "From "), 2u);
         EXPECT_EQ(rows(got, "Content-Type: multipart/mixed"), 2u) << got;
       }},
      {"a body row \"From \" that its writer did not quote",
       separator + kMessage.substr(0, kMessage.find("Hello.")) + "Hello.\n\nFrom the office.\n" +
           kMessage.substr(kMessage.find("Hello.") + 7),
       [&](const std::string& got, const std::string& err) {
         EXPECT_EQ(got, separator + kMessage.substr(0, kMessage.find("Hello.")) +
                            "Hello.\n\nFrom the office.\n" +
                            kMessage.substr(kMessage.find("Hello.") + 7));
         EXPECT_NE(err.find("its multipart is not closed"), std::string::npos) << err;
       }},
      {"a quoted row in a body joined into base64",
       separator + mixedHeader + "--P\nContent-Type: text/plain; charset=utf-8\n\n" +
           "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\xd0\xb8\xd0\xba\n>From the office\n" +
           jpeg +
           "--P\nContent-Type: text/plain; "
           "charset=utf-8\n\n\xd0\x9f\xd0\xbe\xd0\xba\xd0\xb0\n--P--\n",
       [&](const std::string& got, const std::string&) {
         EXPECT_EQ(rows(got, ">From"), 0u) << got;
         const test::QVMimeView view = asRead(got);
         ASSERT_EQ(view.tree, "mixed[alternative[plain],jpeg]") << got;
         EXPECT_EQ(view.leaves[0].decoded,
                   "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\xd0\xb8\xd0\xba\nFrom the "
                   "office\n\xd0\x9f\xd0\xbe\xd0\xba\xd0\xb0");
       }},
      {"long rows joined into quoted-printable",
       separator + mixedHeader + "--P\nContent-Type: text/plain\n\n" + longRows + jpeg +
           "--P\nContent-Type: text/plain\n\nend\n--P--\n",
       [&](const std::string& got, const std::string&) {
         EXPECT_EQ(rows(got, ">From"), 0u) << got;
         EXPECT_EQ(rows(got, "From "), 1u) << got;
         const test::QVMimeView view = asRead(got);
         ASSERT_EQ(view.tree, "mixed[alternative[plain],jpeg]") << got;
         EXPECT_EQ(view.leaves[0].decoded, longRows + "end");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome r = run({"rewrite", write("case.mbox", c.mbox).string()});
    EXPECT_EQ(r.code, 0) << r.err;
    c.check(r.out, r.err);
  }
}

// Installed, the command finds its GMime module and its resources from where it stands,
// not from the build folder.
TEST_F(QVCommandLine, InstalledCommandFindsItsParts) {
  const fs::path prefix = dir_ / "prefix";
  const std::string install = "cmake --install " +
                              shellQuoted(fs::path(STOWLET_BUILT_BIN).parent_path().string()) +
                              " --prefix " + shellQuoted(prefix.string()) + " >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0);
  bin_ = (prefix / "bin" / "stowlet").string();
  const Outcome prefs = run({"prefs", "--show"});
  EXPECT_EQ(prefs.code, 0) << prefs.err;
  EXPECT_NE(prefs.out.find("icon: " + (prefix / "share" / "stowlet").string()), std::string::npos)
      << prefs.out;
  EXPECT_EQ(run({"demo"}).code, 0);
  // An image tag to take out of quoted-printable HTML: the GMime module's coders.
  const Outcome rewrite = run(
      {"rewrite",
       (fs::path(STOWLET_SOURCE_DIR) / "tests/golden/layouts/html-and-picture.in.eml").string()});
  EXPECT_EQ(rewrite.code, 0) << rewrite.err;
  EXPECT_EQ(rewrite.out.find("<img"), std::string::npos) << rewrite.out;

  // Without its GMime module, a batch stops where it needs the coders (exit 69) and counts
  // what it wrote before.
  fs::remove(prefix / "lib" / "stowlet" / "stowlet-gmime.so");
  defaults_ = dir_ / "stopped.plist";
  fs::create_directories(dir_ / "out");
  const Outcome stopped = run(
      {"rewrite", "-q", "-o", (dir_ / "out").string(), write("first.eml", kMessage).string(),
       (fs::path(STOWLET_SOURCE_DIR) / "tests/golden/layouts/html-and-picture.in.eml").string()});
  EXPECT_EQ(stopped.code, 69) << stopped.err;
  EXPECT_TRUE(fs::exists(dir_ / "out" / "first.eml"));
  EXPECT_NE(test::readFile(defaults_).find("<key>QVStowletCount</key>\n\t<integer>1</integer>"),
            std::string::npos);
}

// Many processes at once count every attachment once, and a preferences change made
// meanwhile outlives them.
TEST_F(QVCommandLine, ParallelRunsCountExactly) {
  fs::create_directories(dir_ / "in");
  fs::create_directories(dir_ / "out");
  const std::string twoFiles =
      "Content-Type: multipart/alternative; boundary=\"T\"\n\n--T\nContent-Type: text/plain\n\nhi\n"
      "--T\nContent-Disposition: inline;\n\tfilename=a.pdf\nContent-Type: application/pdf\n\nA\n"
      "--T\nContent-Disposition: inline;\n\tfilename=b.pdf\nContent-Type: application/pdf\n\nB\n"
      "--T--\n";
  std::string script = "set -e; ";
  for (int p = 0; p < 16; ++p) {
    std::string files;
    for (int i = p; i < 100; i += 16) {
      const fs::path f = dir_ / "in" / ("m" + std::to_string(i) + ".eml");
      std::ofstream(f) << twoFiles;
      files += " " + shellQuoted(f.string());
    }
    script += "STOWLET_DEFAULTS=" + shellQuoted(defaults_.string()) + " " + shellQuoted(bin_) +
              " rewrite -q -o " + shellQuoted((dir_ / "out").string()) + files + " & ";
  }
  // One more batch, stopped by SIGTERM in its middle: it counts what it wrote before it ends
  // (on a fast machine it may be done before the signal comes: it then counts them all).
  fs::create_directories(dir_ / "stopped");
  std::string stopped;
  for (int i = 0; i < 400; ++i) {
    const fs::path f = dir_ / "in" / ("s" + std::to_string(i) + ".eml");
    std::ofstream(f) << twoFiles;
    stopped += " " + shellQuoted(f.string());
  }
  script += "{ STOWLET_DEFAULTS=" + shellQuoted(defaults_.string()) + " " + shellQuoted(bin_) +
            " rewrite -q -o " + shellQuoted((dir_ / "stopped").string()) + stopped +
            " & sleep 0.05; kill -TERM $! 2>/dev/null || true; } ; ";
  script += "STOWLET_DEFAULTS=" + shellQuoted(defaults_.string()) + " " + shellQuoted(bin_) +
            " prefs --set enabled=false >/dev/null 2>&1 & wait";
  ASSERT_EQ(std::system(("bash -c " + shellQuoted(script)).c_str()), 0);
  const auto written = std::distance(fs::directory_iterator(dir_ / "stopped"), {});
  const std::string plist = test::readFile(defaults_);
  EXPECT_NE(plist.find("<key>QVStowletCount</key>\n\t<integer>" +
                       std::to_string(200 + 2 * written) + "</integer>"),
            std::string::npos)
      << plist << written << " written before the stop";
  EXPECT_NE(plist.find("<key>QVStowletEnabled</key>\n\t<false/>"), std::string::npos) << plist;
}

TEST_F(QVCommandLine, InspectListsEveryRecord) {
  const Outcome r = run({"inspect", write("m.eml", kMessage).string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("[0] header"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[1] plain text"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[2] attachment"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("cid=\"p1\" (row 12)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("result: rebuilt"), std::string::npos) << r.out;
  // What the parser tolerated, with its row.
  const fs::path folded =
      fs::path(STOWLET_SOURCE_DIR) / "tests/golden/layouts/folded-boundary-crlf.in.eml";
  const Outcome d = run({"inspect", folded.string()});
  EXPECT_NE(d.out.find("defect: row 3: folded value"), std::string::npos) << d.out;
  // A mailbox: every message under its number, the text after a closing row shown.
  const std::string from = "From a@b Thu Jan  1 00:00:00 2026\n";
  const Outcome box =
      run({"inspect", write("box", from + kMessage + "kept after\n\n" + from + kMessage).string()});
  EXPECT_NE(box.out.find("box: message 2: 16 rows, 3 records"), std::string::npos) << box.out;
  EXPECT_NE(box.out.find("epilogue: rows 16-16"), std::string::npos) << box.out;
}

// What a reader of a rewritten message must still find in it, by GMime's reading of both.
namespace corpus {

bool isBodyPiece(const test::QVMimeLeaf& leaf, const std::string& type) {
  return leaf.type == type && leaf.filename.empty() && leaf.disposition != "attachment";
}

// The text of the kind a reader prefers (HTML when there is any), its pieces in order.
std::string preferredText(const test::QVMimeView& view, std::string& type) {
  type = "text/html";
  bool any = false;
  for (const auto& leaf : view.leaves) any = any || isBodyPiece(leaf, type);
  if (!any) type = "text/plain";
  std::string text;
  for (const auto& leaf : view.leaves) {
    if (!isBodyPiece(leaf, type)) continue;
    if (type == "text/plain" && !text.empty() && text.back() != '\n') text += '\n';
    text += leaf.decoded;
  }
  return text;
}

std::size_t findImageTag(std::string_view html, std::size_t from) {
  for (std::size_t at = html.find('<', from); at != std::string_view::npos;
       at = html.find('<', at + 1)) {
    if (at + 4 <= html.size() && (html[at + 1] | 0x20) == 'i' && (html[at + 2] | 0x20) == 'm' &&
        (html[at + 3] | 0x20) == 'g') {
      return at;
    }
  }
  return std::string_view::npos;
}

// True when `after` is `before` with some image tags taken out, and nothing else changed.
// `before` is text and image tags in turn; the text between tags holds no tag, so each tag
// is either found in `after` where it stood or was taken out.
bool onlyImageTagsRemoved(std::string_view before, std::string_view after) {
  std::size_t i = 0, j = 0;
  for (;;) {
    const std::size_t tag = findImageTag(before, i);
    const std::string_view text =
        before.substr(i, tag == std::string_view::npos ? std::string_view::npos : tag - i);
    if (after.substr(j, text.size()) != text) return false;
    j += text.size();
    if (tag == std::string_view::npos) return j == after.size();
    const std::size_t end = before.find('>', tag);
    if (end == std::string_view::npos) return false;
    const std::string_view whole = before.substr(tag, end + 1 - tag);
    if (after.substr(j, whole.size()) == whole) j += whole.size();
    i = end + 1;
  }
}

std::vector<std::string> referencedIds(const std::string& html) {
  std::vector<std::string> ids;
  for (std::size_t at = html.find("cid:"); at != std::string::npos; at = html.find("cid:", at)) {
    at += 4;
    const std::size_t end = html.find_first_of("\"' >", at);
    ids.push_back(html.substr(at, end - at));
  }
  return ids;
}

bool hasContentId(const test::QVMimeView& view, const std::string& id) {
  for (const auto& leaf : view.leaves) {
    if (leaf.contentId == id) return true;
  }
  return false;
}

void expectReadsTheSame(const test::QVMimeView& before, const test::QVMimeView& after) {
  ASSERT_TRUE(after.parsed);
  // No part is empty that was not.
  auto empties = [](const test::QVMimeView& v) {
    return std::count_if(v.leaves.begin(), v.leaves.end(),
                         [](const auto& leaf) { return leaf.decoded.empty(); });
  };
  EXPECT_LE(empties(after), empties(before)) << before.tree << " -> " << after.tree;
  // Every file keeps its bytes.
  auto files = [](const test::QVMimeView& v) {
    std::vector<std::string> out;
    for (const auto& leaf : v.leaves) {
      if (leaf.type.rfind("text/", 0) != 0) out.push_back(leaf.decoded);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_TRUE(files(after) == files(before)) << before.tree << " -> " << after.tree;
  // The last alternative, the one readers show, holds the whole preferred text in order,
  // changed at most by the image tags taken out.
  std::string type;
  const std::string text = preferredText(before, type);
  const test::QVMimeLeaf* shown = nullptr;
  for (const auto& leaf : after.leaves) {
    if (leaf.parents.size() >= 11 &&
        leaf.parents.compare(leaf.parents.size() - 11, 11, "alternative") == 0 &&
        leaf.lastInParent) {
      shown = &leaf;
      break;
    }
  }
  ASSERT_NE(shown, nullptr) << after.tree;
  EXPECT_EQ(shown->type, type) << after.tree;
  EXPECT_TRUE(onlyImageTagsRemoved(text, shown->decoded)) << "before:\n"
                                                          << text << "\nafter:\n"
                                                          << shown->decoded;
  // A picture the HTML still refers to, and found before, is found after.
  if (type == "text/html") {
    for (const std::string& id : referencedIds(shown->decoded)) {
      if (hasContentId(before, id)) {
        EXPECT_TRUE(hasContentId(after, id)) << id;
      }
    }
  }
}

}  // namespace corpus

TEST_F(QVCommandLine, RealCorpusReadsTheSameRewritten) {
  const auto files = test::realCorpus();
  STOWLET_SKIP_WITHOUT_CORPUS(files);
  std::vector<std::string> args = {"rewrite", "-q", "-o", (dir_ / "out").string()};
  fs::create_directories(dir_ / "out");
  for (const auto& f : files) args.push_back(f.string());
  const Outcome r = run(args);
  EXPECT_EQ(r.code, 0) << r.err;
  std::size_t rewritten = 0;
  for (const auto& f : files) {
    SCOPED_TRACE(f.filename().string());
    const std::string out = test::readFile(dir_ / "out" / f.filename());
    const std::string in = test::readFile(f);
    if (out == in) continue;  // left as it is
    ++rewritten;
    // One fixture starts with a row of blanks, which GMime cannot read as a header.
    const std::size_t skip = in.find_first_not_of(' ') == 0 ? 0 : in.find('\n') + 1;
    const test::QVMimeView after = test::parseMime(std::string_view(out).substr(skip));
    EXPECT_EQ(after.tree.rfind("mixed[", 0), 0u) << after.tree;
    corpus::expectReadsTheSame(test::parseMime(std::string_view(in).substr(skip)), after);
  }
  EXPECT_GE(rewritten, files.size() / 2);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

const fs::path kSamples = fs::path(STOWLET_SOURCE_DIR) / "resources" / "samples";

std::vector<std::string> composeArgs(std::vector<std::string> extra) {
  std::vector<std::string> args = {"compose",
                                   "--plain",
                                   (kSamples / "compose.txt").string(),
                                   "--html",
                                   (kSamples / "compose.html").string(),
                                   "--attach",
                                   (kSamples / "photo.png").string() + "=photo",
                                   "--attach",
                                   (kSamples / "report.pdf").string() + "=report",
                                   "--attach",
                                   (kSamples / "email-signature.png").string() + "=signature",
                                   "--header",
                                   "From: Bob <bob@example.net>",
                                   "--header",
                                   "To: Ann <ann@example.org>",
                                   "--header",
                                   "Subject: The view"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string htmlOf(const std::string& raw) {
  // The decoded-enough HTML: the sample's HTML is 7bit.
  const std::size_t at = raw.find("<html>");
  return at == std::string::npos ? "" : raw.substr(at, raw.find("</html>", at) - at);
}

TEST_F(QVCommandLine, ComposeSendsPicturesAsAttachments) {
  const Outcome r = run(composeArgs({}));
  ASSERT_EQ(r.code, 0) << r.err;
  const test::QVMimeView view = test::parseMime(r.out);
  EXPECT_EQ(view.tree, "mixed[related[alternative[plain,html],png],png,pdf]");
  ASSERT_EQ(view.leaves.size(), 5u);
  EXPECT_EQ(view.leaves[2].filename, "email-signature.png");
  EXPECT_EQ(view.leaves[2].contentId, "signature");
  for (int i : {3, 4}) {
    EXPECT_EQ(view.leaves[i].disposition, "attachment");
    EXPECT_EQ(view.leaves[i].contentId, "");
  }
  EXPECT_NE(r.out.find("Content-Disposition: attachment;\n\tfilename=photo.png"),
            std::string::npos);
  const std::string html = htmlOf(r.out);
  EXPECT_NE(html.find("cid:signature"), std::string::npos);
  EXPECT_EQ(html.find("cid:photo"), std::string::npos);
  const std::string saved = test::readFile(defaults_);
  EXPECT_NE(saved.find("<key>QVStowletCount</key>\n\t<integer>2</integer>"), std::string::npos);
}

TEST_F(QVCommandLine, ComposeSwitchedOffIsMailsOwnOutput) {
  const Outcome alone = run(composeArgs({"--reproducible", "--without-plugin"}));
  ASSERT_EQ(alone.code, 0) << alone.err;
  EXPECT_EQ(test::parseMime(alone.out).tree, "alternative[plain,related[html,png,pdf,png]]");
  std::ofstream(defaults_) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                              "<dict><key>QVStowletEnabled</key><false/></dict></plist>";
  const Outcome off = run(composeArgs({"--reproducible"}));
  ASSERT_EQ(off.code, 0) << off.err;
  EXPECT_EQ(off.out, alone.out);
  std::ofstream(defaults_) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
                              "<dict><key>QVStowletLegacy</key><true/></dict></plist>";
  EXPECT_EQ(run(composeArgs({"--reproducible"})).out, alone.out);
}

TEST_F(QVCommandLine, RewriteRemovesTheMovedPicturesTags) {
  // The HTML in quoted-printable, as Mail writes long lines; a picture and a signature.
  const std::string message =
      "Content-Type: multipart/alternative;\n\tboundary=\"T\"\n\n--T\n"
      "Content-Type: text/plain\n\nhi\n--T\nContent-Type: multipart/related;\n\tboundary=\"R\"\n\n"
      "--R\nContent-Transfer-Encoding: quoted-printable\nContent-Type: text/html;\n"
      "\tcharset=utf-8\n\n<p>hi <img src=3D\"cid:p1\" width=3D\"1\"> <img src=3D\"cid:s1\" =\n"
      "width=3D\"1\"></p>\n--R\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: inline;\n\tfilename=photo.png\nContent-Type: image/png\n"
      "Content-Id: <p1>\n\nUE5H\n--R\nContent-Transfer-Encoding: base64\n"
      "Content-Disposition: inline;\n\tfilename=email-signature.png\nContent-Type: image/png\n"
      "Content-Id: <s1>\n\nU0lH\n--R--\n\n--T--\n";
  const fs::path in = write("qp.eml", message);
  Outcome r = run({"rewrite", "-q", in.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("cid:p1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("cid:s1"), std::string::npos) << r.out;
  EXPECT_EQ(test::parseMime(r.out).tree, "mixed[related[alternative[plain,html],png],png]");
  r = run({"rewrite", "-q", "--keep-html", in.string()});
  EXPECT_NE(r.out.find("cid:p1"), std::string::npos);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

TEST_F(QVCommandLine, DemoShowsBothTreesAndTheLayout) {
  const Outcome r = run({"demo"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("QVMailPlugin - Ready."), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("What Mail alone sends:\nmultipart/alternative\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("What Mail with Stowlet sends:\nmultipart/mixed\n"), std::string::npos);
  EXPECT_NE(r.out.find("image/png  attachment  \"photo.png\"  1266 bytes"), std::string::npos);
  EXPECT_NE(r.out.find("email-signature.png          true   inline"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("photo.png                    false  icon"), std::string::npos);
  // The commands that only show write no settings file.
  ASSERT_EQ(run({"view", write("m.eml", kMessage).string()}).code, 0);
  ASSERT_EQ(run({"menu"}).code, 0);
  ASSERT_EQ(run({"prefs", "--show"}).code, 0);
  EXPECT_FALSE(fs::exists(defaults_));
}

TEST_F(QVCommandLine, MenuPickTogglesAcrossRuns) {
  EXPECT_NE(run({"menu"}).out.find("✓ QV's Stowlet"), std::string::npos);
  Outcome r = run({"menu", "--pick"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("    QV's Stowlet"), std::string::npos) << r.out;
  EXPECT_NE(run({"menu"}).out.find("    QV's Stowlet"), std::string::npos)
      << "kept in the settings";
  r = run({"menu", "--pick"});
  EXPECT_NE(r.out.find("✓ QV's Stowlet"), std::string::npos) << r.out;
  // The item sits behind the application menu's first item, after a separator.
  const std::string menu = run({"menu"}).out;
  EXPECT_NE(menu.find("About Mail\n  ----------------\n  ✓ QV's Stowlet"), std::string::npos)
      << menu;
}

TEST_F(QVCommandLine, PrefsShowSetAndViewAgree) {
  Outcome r = run({"prefs", "--show"});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* text : {"[x] Enable QV's Stowlet", "[x] Display attachments as icons",
                           "[x] Display signature images inline", "\"email-signature\"",
                           "[ ] Legacy mode", "<Support…>", "Version: 0.1.0"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }
  // The photo of the sample is an icon; once attachments are not shown as icons, inline.
  const std::string sample = (kSamples / "mail-with-pictures.eml").string();
  EXPECT_NE(run({"view", sample}).out.find("photo.png                    false  icon"),
            std::string::npos);
  r = run({"prefs", "--set", "icons=off", "--set", "filename=logo"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("[ ] Display attachments as icons"), std::string::npos) << r.out;
  EXPECT_NE(run({"view", sample}).out.find("photo.png                    true   inline"),
            std::string::npos);
  // The legacy option stores and alerts; a wrong name or value is a usage error.
  r = run({"prefs", "--set", "legacy=on"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("Changing this setting requires Mail app restart."), std::string::npos)
      << r.err;
  EXPECT_NE(run({"prefs", "--show"}).out.find("[x] Legacy mode"), std::string::npos);
  EXPECT_EQ(run({"prefs", "--set", "colour=red"}).code, 64);
  EXPECT_EQ(run({"prefs", "--set", "icons=maybe"}).code, 64);
  // The support button opens the maker's page (printed where no browser can be started).
  r = run({"prefs", "--set", "support="});
  EXPECT_NE(r.out.find("/faq"), std::string::npos) << r.out;
}

TEST_F(QVCommandLine, ViewListsEveryAttachment) {
  const Outcome r = run({"view", (kSamples / "mail-with-pictures.eml").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("email-signature.png          true   inline  can be shown inline: yes"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("report.pdf                   false  icon"), std::string::npos);
  EXPECT_EQ(run({"view", (dir_ / "missing.eml").string()}).code, 66);
  const std::string from = "From a@b Thu Jan  1 00:00:00 2026\n";
  const std::string one = test::readFile(kSamples / "mail-with-pictures.eml");
  const Outcome box = run({"view", write("box", from + one + "\n" + from + one).string()});
  EXPECT_NE(box.out.find("\nmessage 2:\n  photo.png"), std::string::npos) << box.out;
}

}  // namespace
}  // namespace qv

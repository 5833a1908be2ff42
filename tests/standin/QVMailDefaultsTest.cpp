// The stand-in Mail's settings file: values, persistence, sharing, refusal to clobber.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <fstream>
#include <random>

#include "standin/QVMailDefaults.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

class QVMailDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("stowlet-defaults-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    file_ = dir_ / "sub" / "mail-defaults.plist";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<QVMailDefaults> open() {
    auto opened = QVMailDefaults::open(file_);
    EXPECT_TRUE(opened.store) << opened.error;
    return std::move(opened.store);
  }

  fs::path dir_;
  fs::path file_;
};

TEST_F(QVMailDefaultsTest, ValuesSurviveAReopenWithTheirKinds) {
  {
    auto store = open();
    EXPECT_FALSE(store->objectForKey("QVStowletLegacy"));
    EXPECT_FALSE(store->boolForKey("QVStowletLegacy"));
    EXPECT_EQ(store->integerForKey("QVStowletCount"), 0);
    store->setBool(false, "QVStowletEnabled");
    store->setValue("", "QVStowletSignatureFilename");
    store->setInteger(INT32_MIN, "QVStowletCount");
    store->setInteger(std::int64_t{1} << 40, "Big");
    EXPECT_FALSE(fs::exists(file_)) << "changes are written when asked, not on every call";
    EXPECT_EQ(store->save(), std::nullopt);
  }
  auto store = open();
  EXPECT_EQ(store->objectForKey("QVStowletEnabled"), QVDefaultsValue{false});
  EXPECT_EQ(store->objectForKey("QVStowletSignatureFilename"), QVDefaultsValue{std::string()});
  EXPECT_EQ(store->integerForKey("QVStowletCount"), INT32_MIN);
  EXPECT_EQ(store->integerForKey("Big"), std::int64_t{1} << 40);
}

TEST_F(QVMailDefaultsTest, TypedReadsConvertLikeThePlatform) {
  auto store = open();
  struct Row {
    QVDefaultsValue value;
    bool asBool;
    std::int64_t asInteger;
  };
  const Row table[] = {
      {true, true, 1},
      {std::int64_t{0}, false, 0},
      {std::int64_t{-7}, true, -7},
      {2.9, true, 2},
      {std::string("YES"), true, 0},
      {std::string("12abc"), true, 12},
      {std::string("no"), false, 0},
      {QVOtherValue{"array"}, false, 0},
  };
  for (const Row& row : table) {
    store->setObject("k", row.value);
    EXPECT_EQ(store->boolForKey("k"), row.asBool);
    EXPECT_EQ(store->integerForKey("k"), row.asInteger);
  }
}

TEST_F(QVMailDefaultsTest, ManyChangesCostOneWrite) {
  auto store = open();
  for (int i = 0; i < 100000; ++i) store->setInteger(store->integerForKey("n") + 1, "n");
  EXPECT_EQ(store->save(), std::nullopt);
  EXPECT_EQ(open()->integerForKey("n"), 100000);
}

TEST_F(QVMailDefaultsTest, UnreadableFilesAreNeverOverwritten) {
  struct Row {
    const char* what;
    std::string bytes;
  };
  const Row table[] = {
      {"empty", ""},
      {"truncated", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><tru"},
      {"garbage", std::string("\x00\x01\xff garbage", 11)},
      {"an array at the top", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
  };
  fs::create_directories(file_.parent_path());
  for (const Row& row : table) {
    {
      std::ofstream out(file_, std::ios::binary | std::ios::trunc);
      out << row.bytes;
    }
    auto opened = QVMailDefaults::open(file_);
    EXPECT_FALSE(opened.store) << row.what;
    EXPECT_NE(opened.error.find(file_.string()), std::string::npos) << opened.error;
    EXPECT_EQ(test::readFile(file_), row.bytes) << row.what;
  }
  // A folder where the file should be.
  fs::remove(file_);
  fs::create_directories(file_);
  EXPECT_FALSE(QVMailDefaults::open(file_).store);
  // Broken after opening: the save refuses and leaves the file alone.
  fs::remove(file_);
  auto store = open();
  {
    std::ofstream out(file_, std::ios::binary);
    out << "not a plist";
  }
  store->setBool(true, "x");
  EXPECT_TRUE(store->save().has_value());
  EXPECT_EQ(test::readFile(file_), "not a plist");
}

TEST_F(QVMailDefaultsTest, OtherKeysInTheFileAreKept) {
  fs::create_directories(file_.parent_path());
  {
    std::ofstream out(file_);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>MailOwn</key><array><string>x</string></array>"
           "<key>Stamp</key><date>2020-01-01T00:00:00Z</date></dict></plist>";
  }
  auto store = open();
  EXPECT_EQ(store->objectForKey("MailOwn"), QVDefaultsValue{QVOtherValue{"array"}});
  store->setBool(true, "QVStowletEnabled");
  EXPECT_EQ(store->save(), std::nullopt);
  const std::string saved = test::readFile(file_);
  EXPECT_NE(saved.find("<key>MailOwn</key>"), std::string::npos);
  EXPECT_NE(saved.find("<date>"), std::string::npos);
}

// A save reuses the form parsed when the file was read, and the next save the form it
// wrote, as long as the file holds those bytes; another writer's change in between is read
// anew. A string holding NUL bytes (libplist mishandles copies of those) survives saves.
TEST_F(QVMailDefaultsTest, SavesReuseWhatTheyReadOnlyWhileTheFileHoldsIt) {
  fs::create_directories(file_.parent_path());
  {
    std::ofstream out(file_, std::ios::binary);
    out << std::string(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>Other</key><array><string>\x14\0\0\0x</string></array>"
        "<key>QVStowletCount</key><integer>5</integer></dict></plist>\n",
        180);
  }
  auto store = open();
  store->setInteger(6, "QVStowletCount");
  ASSERT_EQ(store->save(), std::nullopt);
  store->setInteger(7, "QVStowletCount");
  ASSERT_EQ(store->save(), std::nullopt);
  {
    auto other = open();
    other->setValue("from another process", "QVStowletSignatureFilename");
    ASSERT_EQ(other->save(), std::nullopt);
  }
  store->setInteger(8, "QVStowletCount");
  ASSERT_EQ(store->save(), std::nullopt);
  auto reread = open();
  EXPECT_EQ(reread->integerForKey("QVStowletCount"), 8);
  EXPECT_EQ(reread->objectForKey("QVStowletSignatureFilename"),
            QVDefaultsValue{std::string("from another process")});
  EXPECT_EQ(reread->objectForKey("Other"), QVDefaultsValue{QVOtherValue{"array"}});
}

TEST_F(QVMailDefaultsTest, ProcessesWritingDifferentKeysKeepEachOthersValues) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 500;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int round = 1; round <= kRounds; ++round) {
        auto opened = QVMailDefaults::open(file_);
        if (!opened.store) ::_exit(1);
        opened.store->setInteger(round, "writer" + std::to_string(w));
        if (opened.store->save()) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto store = open();
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(store->integerForKey("writer" + std::to_string(w)), kRounds) << w;
  }
}

TEST_F(QVMailDefaultsTest, KilledWritersNeverLeaveATornFile) {
  // A writer saves an increasing counter and reports each completed save on a pipe; it is
  // killed at a random moment. The file must always read, and hold at least the last value
  // reported.
  std::mt19937 random(42);
  std::int64_t completed = 0;
  for (int round = 0; round < 200; ++round) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(report[0]);
      for (std::int64_t n = completed + 1;; ++n) {
        auto opened = QVMailDefaults::open(file_);
        if (!opened.store) ::_exit(1);
        opened.store->setInteger(n, "n");
        opened.store->setValue(std::string(static_cast<std::size_t>(n % 3000), 'x'), "padding");
        if (opened.store->save()) ::_exit(2);
        if (::write(report[1], &n, sizeof n) != sizeof n) ::_exit(3);
      }
    }
    ::close(report[1]);
    ::usleep(static_cast<useconds_t>(random() % 20000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed with " << WEXITSTATUS(status);
    for (std::int64_t n; ::read(report[0], &n, sizeof n) == sizeof n;) completed = n;
    ::close(report[0]);
    if (!fs::exists(file_)) continue;
    auto opened = QVMailDefaults::open(file_);
    ASSERT_TRUE(opened.store) << "round " << round << ": " << opened.error;
    EXPECT_GE(opened.store->integerForKey("n"), completed) << "round " << round;
  }
  EXPECT_GT(completed, 0);
}

TEST_F(QVMailDefaultsTest, LocationFollowsFlagThenEnvironment) {
  const char* savedDefaults = std::getenv("STOWLET_DEFAULTS");
  const std::string keep = savedDefaults ? savedDefaults : "";
  ::setenv("STOWLET_DEFAULTS", "/env/file.plist", 1);
  EXPECT_EQ(QVMailDefaults::locate(std::string("/flag.plist")), fs::path("/flag.plist"));
  EXPECT_EQ(QVMailDefaults::locate(std::nullopt), fs::path("/env/file.plist"));
  ::unsetenv("STOWLET_DEFAULTS");
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(QVMailDefaults::locate(std::nullopt), fs::path("/xdg/stowlet/mail-defaults.plist"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(QVMailDefaults::locate(std::nullopt),
            fs::path("/home/u/.config/stowlet/mail-defaults.plist"));
  if (savedDefaults) ::setenv("STOWLET_DEFAULTS", keep.c_str(), 1);
}

}  // namespace
}  // namespace qv

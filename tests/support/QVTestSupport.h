#pragma once
// Shared test support: a fixture that owns what the plug-in is handed (a settings store, a
// log) and the random generator, a captured log, and an independent view of MIME through
// GMime.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "host/QVLog.h"
#include "host/QVPluginContext.h"
#include "tests/support/QVMemoryDefaults.h"

namespace qv::test {

// Collects the log lines.
class QVLogCapture final : public QVLogSink {
 public:
  void writeLine(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

// Every test that runs the plug-in's rules derives from this: a fresh in-memory store and a
// captured log in `context`, and rand() seeded to a fixed value.
class QVContextTest : public ::testing::Test {
 protected:
  void SetUp() override;
  QVMemoryDefaults defaults;
  QVLogCapture log;
  QVPluginContext context{.userDefaults = &defaults, .logSink = &log};
};

// GMime's reading of a message.
struct QVMimeLeaf {
  std::string type;         // "image/png"
  std::string disposition;  // "" when none
  std::string filename;
  std::string contentId;
  std::string body;     // the raw (encoded) body, line ends made LF, trailing ones dropped
  std::string decoded;  // as a reader gets it: decoded, text in UTF-8 with LF line ends
  std::string parents;  // the enclosing multipart subtypes, outermost first: "mixed/related"
  bool lastInParent = false;
};
struct QVMimeView {
  bool parsed = false;
  std::string tree;  // "mixed[related[alternative[plain,html],png],pdf]"
  std::vector<QVMimeLeaf> leaves;
};
[[nodiscard]] QVMimeView parseMime(std::string_view bytes);

// Bytes of a file; fails the test when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& file);

// The messages written by real mailers, kept beside the project; none on a checkout that
// has no such folder beside it (tests over them then skip with STOWLET_SKIP_WITHOUT_CORPUS).
[[nodiscard]] std::vector<std::filesystem::path> realCorpus();
#define STOWLET_SKIP_WITHOUT_CORPUS(files)                           \
  if ((files).empty())                                               \
  GTEST_SKIP() << "skipped: no real messages in " STOWLET_CORPUS_DIR \
                  " (the shared corpus is not beside this checkout)"

// Splits at "\n" like the manipulator does, and joins rows back.
[[nodiscard]] std::vector<std::string> splitRows(std::string_view text);
[[nodiscard]] std::string joinRows(const std::vector<std::string>& rows,
                                   std::string_view eol = "\n");

}  // namespace qv::test

namespace qv::test {

// Compares `actual` with the golden file `file` (a path under tests/golden): on a difference
// the test fails naming the first differing row. With STOWLET_REGENERATE=1 in the
// environment the file is written instead.
void expectGolden(const std::filesystem::path& file, std::string_view actual);

// tests/golden inside the source tree.
[[nodiscard]] std::filesystem::path goldenDir();

}  // namespace qv::test

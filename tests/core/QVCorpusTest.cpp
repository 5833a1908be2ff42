// Every message written by a real mailer: rebuilt (or left alone for a stated reason), and
// GMime, reading independently, finds the same leaf bodies in the result as in the input.

#include <gtest/gtest.h>

#include <algorithm>

#include "core/QVManipulator.h"
#include "core/QVSettingKeys.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

class QVCorpus : public test::QVGlobalsTest {};

std::vector<std::string> bodies(const test::QVMimeView& view) {
  std::vector<std::string> out;
  for (const auto& leaf : view.leaves) out.push_back(leaf.body);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(QVCorpus, RealMessagesKeepEveryLeafBody) {
  const auto files = test::realCorpus();
  ASSERT_GE(files.size(), 19u) << "the real corpus is missing: " << STOWLET_CORPUS_DIR;
  std::size_t rebuilt = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string input = test::readFile(file);
    QVManipulator m(input);
    std::optional<std::string> out = m.manipulateParts();
    if (!out) {
      // Left as it is: a signed message, and one whose header names were re-cased by a server.
      const QVRebuildFailure why = *m.failure();
      EXPECT_TRUE(why == QVRebuildFailure::kSignedOrEncrypted ||
                  why == QVRebuildFailure::kNoContentType)
          << describe(why);
      continue;
    }
    ++rebuilt;
    // One fixture starts with a row of blanks (an artifact of where it was kept), which
    // GMime cannot read as a header; both sides are read without that row.
    const std::size_t skip = input.find_first_not_of(' ') == 0 ? 0 : input.find('\n') + 1;
    const test::QVMimeView before = test::parseMime(std::string_view(input).substr(skip));
    const test::QVMimeView after = test::parseMime(std::string_view(*out).substr(skip));
    ASSERT_TRUE(before.parsed);
    ASSERT_TRUE(after.parsed);
    EXPECT_EQ(after.tree.rfind("mixed[", 0), 0u) << after.tree;
    EXPECT_EQ(bodies(after), bodies(before)) << before.tree << " -> " << after.tree;
    // The text alternatives come first.
    EXPECT_TRUE(after.tree.rfind("mixed[alternative[", 0) == 0 ||
                after.tree.rfind("mixed[related[alternative[", 0) == 0)
        << after.tree;
    for (const auto& leaf : after.leaves) {
      if (leaf.disposition == "attachment") {
        EXPECT_EQ(leaf.contentId, "") << leaf.filename;
      }
    }
  }
  EXPECT_GE(rebuilt, 17u);
}

}  // namespace
}  // namespace qv

// Every message written by a real mailer: rebuilt (or left alone for a stated reason), and
// GMime, reading independently, finds the same leaf bodies in the result as in the input.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/QVManipulator.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

class QVCorpus : public ::testing::Test {};

std::vector<std::string> bodies(const test::QVMimeView& view) {
  std::vector<std::string> out;
  for (const auto& leaf : view.leaves) out.push_back(leaf.body);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(QVCorpus, RealMessagesKeepEveryLeafBody) {
  const auto files = test::realCorpus();
  STOWLET_SKIP_WITHOUT_CORPUS(files);
  std::size_t rebuilt = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string input = test::readFile(file);
    QVManipulator m(input);
    QVSeededBoundaries source;
    std::optional<std::string> out = m.manipulateParts(source);
    if (!out) {
      // Left as it is: signed, without a text body, or already in the rebuilt shape.
      const QVRebuildFailure why = *m.failure();
      EXPECT_TRUE(why == QVRebuildFailure::kSignedOrEncrypted ||
                  why == QVRebuildFailure::kNoTextBody || why == QVRebuildFailure::kNothingToMove)
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
    // An attachment is referred to by no Content-Id, whatever the letter case of its field.
    for (const auto& leaf : after.leaves) {
      if (leaf.disposition == "attachment") {
        EXPECT_EQ(leaf.contentId, "") << leaf.filename;
      }
    }
  }
  EXPECT_GE(rebuilt, files.size() / 2);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// Real messages broken the ways messages break: rows lost, doubled or cut off, line ends
// mixed. Whatever the damage, the result is none or a message GMime reads as multipart/mixed.
TEST_F(QVCorpus, DamagedRealMessagesGiveNoneOrMixed) {
  std::mt19937 random(2026);
  const auto files = test::realCorpus();
  STOWLET_SKIP_WITHOUT_CORPUS(files);
  std::size_t rebuilt = 0;
  for (int round = 0; round < 400; ++round) {
    const auto& file = files[random() % files.size()];
    std::vector<std::string> rows = test::splitRows(test::readFile(file));
    if (!rows.empty() && rows[0].find_first_not_of(' ') != 0) rows.erase(rows.begin());
    const int damage = static_cast<int>(random() % 4);
    const std::size_t at = random() % rows.size();
    switch (damage) {
      case 0: rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at)); break;
      case 1: rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), rows[at]); break;
      case 2: rows.resize(std::max<std::size_t>(at, 1)); break;
      default: rows[at] += "\r"; break;
    }
    std::string text;
    for (std::size_t i = 0; i < rows.size(); ++i) text += (i ? "\n" : "") + rows[i];
    SCOPED_TRACE(file.filename().string() + " damage " + std::to_string(damage) + " at row " +
                 std::to_string(at));
    QVManipulator m(text);
    QVSeededBoundaries source(static_cast<std::uint32_t>(round));
    const std::optional<std::string> out = m.manipulateParts(source);
    if (!out) continue;
    ++rebuilt;
    ASSERT_FALSE(out->empty());
    EXPECT_NE(out->back(), '\n');
    const test::QVMimeView view = test::parseMime(*out);
    EXPECT_EQ(view.tree.rfind("mixed[", 0), 0u) << view.tree;
  }
  EXPECT_GT(rebuilt, 200u);
}

}  // namespace
}  // namespace qv

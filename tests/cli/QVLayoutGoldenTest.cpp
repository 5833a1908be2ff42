// The command's rewrite of the layouts other mailers write, held to golden files: each
// tests/golden/layouts/NAME.in.eml gives NAME.out.eml, the rebuilt message (fresh boundaries
// from a fixed seed) or the one line that says why it stays as it is. Every result,
// rewritten again, has nothing left to move.

#include <gtest/gtest.h>

#include <algorithm>

#include "cli/QVBodyJoin.h"
#include "core/QVManipulator.h"
#include "tests/support/QVTestSupport.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::string rewritten(const std::string& input) {
  QVManipulator m(input);
  QVSeededBoundaries boundaries;
  const QVBodyReplacements bodies = cli::commandBodies(m, /*keepHtml=*/false);
  if (std::optional<QVRebuiltMessage> out = m.rebuild(boundaries, bodies)) return out->bytes();
  return "unchanged: " + std::string(describe(*m.failure())) + "\n";
}

TEST(QVLayoutGolden, EachLayoutRewritesToItsGoldenFile) {
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(test::goldenDir() / "layouts")) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 7 && name.compare(name.size() - 7, 7, ".in.eml") == 0) {
      inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  ASSERT_GE(inputs.size(), 8u);
  for (const fs::path& in : inputs) {
    const std::string name = in.filename().string();
    SCOPED_TRACE(name);
    const std::string out = rewritten(test::readFile(in));
    test::expectGolden(in.parent_path() / (name.substr(0, name.size() - 7) + ".out.eml"), out);
    if (out.rfind("unchanged: ", 0) == 0) continue;
    // The rebuilt shape is final: the command leaves it as it is.
    EXPECT_EQ(rewritten(out), "unchanged: nothing to move\n");
  }
}

}  // namespace
}  // namespace qv

// The command's input: the rows found while a file is read through a small buffer, in two
// halves for a long file, are the rows a scan of the whole bytes finds.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "cli/QVFiles.h"
#include "core/QVRowScan.h"

namespace qv::cli {
namespace {

namespace fs = std::filesystem;

// About `size` bytes of message-like rows: base64 rows, "--" rows, headers, empty rows and
// non-ASCII text; `tail` is put right after the middle row.
std::string messageLike(std::size_t size, const std::string& middle, std::uint32_t seed) {
  std::mt19937 random(seed);
  const std::string rows[] = {
      "iVBORw0KGgoAAAANSUhEUgAAAMgAAADICAIAAAAiOjnJAAAAA3NCSVQICAjb4U/gAAAAGXRFWHRT\n",
      "--Apple-Mail=_9A2D4F10\n",
      "Content-Type: image/png\n",
      "\n",
      "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac\n",
      "-\n",
      "--\n"};
  std::string out;
  while (out.size() < size / 2) out += rows[random() % std::size(rows)];
  out += middle;
  while (out.size() < size) out += rows[random() % std::size(rows)];
  return out;
}

TEST(QVInputScan, RowsFoundWhileReadingAreTheRowsOfTheWhole) {
  struct Case {
    std::string what;
    std::size_t size;
    std::string middle;
    bool utf8;
  };
  const std::vector<Case> cases = {
      {"short: one pass", 100000, "", true},
      {"long: two halves", 9u << 20, "", true},
      {"long, a sequence over the middle", 9u << 20, "\xe2\x82\xac\xe2\x82\xac\n", true},
      {"long, dashes at the middle", 9u << 20, "--\n--TOP--\n", true},
      {"long, a broken sequence in the second half", 9u << 20, "\xe2\x82\n", false},
      {"long, one row from the middle on", 9u << 20, std::string(5u << 20, 'x'), true},
  };
  const fs::path file = fs::temp_directory_path() / ("stowlet-input-" + std::to_string(getpid()));
  std::uint32_t seed = 1;
  for (const Case& c : cases) {
    const std::string bytes = messageLike(c.size, c.middle, seed++);
    std::ofstream(file, std::ios::binary) << bytes;
    QVInput in;
    ASSERT_FALSE(QVInput::open(file.string(), in, QVRowScanWhen::kAlways)) << c.what;
    ASSERT_EQ(in.bytes(), bytes) << c.what;
    std::optional<QVRowScan> rows = in.takeRowScan();
    ASSERT_TRUE(rows) << c.what;
    QVRowStarts starts, dashes;
    ASSERT_EQ(scanRows(bytes, starts, &dashes), c.utf8) << c.what;
    ASSERT_EQ(rows->utf8, c.utf8) << c.what;
    if (!c.utf8) continue;
    EXPECT_TRUE(rows->starts == starts) << c.what;
    EXPECT_TRUE(rows->dashRows == dashes) << c.what;
  }
  fs::remove(file);
}

}  // namespace
}  // namespace qv::cli

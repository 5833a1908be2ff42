// Cutting header values out of rows.

#include <gtest/gtest.h>

#include "core/QVManipulator.h"

namespace qv {
namespace {

TEST(QVIsolateStr, CutsFromPrefixToSuffix) {
  struct Row {
    std::string text, prefix, suffix;
    std::optional<std::string> expected;
  };
  const Row table[] = {
      {"Content-Type: text/html; charset=utf-8", ": ", ";", "text/html"},
      {"Content-Type: text/plain", ": ", ";", "text/plain"},  // no suffix: to the end
      {"\tboundary=\"b1=_x\"", "=\"", "\"", "b1=_x"},         // '=' not before '"' is no prefix
      {"a=b=c", "=", "\n", "b=c"},                            // first prefix, suffix absent
      {"x:abcB", ":", "B", "a"},                              // suffix ignores case
      {"key=", "=", ";", ""},                                 // empty value
      {"Content-Id: part1", "<", ">", std::nullopt},          // prefix absent: nothing
      {"\tboundary=abc", "=\"", "\"", std::nullopt},
  };
  for (const Row& row : table) {
    auto got = QVManipulator::isolateStr(row.text, row.prefix, row.suffix);
    ASSERT_EQ(got.has_value(), row.expected.has_value()) << row.text;
    if (got) {
      EXPECT_EQ(*got, *row.expected) << row.text;
    }
  }
}

}  // namespace
}  // namespace qv

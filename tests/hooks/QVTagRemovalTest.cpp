// Removing the image tags that refer to given content identifiers.

#include <gtest/gtest.h>

#include "hooks/QVTagRemoval.h"

namespace qv {
namespace {

TEST(QVTagRemoval, Table) {
  struct Row {
    const char* what;
    std::string html;
    std::vector<std::string> cids;
    std::string expected;
  };
  const Row table[] = {
      {"no identifiers", "<img src=\"cid:ab12\">", {}, "<img src=\"cid:ab12\">"},
      {"no match", "<p>hi</p>", {"ab12"}, "<p>hi</p>"},
      {"quoted source, every tag",
       "a<img src=\"cid:ab12\">b<img alt=x src=\"cid:ab12\">c",
       {"ab12"},
       "abc"},
      {"capitals", "a<IMG SRC=\"CID:AB12\">b", {"ab12"}, "ab"},
      {"needs a character after the reference",
       "a<img src=cid:ab12>b",
       {"ab12"},
       "a<img src=cid:ab12>b"},
      {"identifier begins the reference", "a<img src=\"cid:ab123\">b", {"ab12"}, "ab"},
      {"tag over several lines", "a<img\n  src=\"cid:ab12\"\n  width=3>b", {"ab12"}, "ab"},
      {"'>' in a value before the reference",
       "a<img alt=\">\" src=\"cid:ab12\">b",
       {"ab12"},
       "a<img alt=\">\" src=\"cid:ab12\">b"},
      {"'>' in a value after the reference",
       "a<img src=\"cid:ab12\" alt=\"x>y\">b",
       {"ab12"},
       "ay\">b"},
      {"two identifiers", "<img src=\"cid:a1\">-<img src=\"cid:b2\">", {"a1", "b2"}, "-"},
      // Identifiers are literal: "." is a full stop, metacharacters cannot break the pattern.
      {"full stop is literal", "<img src=\"cid:aXb\">", {"a.b"}, "<img src=\"cid:aXb\">"},
      {"full stop matches itself", "<img src=\"cid:a.b\">", {"a.b"}, ""},
      {"metacharacters", "<img src=\"cid:(x[*+?\\\\y\">", {"(x[*+?\\\\y"}, ""},
      {"empty identifier removes nothing", "<img src=\"cid:x\">", {""}, "<img src=\"cid:x\">"},
      {"not UTF-8", "\xff<img src=\"cid:x\">\xfe", {"x"}, "\xff\xfe"},
      {"non-ASCII identifier", "<img src=\"cid:caf\xc3\xa9\">", {"CAF\xc3\x89"}, ""},
      {"KELVIN SIGN is a k",
       "<img src=\"cid:\xE2\x84\xAA"
       "1\">",
       {"k1"},
       ""},
      {"one tag, two identifiers' references",
       "<img src=\"cid:a1\" alt=\"cid:b2\">x",
       {"b2", "a1"},
       "x"},
      // Each identifier in turn: a cut can join the text around it into a new tag.
      {"a cut joins a tag for the next identifier",
       "<im<img src=\"cid:a1\">g src=\"cid:b2\">",
       {"a1", "b2"},
       ""},
      {"a cut joins a tag for an earlier identifier",
       "<im<img src=\"cid:a1\">g src=\"cid:b2\">",
       {"b2", "a1"},
       "<img src=\"cid:b2\">"},
  };
  for (const Row& row : table) {
    EXPECT_EQ(removeTagsWithCids(row.html, row.cids), row.expected) << row.what;
  }
}

TEST(QVTagRemoval, HostileTextsNeverGrowAndFinish) {
  // Megabytes of "<img" without ">": a backtracking engine would never finish.
  std::string hostile;
  for (int i = 0; i < 250000; ++i) hostile += "<img";
  hostile += " src=\"cid:x\"";
  EXPECT_EQ(removeTagsWithCids(hostile, {"x"}), hostile);
  const std::string many(1 << 20, '<');
  EXPECT_EQ(removeTagsWithCids(many, {"x", "y"}).size(), many.size());
}

}  // namespace
}  // namespace qv

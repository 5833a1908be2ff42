// The defaults the start-up writes into the settings store.

#include <gtest/gtest.h>

#include "host/QVSettingKeys.h"
#include "shell/QVSettings.h"
#include "tests/support/QVMemoryDefaults.h"

namespace qv {
namespace {

TEST(QVSettings, EmptyStoreGetsExactlySixDefaults) {
  test::QVMemoryDefaults store;
  writeDefaults(store);
  EXPECT_EQ(store.size(), 6u);
  EXPECT_EQ(store.objectForKey(keys::kEnabled), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kAAI), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kDSI), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kSignatureFilename),
            QVDefaultsValue{std::string("email-signature")});
  EXPECT_EQ(store.objectForKey(keys::kDisableInlineAttachments), QVDefaultsValue{true});
  EXPECT_EQ(store.objectForKey(keys::kDisableInlineAttachmentsAll), QVDefaultsValue{false});
  EXPECT_FALSE(store.objectForKey(keys::kLegacy));
  EXPECT_FALSE(store.objectForKey(keys::kCount));
}

TEST(QVSettings, StoredValuesOfAnyKindAreLeftAlone) {
  struct Row {
    std::string_view key;
    QVDefaultsValue value;
  };
  const Row table[] = {
      {keys::kEnabled, false},
      {keys::kSignatureFilename, std::string()},
      {keys::kAAI, std::string("not a Boolean")},
      {keys::kDisableInlineAttachmentsAll, std::int64_t{5}},
  };
  for (const Row& row : table) {
    test::QVMemoryDefaults store;
    store.setObject(row.key, row.value);
    writeDefaults(store);
    EXPECT_EQ(store.objectForKey(row.key), row.value) << row.key;
    EXPECT_EQ(store.size(), 6u);
  }
}

}  // namespace
}  // namespace qv

// The outgoing hook and the display policy called from many threads at once, as Mail may.
// Built under ThreadSanitizer by `make test`: the only shared write is the attachment
// counter's read-then-write, which may lose an increment but never races on memory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "adapters/standin/QVMailPlugin.h"
#include "adapters/standin/QVPluginState.h"
#include "host/QVSettingKeys.h"
#include "standin/QVFoundation.h"
#include "standin/QVMailDefaults.h"
#include "standin/QVMailHost.h"
#include "standin/QVMailLog.h"
#include "standin/QVStandInMail.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(QVThreads, HookAndDisplayPolicyFromEightThreads) {
  const fs::path dir =
      fs::temp_directory_path() / ("stowlet-threads-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto opened = QVMailDefaults::open(dir / "defaults.plist");
  ASSERT_TRUE(opened.store) << opened.error;
  mail::QVStandInMail mail;
  mail::QVMailHost host(mail, *opened.store, STOWLET_SOURCE_DIR "/resources");
  QVMailPlugin::initialize(host);
  ASSERT_TRUE(standInPlugin().qvMenuItem);

  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::atomic<int> rewritten{0}, icons{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const QVObjectRef generator = mail.makeGenerator();
      for (int round = 0; round < kRounds; ++round) {
        auto photo = mail.makeAttachment(std::string(1000 + t * 100 + round, 'p'));
        photo->mimeType = "image/jpeg";
        photo->filename = "IMG_" + std::to_string(t) + "_" + std::to_string(round) + ".jpeg";
        photo->contentID = "<p" + std::to_string(t) + ">";
        QVObjectRef message = send(*generator, mail::kNewMessage,
                                   mail.makeString("<p>t" + std::to_string(t) + "<img src=\"cid:p" +
                                                   std::to_string(t) + "\" a=1></p>"),
                                   mail.makeString("text"), mail.makeArray({photo}),
                                   mail.makeHeaders({{"Subject", "s"}}));
        const auto* raw = dynamic_cast<const QVData*>(
            send(*message, mail::kValueForKey, std::string(mail::kRawDataKey)).get());
        if (raw != nullptr &&
            raw->bytes().find("Content-Type: multipart/mixed;\n\tboundary=\"Apple") !=
                std::string::npos) {
          ++rewritten;
        }
        auto controller = mail.makeAttachmentViewController(photo);
        if (!send(*controller, mail::kShouldBeDisplayedInlineByDefault)) ++icons;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(rewritten.load(), kThreads * kRounds);
  EXPECT_EQ(icons.load(), kThreads * kRounds);
  // Increments may be lost to the counter's read-then-write, never gained.
  const std::int64_t count = opened.store->integerForKey(keys::kCount);
  EXPECT_GT(count, 0);
  EXPECT_LE(count, kThreads * kRounds);
  QVMailPlugin::unload();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qv

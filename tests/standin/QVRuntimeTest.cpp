// The object runtime of the stand-in Mail: lookup, membership, exchange, typed sends.

#include <gtest/gtest.h>

#include "adapters/standin/QVExchange.h"
#include "standin/QVFoundation.h"
#include "standin/QVStandInMail.h"

namespace qv {
namespace {

constexpr QVSelector<std::string()> kHello{"hello"};
constexpr QVSelector<std::string()> kQVHello{"QVHello"};
constexpr QVSelector<std::string()> kShared{"shared"};
constexpr QVSelector<std::string()> kQVShared{"QVShared"};

std::function<std::string(QVObject&)> says(std::string text) {
  return [text](QVObject&) { return text; };
}
std::function<std::string(QVClass&)> classSays(std::string text) {
  return [text](QVClass&) { return text; };
}

class QVRuntimeTest : public ::testing::Test {
 protected:
  mail::QVStandInMail mail;
  QVClass& host = mail.registerClass("Host", mail.classNamed("NSObject"));
  QVClass& sub = mail.registerClass("HostSub", &host);
  QVClass& plugin = mail.registerClass("Plugin", mail.classNamed("NSObject"));
};

TEST_F(QVRuntimeTest, ExchangeSwapsBothWays) {
  host.addInstanceMethod(kHello, says("host"));
  host.addInstanceMethod(kQVHello, says("plug-in"));
  QVObject object(sub);  // an instance of a subclass sees the exchange too
  ASSERT_TRUE(fun(mail, "Host", kHello.name, "Host", kQVHello.name, true));
  EXPECT_EQ(send(object, kHello), "plug-in");
  EXPECT_EQ(send(object, kQVHello), "host");
  ASSERT_TRUE(fun(mail, "Host", kHello.name, "Host", kQVHello.name, true));
  EXPECT_EQ(send(object, kHello), "host");
}

TEST_F(QVRuntimeTest, ClassMethodsExchangeAcrossClasses) {
  host.addClassMethod(kShared, classSays("host"));
  plugin.addClassMethod(kQVShared, classSays("plug-in"));
  EXPECT_FALSE(fun(mail, "Host", kShared.name, "Plugin", kQVShared.name, true))
      << "instance lookup does not find class methods";
  ASSERT_TRUE(fun(mail, "Host", kShared.name, "Plugin", kQVShared.name, false));
  EXPECT_EQ(send(host, kShared), "plug-in");
  EXPECT_EQ(send(plugin, kQVShared), "host");
}

TEST_F(QVRuntimeTest, MissingClassOrSelectorChangesNothing) {
  host.addInstanceMethod(kHello, says("host"));
  host.addInstanceMethod(kQVHello, says("plug-in"));
  struct Row {
    const char *hostClass, *hostSel, *replClass, *replSel;
  };
  const Row table[] = {
      {"NoSuchClass", "hello", "Host", "QVHello"},
      {"Host", "hello", "NoSuchClass", "QVHello"},
      {"Host", "goodbye", "Host", "QVHello"},
      {"Host", "hello", "Host", "QVGoodbye"},
  };
  for (const Row& row : table) {
    EXPECT_FALSE(fun(mail, row.hostClass, row.hostSel, row.replClass, row.replSel, true));
  }
  QVObject object(host);
  EXPECT_EQ(send(object, kHello), "host");
}

TEST_F(QVRuntimeTest, MembershipSuperclassAndProgrammingErrors) {
  QVObject object(sub);
  EXPECT_TRUE(object.isKindOfClass(&host));
  EXPECT_TRUE(object.isKindOfClass(mail.classNamed("NSObject")));
  EXPECT_FALSE(object.isKindOfClass(&plugin));
  EXPECT_FALSE(object.isKindOfClass(nullptr));
  sub.setSuperclass(&plugin);
  EXPECT_TRUE(object.isKindOfClass(&plugin));
  EXPECT_FALSE(object.isKindOfClass(&host));

  host.addInstanceMethod(kHello, says("host"));
  QVObject h(host);
  EXPECT_THROW(send(object, kHello), QVRuntimeError) << "no longer inherited";
  constexpr QVSelector<int()> kWrongSignature{"hello"};
  EXPECT_THROW(send(h, kWrongSignature), QVRuntimeError);
}

TEST_F(QVRuntimeTest, ProfilesLeaveOutClassesAndSelectors) {
  mail::QVMailProfile profile;
  profile.missingClasses.insert("MCAttachment");
  profile.missingSelectors.insert({"MCMessageGenerator", std::string(mail::kNewMessage.name)});
  mail::QVStandInMail poorer(profile);
  EXPECT_EQ(poorer.classNamed("MCAttachment"), nullptr);
  ASSERT_NE(poorer.classNamed("MCMessageGenerator"), nullptr);
  EXPECT_EQ(poorer.classNamed("MCMessageGenerator")->instanceMethod(mail::kNewMessage.name),
            nullptr);
}

}  // namespace
}  // namespace qv

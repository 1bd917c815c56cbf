// The message's query: form encoding over CP932 bytes (worked out with iconv -t CP932 by hand),
// the URL's pieces, the endpoint and time-out from the environment, and the explanation page's place.

#include "MessageQuery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>

#include "HelpFiles.h"

namespace merolune {
namespace {

struct EncodingCase {
  const char* name;
  std::string text;  // UTF-8 as typed
  const char* main;  // the value of Main=
};

std::ostream& operator<<(std::ostream& out, const EncodingCase& c) { return out << c.name; }

class MainValue : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(MainValue, IsTheFormEncodedCodePage932Bytes) {
  EXPECT_EQ(MessageMainValue(GetParam().text), GetParam().main);
}

// Japanese rows: the bytes of `printf '%s' TEXT | iconv -f UTF-8 -t CP932 | od -tx1`.
INSTANTIATE_TEST_SUITE_P(
    Texts, MainValue,
    ::testing::Values(
        EncodingCase{"Space", "a b", "a+b"},
        EncodingCase{"Percent", "50%", "50%25"},
        EncodingCase{"AmpersandAndEquals", "x&y=z", "x%26y%3Dz"},
        EncodingCase{"TwoLines", "A\nB", "A%0D%0AB"},
        EncodingCase{"CrLfStaysOneBreak", "A\r\nB\rC", "A%0D%0AB%0D%0AC"},
        EncodingCase{"UnchangedPunctuation", "@_!$'()*-.", "@_!$'()*-."},
        EncodingCase{"OtherPunctuation", "#+,/:;<>?[]^`{|}~\"\\", "%23%2B%2C%2F%3A%3B%3C%3E%3F%5B%5D%5E%60%7B%7C%7D%7E%22%5C"},
        EncodingCase{"Hiragana", "あ", "%82%A0"},
        EncodingCase{"DialogTitle", "一言メッセージ", "%88%EA%8C%BE%83%81%83b%83Z%81%5B%83W"},
        EncodingCase{"SecondByteBackslash", "ソ表", "%83%5C%95%5C"},
        EncodingCase{"HalfWidthKatakana", "ｱ", "%B1"},
        EncodingCase{"WindowsExtensions", "①～", "%87@%81%60"},
        EncodingCase{"EmojiBecomesQuestionMark", "a😀b", "a%3Fb"},
        EncodingCase{"BrokenUtf8BecomesQuestionMark", "a\xff" "b", "a%3Fb"},
        EncodingCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<EncodingCase>& tested) { return std::string(tested.param.name); });

TEST(FormEncode, EveryByteAboveAsciiIsTwoUpperCaseDigits) {
  EXPECT_EQ(FormEncode(std::string("\x80\xab\xff\x00\x7f", 5)), "%80%AB%FF%00%7F");
}

TEST(MessageUrl, JoinsEndpointPassTextAndProduct) {
  EXPECT_EQ(MessageUrl("http://host/cgi-bin/SoftMsg/message.cgi", "a+b"),
            "http://host/cgi-bin/SoftMsg/message.cgi?Pass=h5t2e619&Main=a+b&soft=Merolune+1.20");
  EXPECT_EQ(MessageUrl("http://h/m.cgi", MessageMainValue("")), "http://h/m.cgi?Pass=h5t2e619&Main=&soft=Merolune+1.20");
}

class Environment : public ::testing::Test {
 protected:
  void TearDown() override {
    ::unsetenv(kMessageUrlVariable);
    ::unsetenv(kMessageTimeoutVariable);
  }
};

TEST_F(Environment, EndpointIsTheSitesReceiverUnlessOverridden) {
  ::unsetenv(kMessageUrlVariable);
  const std::string site = MakerSite();
  ASSERT_FALSE(site.empty());
  EXPECT_NE(site.back(), '/');
  EXPECT_EQ(MessageEndpoint(), site + "/cgi-bin/SoftMsg/message.cgi");
  ::setenv(kMessageUrlVariable, "", 1);
  EXPECT_EQ(MessageEndpoint(), site + "/cgi-bin/SoftMsg/message.cgi");
  ::setenv(kMessageUrlVariable, "http://127.0.0.1:8080/m.cgi", 1);
  EXPECT_EQ(MessageEndpoint(), "http://127.0.0.1:8080/m.cgi");
}

TEST_F(Environment, TimeOutIsThirtySecondsUnlessAPositiveNumberIsGiven) {
  const struct {
    const char* value;
    long long ms;
  } cases[] = {{nullptr, 30000}, {"250", 250}, {"0", 30000}, {"-5", 30000}, {"12x", 30000}, {"", 30000}};
  for (const auto& c : cases) {
    if (c.value) ::setenv(kMessageTimeoutVariable, c.value, 1); else ::unsetenv(kMessageTimeoutVariable);
    EXPECT_EQ(MessageTimeout().count(), c.ms) << (c.value ? c.value : "(unset)");
  }
}

// The explanation page: beside the program, else in <prefix>/share/merolune for <prefix>/bin,
// else the place beside the program (reported missing).
TEST(RiderPagePath, BesideTheProgramThenTheInstalledDataFolder) {
  QTemporaryDir prefix;
  ASSERT_TRUE(prefix.isValid());
  const QString bin = prefix.path() + "/bin";
  const QString data = prefix.path() + "/share/merolune";
  ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(data));
  const auto touch = [](const QString& path) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("<html></html>") > 0;
  };

  EXPECT_EQ(RiderPagePath(bin), bin + "/rider.html");  // neither: beside, to be reported missing
  ASSERT_TRUE(touch(data + "/rider.html"));
  EXPECT_EQ(RiderPagePath(bin), data + "/rider.html");
  ASSERT_TRUE(touch(bin + "/rider.html"));
  EXPECT_EQ(RiderPagePath(bin), bin + "/rider.html");
}

}  // namespace
}  // namespace merolune

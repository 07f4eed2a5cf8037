#include "platform/text/code_page_detect.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text/text.h"

namespace larkpost {
namespace {

// The bytes of `utf8` in the Windows code page `codePage`, made by the converter under test's
// neighbour (the text layer), not by the detector.
std::string InCodePage(unsigned codePage, const std::string& utf8) {
  const std::u16string wide = Utf8ToWide(utf8);
  std::string bytes(wide.size() * 4, '\0');
  const int length = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()),
                                         bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                         nullptr);
  bytes.resize(static_cast<size_t>(length));
  return bytes;
}

TEST(DetectCodePage, ValidUtf8IsUtf8AndAsciiIsSaidToBeAscii) {
  const DetectedCodePage emoji = DetectCodePage("Inbox\nlasagna \xF0\x9F\x98\x8A tonight\n");
  EXPECT_EQ(emoji.codePage, CP_UTF8);
  EXPECT_FALSE(emoji.ascii);
  const DetectedCodePage plain = DetectCodePage("Inbox\nsee you at eight\n");
  EXPECT_EQ(plain.codePage, CP_UTF8);
  EXPECT_TRUE(plain.ascii);
  // A lone continuation byte or an overlong form is no UTF-8.
  EXPECT_NE(DetectCodePage("caf\xE9 au lait, cr\xE8me br\xFBl\xE9" "e\n").codePage, CP_UTF8);
  EXPECT_NE(DetectCodePage("\xC0\xAF").codePage, CP_UTF8);
}

// A sample of a long file ends wherever its size says, inside a character as often as not.
TEST(DetectCodePage, SampleCutInsideACharacterIsStillUtf8) {
  std::string chinese;
  while (chinese.size() < 4000) chinese += "今天晚上我们一起去吃饭吧，八点在火车站见面。\n";
  const size_t line = chinese.rfind('\n', 3000) + 1;  // "今" (3 bytes) follows
  for (size_t cut = 1; cut <= 2; ++cut) {
    const DetectedCodePage detected = DetectCodePage(chinese.substr(0, line + cut));
    EXPECT_EQ(detected.codePage, CP_UTF8) << cut;
    EXPECT_EQ(detected.confidence, 100) << cut;
  }
  // A cut never excuses bytes that no UTF-8 character is made of (in a text too short to be
  // taken for UTF-8 with a damaged byte).
  EXPECT_NE(DetectCodePage(std::string("今天") + "\xE4\xBD" + "a").codePage, CP_UTF8);
  EXPECT_NE(DetectCodePage(std::string("今天") + "\xBD").codePage, CP_UTF8);
}

// A byte damaged in a UTF-8 file (what salvage reads) leaves every other character UTF-8: read in
// any other code page, all of them would be garbled.
TEST(DetectCodePage, Utf8WithADamagedByteIsStillUtf8) {
  std::string chinese;
  while (chinese.size() < 2000) chinese += "今天晚上我们一起去吃饭吧，八点在火车站见面。\n";
  chinese[chinese.find('\n') + 2] = 'A';  // inside the first character of the second line
  const DetectedCodePage detected = DetectCodePage(chinese);
  EXPECT_EQ(detected.codePage, CP_UTF8);
  EXPECT_EQ(detected.confidence, 90);
}

TEST(DetectCodePage, FindsTheWindowsCodePageOfOldTexts) {
  const std::string chinese =
      "今天晚上我们一起去吃饭吧，八点在火车站见面。别忘了带票。\n张伟\n"
      "明天下午三点开会，请准时参加。谢谢！\n";
  EXPECT_EQ(DetectCodePage(InCodePage(936, chinese)).codePage, 936u);
  const std::string french =
      "Bonjour, c'est déjà l'été ! Nous irons au café près de la gare à huit heures.\n"
      "Élodie a préparé une crème brûlée délicieuse pour la fête de Noël.\n";
  EXPECT_EQ(DetectCodePage(InCodePage(1252, french)).codePage, 1252u);
  const std::string russian =
      "Привет! Встретимся сегодня вечером у вокзала в восемь часов. Не забудь билеты.\n"
      "Завтра будет хорошая погода, поедем за город.\n";
  EXPECT_EQ(DetectCodePage(InCodePage(1251, russian)).codePage, 1251u);
}

}  // namespace
}  // namespace larkpost

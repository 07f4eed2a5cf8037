#include "platform/text/text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Sets the process's ANSI code page for one test and puts 1252 back afterwards.
class AnsiCodePage {
 public:
  explicit AnsiCodePage(unsigned codePage) { ok_ = SetAnsiCodePage(codePage); }
  ~AnsiCodePage() { SetAnsiCodePage(1252); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

std::string ToNarrow(unsigned codePage, const std::u16string& wide, int* used = nullptr, unsigned flags = 0) {
  int size = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, used);
  std::string out(size, '\0');
  int written = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                                    nullptr, used);
  EXPECT_EQ(written, size);
  return out;
}

std::u16string ToWide(unsigned codePage, const std::string& narrow) {
  int size = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
  std::u16string out(size, u'\0');
  int written = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), out.data(), size);
  EXPECT_EQ(written, size);
  return out;
}

}  // namespace

TEST(CodePage1252, EveryByteSurvivesARoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::u16string wide = ToWide(1252, all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(wide[0x41], u'A');
  EXPECT_EQ(wide[0x80], u'\u20AC');
  EXPECT_EQ(wide[0x9F], u'\u0178');
  EXPECT_EQ(wide[0xE9], u'\u00E9');
  // The five bytes 1252 leaves undefined become the C1 controls of the same value, and back.
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(wide[b], static_cast<char16_t>(b));
  int used = -1;
  EXPECT_EQ(ToNarrow(1252, wide, &used), all);
  EXPECT_EQ(used, 0);
}

TEST(CodePage1252, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  int used = 0;
  EXPECT_EQ(ToNarrow(1252, u"a\u4E2Db\u0100c", &used), "a?b?c");
  EXPECT_EQ(used, 1);
  // A character outside the BMP is one character and one question mark.
  EXPECT_EQ(ToNarrow(1252, u"x\U0001F600y"), "x?y");
  // Lone surrogates, either half.
  EXPECT_EQ(ToNarrow(1252, std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00)), "a?b?");
  const char* dash = "-";
  std::u16string wide = u"\u4E2D";
  char out[4] = {};
  EXPECT_EQ(WideCharToMultiByte(1252, 0, wide.data(), 1, out, 4, dash, &used), 1);
  EXPECT_EQ(out[0], '-');
}

// Long texts convert eight units a step where they can: whatever mix of ASCII, Latin-1, C1
// controls and characters the code page maps elsewhere or lacks, and wherever they stand, a text
// converts as its characters one by one, and the copy without the table takes exactly the texts
// whose every character 1252 keeps as its own byte.
TEST(CodePage1252, TextConvertsAsItsCharactersOneByOne) {
  AnsiCodePage page(1252);
  ASSERT_TRUE(page.ok());
  const std::u16string rare[] = {u"\u0080", u"\u0081", u"\u009F", u"\u20AC", u"\u0100",
                                 u"\U0001F600", u"\u00A0", u"\u00FF", u"\u007F"};
  constexpr size_t kFirstKept = 6;  // rare[6...] are kept as they are
  std::mt19937 random(5);
  for (int round = 0; round < 300; ++round) {
    std::u16string text;
    std::string expected;
    bool kept = true;
    const size_t length = random() % 48;
    for (size_t i = 0; i < length; ++i) {
      const size_t pick = random() % 24;
      const std::u16string piece = pick < 9 ? rare[pick] : pick < 18 ? u"a" : u"\u00E9";
      text += piece;
      expected += ToNarrow(1252, piece);
      kept = kept && (pick >= kFirstKept);
    }
    EXPECT_EQ(ToNarrow(1252, text), expected) << "round " << round;
    std::string copied(text.size(), '\0');
    EXPECT_EQ(larkpost::NarrowAnsiUnchanged(text, copied.data()), kept) << "round " << round;
    if (kept) {
      EXPECT_EQ(copied, expected) << "round " << round;
    }
  }
}

TEST(CodePage1252, CompositeCheckComposesDecomposedSequences) {
  const std::u16string decomposed = u"e\u0301t\u00E9";
  EXPECT_EQ(ToNarrow(1252, decomposed, nullptr, WC_COMPOSITECHECK), "\xE9t\xE9");
  // Without the flag the accent is a character of its own, which 1252 lacks.
  EXPECT_EQ(ToNarrow(1252, decomposed), "e?t\xE9");
  EXPECT_EQ(larkpost::WideToAnsi(decomposed), "\xE9t\xE9");
}

TEST(CodePage936, ChineseTextRoundTrips) {
  AnsiCodePage page(936);
  ASSERT_TRUE(page.ok());
  EXPECT_EQ(GetACP(), 936u);
  const std::u16string text = u"中文短信 abc";
  const std::string narrow = larkpost::WideToAnsi(text);
  EXPECT_EQ(narrow, "\xD6\xD0\xCE\xC4\xB6\xCC\xD0\xC5 abc");
  EXPECT_EQ(larkpost::AnsiToWide(narrow), text);
  // The euro sign is GBK's single byte 0x80 on this platform.
  EXPECT_EQ(larkpost::WideToAnsi(u"\u20AC"), "\x80");
}

TEST(CodePage936, CharactersOutsideGbkBecomeQuestionMarks) {
  int used = 0;
  EXPECT_EQ(ToNarrow(936, u"中\U0001F600文\u0E01", &used), "\xD6\xD0?\xCE\xC4?");
  EXPECT_EQ(used, 1);
  EXPECT_EQ(ToNarrow(936, std::u16string(u"中") + char16_t(0xDBFF)), "\xD6\xD0?");
}

TEST(CodePage936, MalformedBytesBecomeReplacementCharacters) {
  // A lead byte at the very end, and a lead byte followed by a byte that cannot trail.
  const std::u16string wide = ToWide(936, "a\xD6");
  EXPECT_EQ(wide, u"a\uFFFD");
  const std::u16string broken = ToWide(936, std::string("\xD6\x01z", 3));
  ASSERT_FALSE(broken.empty());
  EXPECT_EQ(broken[0], u'\uFFFD');
  EXPECT_EQ(broken.back(), u'z');
}

TEST(SetAnsiCodePage, RefusesUnknownCodePagesAndKeepsTheOldOne) {
  EXPECT_FALSE(SetAnsiCodePage(12345));
  EXPECT_FALSE(SetAnsiCodePage(CP_ACP));
  EXPECT_EQ(GetACP(), 1252u);
}

TEST(WideCharToMultiByte, SizeQueryTerminatorAndBufferTooSmall) {
  const char16_t* text = u"h\u00E9llo";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 6);
  char out[6];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 6, nullptr, nullptr), 6);
  EXPECT_STREQ(out, "h\xE9llo");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 5, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 0, out, 6, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, 3, out, 6, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 2, nullptr, 4, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(54321, 0, text, 2, out, 6, nullptr, nullptr), 0);
  int used = 0;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 2, out, 6, nullptr, &used), 0);
}

TEST(MultiByteToWideChar, SizeQueryTerminatorAndBufferTooSmall) {
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "h\xE9llo", -1, nullptr, 0), 6);
  char16_t out[6];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "h\xE9llo", -1, out, 6), 6);
  EXPECT_EQ(std::u16string(out), u"h\u00E9llo");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "h\xE9llo", -1, out, 5), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, out, 6), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE4\xB8\xAD", 3, out, 6), 1);
  EXPECT_EQ(out[0], u'\u4E2D');
}

TEST(Utf8, ConvertsBothWaysAndReplacesWhatIsBroken) {
  EXPECT_EQ(larkpost::WideToUtf8(u"a\u00E9\u4E2D\U0001F600"), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(larkpost::Utf8ToWide("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"), u"a\u00E9\u4E2D\U0001F600");
  EXPECT_EQ(larkpost::WideToUtf8(std::u16string(u"x") + char16_t(0xDC00) + u"y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(larkpost::Utf8ToWide("x\xFFy"), u"x\uFFFDy");
  EXPECT_EQ(larkpost::Utf8ToWide("x\xE4\xB8"), u"x\uFFFD");
  EXPECT_EQ(larkpost::WideToUtf8(u""), "");
  EXPECT_EQ(larkpost::Utf8ToWide(""), u"");
}

TEST(TrimWhiteSpace, RemovesPlatformWhiteSpaceAtBothEnds) {
  EXPECT_EQ(larkpost::TrimWhiteSpace(u" \t\r\n/tmp/a b.bak\u00A0\u3000 "), u"/tmp/a b.bak");
  EXPECT_EQ(larkpost::TrimWhiteSpace(u"\v\f \u2003"), u"");
  EXPECT_EQ(larkpost::TrimWhiteSpace(u"x"), u"x");
  EXPECT_FALSE(larkpost::IsWhiteSpace(u'\u200B'));
  EXPECT_FALSE(larkpost::IsWhiteSpace(u'a'));
  EXPECT_FALSE(larkpost::IsWhiteSpace(u'\0'));
}

TEST(Conversion, WorksFromSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const unsigned codePage = (t % 2) ? 936 : 1252;
      const std::u16string text = (t % 2) ? u"中文短信" : u"caf\u00E9 \u20AC";
      for (int i = 0; i < 2000; ++i) {
        const std::string narrow = ToNarrow(codePage, text);
        if (ToWide(codePage, narrow) != text) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// The record writer converts every field with WideToAnsi and counts what it had to replace; under
// UTF-8 the platform call refuses to report replacements, which once emptied every field.
TEST(WideToAnsi, ConvertsAndTellsReplacementsUnderEveryKindOfCodePage) {
  bool replaced = false;
  EXPECT_EQ(larkpost::WideToAnsi(u"Gr\u00FC\u00DFe \u2713", &replaced), "Gr\xFC\xDF" "e ?");
  EXPECT_TRUE(replaced);
  {
    AnsiCodePage utf8(CP_UTF8);
    ASSERT_TRUE(utf8.ok());
    replaced = false;
    EXPECT_EQ(larkpost::WideToAnsi(u"Gr\u00FC\u00DFe \u2713", &replaced), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93");
    EXPECT_FALSE(replaced);
    EXPECT_EQ(larkpost::WideToAnsi(std::u16string(u"x") + char16_t(0xD800), &replaced), "x\xEF\xBF\xBD");
    EXPECT_TRUE(replaced);
  }
  {
    AnsiCodePage gbk(936);
    ASSERT_TRUE(gbk.ok());
    replaced = false;
    EXPECT_EQ(larkpost::WideToAnsi(u"\u4E2D", &replaced), "\xD6\xD0");
    EXPECT_FALSE(replaced);
    larkpost::WideToAnsi(u"\u0E01", &replaced);
    EXPECT_TRUE(replaced);
  }
}

#include "formats/ios_typedstream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "formats/ios_test_util.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

using testing::ArchivedBody;

std::string Decoded(const std::string& blob, BodyDecode expected = BodyDecode::kText) {
  std::string text;
  EXPECT_EQ(AttributedBodyText(blob, text), expected);
  return text;
}

// The counts around each width of the archive's numbers: one byte up to 127, 16 bits from 128
// (a decoder that reads one byte cuts these texts at 127), 32 bits from 32,768.
TEST(AttributedBodyText, CountsOfEveryWidthAreReadAsWritten) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{127}, size_t{128}, size_t{255},
                            size_t{256}, size_t{32767}, size_t{32768}, size_t{65536}}) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += static_cast<char>('a' + i % 26);
    EXPECT_EQ(Decoded(ArchivedBody(text, static_cast<int64_t>(size))), text) << size;
  }
}

TEST(AttributedBodyText, MultiByteCharactersCountInBytes) {
  const std::string emoji = "Hi \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // 😀👍🏽
  EXPECT_EQ(Decoded(ArchivedBody(emoji, 9)), emoji);
  std::string cjk;
  for (int i = 0; i < 50; ++i) cjk += "\xE4\xBD\xA0\xE5\xA5\xBD";  // 你好: 300 bytes, 100 units
  EXPECT_EQ(Decoded(ArchivedBody(cjk, 100)), cjk);
  // Placeholders of attachments come back as archived; the reader takes them out.
  const std::string placeholder = "\xEF\xBF\xBCsee this";
  EXPECT_EQ(Decoded(ArchivedBody(placeholder, 9)), placeholder);
}

// Damaged or hostile blobs: every cut of a good one, and blobs that are no archive at all, end
// in an answer, never a read outside the blob (the sanitizers check).
TEST(AttributedBodyText, DamagedBlobsAreRefusedOrCut) {
  const std::string whole = ArchivedBody(std::string(200, 'x'), 200);
  const size_t textStart = whole.find("xxx");
  for (size_t size = 0; size < whole.size(); ++size) {
    std::string text;
    const BodyDecode result = AttributedBodyText(std::string_view(whole).substr(0, size), text);
    if (size < textStart) {
      EXPECT_EQ(result, BodyDecode::kNotAText) << size;
    } else if (size < textStart + 200) {
      EXPECT_EQ(result, BodyDecode::kCut) << size;
      EXPECT_EQ(text, std::string(size - textStart, 'x'));
    }
  }
  EXPECT_EQ(Decoded("", BodyDecode::kNotAText), "");
  EXPECT_EQ(Decoded(std::string("bplist00\0\0\0\0NSString\x01\x94\x84\x01+\x05hello", 29),
                    BodyDecode::kNotAText),
            "");
  // A chain that comes back to its first class and never names the class looked for, and a
  // reference to nothing seen.
  std::string loop = whole;
  loop.replace(whole.find("NSObject") + 8, 2, std::string("\x00\x93", 2));
  loop[loop.find("NSAttributedString") + 17] = 'X';
  Decoded(loop, BodyDecode::kNotAText);
  std::string dangling = whole;
  dangling[whole.find("NSString") + 9] = '\x7f';
  Decoded(dangling, BodyDecode::kNotAText);
}

// Real bodies written by Messages on a Mac and an iPhone, where the samples folder is there.
TEST(AttributedBodyText, DecodesBodiesWrittenByMessages) {
  const char* source = std::getenv("LARKPOST_SOURCE_DIR");
  const std::filesystem::path folder = std::filesystem::path(source != nullptr ? source : ".") /
                                       "../shared/samples/ios/typedstream-check-only";
  if (!std::filesystem::exists(folder)) GTEST_SKIP() << folder << " is not there";
  const std::pair<const char*, std::string> expected[] = {
      {"AttributedBodyTextOnly", "Noter test"},
      {"AttributedBodyTextOnly2", "Test 3"},
      {"Blank", ""},
      {"MultiPart", "\xEF\xBF\xBCtest 1\xEF\xBF\xBCtest 2 \xEF\xBF\xBCtest 3"},
      {"URL", "https://github.com/ReagentX/Logria"},
      {"WeirdText", "\xF0\x9D\x96\x8D\xF0\x9D\x96\x8A\xF0\x9D\x96\x91\xF0\x9D\x96\x91"
                    "\xF0\x9D\x96\x94 \xF0\x9D\x96\x9C\xF0\x9D\x96\x94\xF0\x9D\x96\x97"
                    "\xF0\x9D\x96\x91\xF0\x9D\x96\x89"}};
  for (const auto& [name, text] : expected) {
    EXPECT_EQ(Decoded(testing::FileBytes(folder / name)), text) << name;
  }
  // Its count (157) runs past the blob: the text up to the string's end.
  EXPECT_EQ(Decoded(testing::FileBytes(folder / "ExtraData"), BodyDecode::kCut),
            "This is parsing  ");
}

}  // namespace
}  // namespace larkpost

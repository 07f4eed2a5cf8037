// The argument and batch-line handling of larkpost-regex, without starting the program.
#include "regex_tool.h"

#include <gtest/gtest.h>

#include <sstream>

namespace larkpost::regex_tool {
namespace {

std::optional<Options> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseArguments(args, error ? error : &ignored);
}

TEST(ParseArguments, PatternTextAndDefaults) {
  auto options = Parse({"a+", "baa"});
  ASSERT_TRUE(options);
  EXPECT_FALSE(options->batch);
  EXPECT_EQ(options->flags, 0);
  EXPECT_EQ(options->start, -1);
  EXPECT_EQ(options->pattern, "a+");
  EXPECT_EQ(options->text, "baa");
}

TEST(ParseArguments, FlagsInHexAndNegativeStart) {
  auto options = Parse({"-f", "0x18", "-s", "-1", "x", "y"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->flags, 0x18);
  EXPECT_EQ(options->start, -1);
  options = Parse({"-s", "3", "-f", "10", "x", "y"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->flags, 10);
  EXPECT_EQ(options->start, 3);
}

TEST(ParseArguments, DoubleDashLetsPatternStartWithDash) {
  auto options = Parse({"--", "-a", "-"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->pattern, "-a");
  EXPECT_EQ(options->text, "-");
}

TEST(ParseArguments, BadUsageIsRefusedWithReason) {
  std::string error;
  EXPECT_FALSE(Parse({"only-pattern"}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(Parse({"a", "b", "c"}));
  EXPECT_FALSE(Parse({"-f"}));
  EXPECT_FALSE(Parse({"-f", "8x", "a", "b"}));
  EXPECT_FALSE(Parse({"-s", "", "a", "b"}));
  EXPECT_FALSE(Parse({"-q", "a", "b"}));
  EXPECT_FALSE(Parse({"--batch", "a"}));
  EXPECT_TRUE(Parse({"--batch"}));
  EXPECT_TRUE(Parse({"--help"}));
}

TEST(ParseInteger, DecimalHexSignAndRange) {
  EXPECT_EQ(ParseInteger("0"), 0);
  EXPECT_EQ(ParseInteger("0x1F"), 31);
  EXPECT_EQ(ParseInteger("-7"), -7);
  EXPECT_EQ(ParseInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseInteger("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(ParseInteger("2147483648"));
  EXPECT_FALSE(ParseInteger("0x"));
  EXPECT_FALSE(ParseInteger("--1"));
  EXPECT_FALSE(ParseInteger("1 "));
  EXPECT_FALSE(ParseInteger(""));
}

TEST(FormatResult, HeaderThenOneValueALine) {
  PatternMatch match;
  EXPECT_EQ(FormatResult(match), "not matched\n");
  match.values = {1, 1, 0, 2, -1, -1};
  EXPECT_EQ(FormatResult(match), "matched\n1\n1\n0\n2\n-1\n-1\n");
}

TEST(DecodeByteString, CharactersUpToFFBecomeBytes) {
  std::string error;
  EXPECT_EQ(DecodeByteString("a\xc3\xa9\xc2\x80", &error), std::string("a\xe9\x80"));
  EXPECT_EQ(DecodeByteString(std::string_view("x\0y", 3), &error), std::string("x\0y", 3));
  EXPECT_FALSE(DecodeByteString("\xc4\x80", &error));  // U+0100
  EXPECT_NE(error.find("U+00FF"), std::string::npos);
  EXPECT_FALSE(DecodeByteString("\xe2\x98\xba", &error));  // U+263A
  EXPECT_FALSE(DecodeByteString("\xc3", &error));          // cut short
  EXPECT_FALSE(DecodeByteString("\x80", &error));          // stray continuation byte
  EXPECT_FALSE(DecodeByteString("\xc1\x81", &error));      // overlong "A"
}

TEST(RunBatchLine, MatchesWithDefaultsAndGivenFields) {
  EXPECT_EQ(RunBatchLine(R"({"pattern": "b+", "text": "abbc"})"),
            R"({"matched":true,"result":[1,0,1,3]})");
  EXPECT_EQ(RunBatchLine(R"({"pattern": "b", "text": "abcb", "start": 2, "flags": 0})"),
            R"({"matched":true,"result":[1,0,3,4]})");
  EXPECT_EQ(RunBatchLine(R"({"pattern": "B", "text": "ab", "flags": 8})"),
            R"({"matched":true,"result":[1,0,1,2]})");
  EXPECT_EQ(RunBatchLine(R"({"pattern": "z", "text": "ab"})"), R"({"matched":false,"result":[]})");
}

TEST(RunBatchLine, BytesAndZeroBytesPassThrough) {
  EXPECT_EQ(RunBatchLine(R"({"pattern": "\u00e9", "text": "a\u00e9"})"),
            R"({"matched":true,"result":[1,0,1,2]})");
  // The text is matched with its explicit length, zero bytes included.
  EXPECT_EQ(RunBatchLine(R"({"pattern": "c", "text": "a\u0000c"})"),
            R"({"matched":true,"result":[1,0,2,3]})");
}

TEST(RunBatchLine, NullPatternGivesTheEmptyResult) {
  EXPECT_EQ(RunBatchLine(R"({"pattern": null, "text": "abc"})"),
            R"({"matched":false,"result":[]})");
}

TEST(RunBatchLine, BadLinesGiveAnErrorObject) {
  const char* const bad[] = {
      "not json",
      "[1, 2]",
      R"({"text": "a"})",
      R"({"pattern": "a"})",
      R"({"pattern": 5, "text": "a"})",
      R"({"pattern": "a", "text": "\u0100"})",
      R"({"pattern": "\u263a", "text": "a"})",
      R"({"pattern": "a", "text": "a", "flags": "8"})",
      R"({"pattern": "a", "text": "a", "start": 1.5})",
      R"({"pattern": "a", "text": "a", "start": 4294967296})",
      R"({"pattern": "a", "text": "a", "flag": 8})",
      "{\"pattern\": \"a\", \"text\": \"\xff\"}",  // not UTF-8
  };
  for (const char* line : bad) {
    std::string out = RunBatchLine(line);
    EXPECT_EQ(out.rfind("{\"error\":\"", 0), 0u) << line << " -> " << out;
  }
}

TEST(RunBatch, OneOutputLinePerInputLineAndGoesOnAfterErrors) {
  std::istringstream in("{\"pattern\": \"a\", \"text\": \"a\"}\n"
                        "\n"
                        "oops\r\n"
                        "{\"pattern\": \"b\", \"text\": \"a\"}");
  std::ostringstream out;
  RunBatch(in, out);
  std::istringstream lines(out.str());
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], R"({"matched":true,"result":[1,0,0,1]})");
  EXPECT_EQ(got[1].rfind("{\"error\":", 0), 0u);
  EXPECT_EQ(got[2], R"({"matched":false,"result":[]})");
}

}  // namespace
}  // namespace larkpost::regex_tool

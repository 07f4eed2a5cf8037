#include "backupfile/address.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "platform/text/text.h"

namespace larkpost {
namespace {

struct Sender {
  bool ok;
  std::u16string name, address;
};

Sender ParseSender(std::u16string_view text) {
  Sender s{false, u"before", u"before"};
  s.ok = SplitSenderText(text, s.name, s.address);
  return s;
}

std::optional<RecordRecipient> ParseRecipientText(std::u16string_view text) {
  RecordRecipient recipient;
  if (!SplitRecipientText(text, recipient)) return std::nullopt;
  return recipient;
}

TEST(SplitSenderText, SplitsTheQuotedNameAndTheBracketedAddress) {
  struct Case {
    std::u16string_view text, name, address;
  };
  const Case cases[] = {
      {u"\"Ann Lee\" <+4915112345678>", u"Ann Lee", u"+4915112345678"},
      // Empty parts still succeed.
      {u"\"\" <+49>", u"", u"+49"},
      {u"\"Ann\" <>", u"Ann", u""},
      // Text around the form is ignored.
      {u"From: \"Ann\" <+49> (mobile)", u"Ann", u"+49"},
      // The name runs to the last quote before a bracket, the address to the last bracket.
      {u"\"A\" <b\" <+1>", u"A\" <b", u"+1"},
      {u"\"A\" <x> y>", u"A", u"x> y"},
      // Characters outside the code page become its default character.
      {u"\"Grüße 日本\" <+1\nx>", u"Grüße ??", u"+1\nx"},
  };
  for (const Case& c : cases) {
    const Sender s = ParseSender(c.text);
    EXPECT_TRUE(s.ok) << WideToUtf8(c.text);
    EXPECT_EQ(s.name, c.name) << WideToUtf8(c.text);
    EXPECT_EQ(s.address, c.address) << WideToUtf8(c.text);
  }
}

TEST(SplitSenderText, TextNotOfTheFormFailsAndChangesNothing) {
  for (const char16_t* text : {u"+4930123", u"Ann <+49>", u"\"Ann\"<+49>", u"\"Ann\" +49>",
                               u"\"Ann\" <+49", u""}) {
    const Sender s = ParseSender(text);
    EXPECT_FALSE(s.ok) << std::string(text, text + std::char_traits<char16_t>::length(text));
    EXPECT_EQ(s.name, u"before");
    EXPECT_EQ(s.address, u"before");
  }
}

TEST(SplitRecipientText, ReadsNameAddressAndType) {
  struct Case {
    std::u16string_view text, name, address;
    int32_t type;
  };
  const Case cases[] = {
      {u"\"Bo\" <+1> 2", u"Bo", u"+1", 2},
      {u"\"Bo\" <+1> 3", u"Bo", u"+1", 3},
      {u"\"Bo\" <+1> 1", u"Bo", u"+1", 1},
      // A blank without digits is type 0.
      {u"\"Bo\" <+1> ", u"Bo", u"+1", 0},
      // The address runs to the last bracket followed by a blank.
      {u"\"A\" <x> 1\" <y> 2", u"A\" <x> 1", u"y", 2},
      // A huge number does not overflow.
      {u"\"A\" <x> 99999999999999999999", u"A", u"x", INT32_MAX},
  };
  for (const Case& c : cases) {
    const auto r = ParseRecipientText(c.text);
    ASSERT_TRUE(r) << WideToUtf8(c.text);
    EXPECT_EQ(r->displayName, c.name) << WideToUtf8(c.text);
    EXPECT_EQ(r->address, c.address) << WideToUtf8(c.text);
    EXPECT_EQ(r->type, c.type) << WideToUtf8(c.text);
  }
}

TEST(SplitRecipientText, WithoutTheBlankAfterTheBracketThereIsNoRecipient) {
  EXPECT_FALSE(ParseRecipientText(u"\"Bo\" <+1>"));
  EXPECT_FALSE(ParseRecipientText(u"Bo <+1> 1"));
}

// Long entries are split by a scan instead of the matcher; both must find the same groups on any
// text, the awkward ones with many quotes and brackets above all.
TEST(SplitAddress, ScanFindsWhatTheMatcherFinds) {
  std::mt19937 random(7);
  const char alphabet[] = {'"', ' ', '<', '>', 'a', '1', ';', '\0'};
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 14, 'a');
    for (char& c : text) c = alphabet[random() % (round % 2 == 0 ? 7 : 8)];
    for (const bool recipient : {false, true}) {
      address_internal::Split byMatcher, byScan;
      const bool matched = address_internal::SplitWithMatcher(text, recipient, byMatcher);
      ASSERT_EQ(address_internal::SplitByScan(text, recipient, byScan), matched) << text;
      if (!matched) continue;
      EXPECT_EQ(byScan.nameStart, byMatcher.nameStart) << text;
      EXPECT_EQ(byScan.nameEnd, byMatcher.nameEnd) << text;
      EXPECT_EQ(byScan.addressStart, byMatcher.addressStart) << text;
      EXPECT_EQ(byScan.addressEnd, byMatcher.addressEnd) << text;
      EXPECT_EQ(byScan.typeStart, byMatcher.typeStart) << text;
      EXPECT_EQ(byScan.typeEnd, byMatcher.typeEnd) << text;
    }
  }
}

TEST(SplitAddress, LongAndHostileEntriesSplitQuickly) {
  const std::u16string name(300000, u'n');
  const Sender s = ParseSender(u"\"" + name + u"\" <+49>");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.name, name);
  std::u16string hostile;
  while (hostile.size() < 1000000) hostile += u"\" <";
  EXPECT_FALSE(ParseSender(hostile).ok);
  EXPECT_FALSE(ParseRecipientText(hostile + u">"));
}

}  // namespace
}  // namespace larkpost

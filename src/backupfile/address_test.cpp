#include "backupfile/address.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

struct Sender {
  bool ok;
  std::u16string name, address;
};

Sender ParseSender(std::u16string_view text) {
  SmsMessage message(nullptr, nullptr);
  message.senderName = u"before";
  message.senderAddress = u"before";
  const bool ok = ParseSenderText(message, text);
  return {ok, message.senderName, message.senderAddress};
}

TEST(ParseSenderText, SplitsNameAndNumber) {
  const Sender s = ParseSender(u"\"Ann Lee\" <+4915112345678>");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.name, u"Ann Lee");
  EXPECT_EQ(s.address, u"+4915112345678");
}

TEST(ParseSenderText, EmptyPartsStillSucceed) {
  EXPECT_EQ(ParseSender(u"\"\" <+49>").name, u"");
  EXPECT_EQ(ParseSender(u"\"\" <+49>").address, u"+49");
  const Sender s = ParseSender(u"\"Ann\" <>");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.name, u"Ann");
  EXPECT_EQ(s.address, u"");
}

TEST(ParseSenderText, TextNotOfTheFormFailsAndChangesNothing) {
  for (const char16_t* text : {u"+4930123", u"Ann <+49>", u"\"Ann\"<+49>", u"\"Ann\" +49>",
                               u"\"Ann\" <+49", u""}) {
    const Sender s = ParseSender(text);
    EXPECT_FALSE(s.ok) << std::string(text, text + std::char_traits<char16_t>::length(text));
    EXPECT_EQ(s.name, u"before");
    EXPECT_EQ(s.address, u"before");
  }
}

TEST(ParseSenderText, TextAroundTheFormIsIgnored) {
  const Sender s = ParseSender(u"From: \"Ann\" <+49> (mobile)");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.name, u"Ann");
  EXPECT_EQ(s.address, u"+49");
}

TEST(ParseSenderText, TheNameRunsToTheLastQuoteBeforeABracket) {
  const Sender s = ParseSender(u"\"A\" <b\" <+1>");
  EXPECT_EQ(s.name, u"A\" <b");
  EXPECT_EQ(s.address, u"+1");
  EXPECT_EQ(ParseSender(u"\"A\" <x> y>").address, u"x> y");
}

TEST(ParseSenderText, CharactersOutsideTheCodePageBecomeTheDefaultCharacter) {
  const Sender s = ParseSender(u"\"Grüße 日本\" <+1\nx>");
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.name, u"Grüße ??");
  EXPECT_EQ(s.address, u"+1\nx");
}

TEST(ParseRecipientText, ReadsNameAddressAndType) {
  auto r = ParseRecipientText(u"\"Bo\" <+1> 2");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->displayName, u"Bo");
  EXPECT_EQ(r->address, u"+1");
  EXPECT_EQ(r->type, 2);
  EXPECT_EQ(ParseRecipientText(u"\"Bo\" <+1> 3")->type, 3);
  EXPECT_EQ(ParseRecipientText(u"\"Bo\" <+1> 1")->type, 1);
}

TEST(ParseRecipientText, ABlankWithoutDigitsIsTypeZero) {
  auto r = ParseRecipientText(u"\"Bo\" <+1> ");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type, 0);
  EXPECT_EQ(r->address, u"+1");
}

TEST(ParseRecipientText, WithoutTheBlankAfterTheBracketThereIsNoRecipient) {
  EXPECT_FALSE(ParseRecipientText(u"\"Bo\" <+1>"));
  EXPECT_FALSE(ParseRecipientText(u"Bo <+1> 1"));
}

TEST(ParseRecipientText, TheAddressRunsToTheLastBracketFollowedByABlank) {
  auto r = ParseRecipientText(u"\"A\" <x> 1\" <y> 2");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->displayName, u"A\" <x> 1");
  EXPECT_EQ(r->address, u"y");
  EXPECT_EQ(r->type, 2);
}

TEST(ParseRecipientText, AHugeNumberDoesNotOverflow) {
  auto r = ParseRecipientText(u"\"A\" <x> 99999999999999999999");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type, INT32_MAX);
}

}  // namespace
}  // namespace larkpost

#include "identity/identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "identity/phone_number.h"
#include "message/multimedia_test_util.h"
#include "platform/time/filetime.h"

namespace larkpost {
namespace {

class WithRegion {
 public:
  explicit WithRegion(std::string region) : before_(NumberRegion()) { SetNumberRegion(region); }
  ~WithRegion() { SetNumberRegion(before_); }

 private:
  std::string before_;
};

TEST(NormalisedNumber, OneNumberWrittenAnyWayIsOneParty) {
  WithRegion none("");
  EXPECT_EQ(NormalisedNumber(u"+1 555-000-0001"), u"+15550000001");
  EXPECT_EQ(NormalisedNumber(u"+1 (555) 000.0001"), u"+15550000001");
  EXPECT_EQ(NormalisedNumber(u"+49 151 2345678"), u"+491512345678");
  // Without a region a national number cannot be placed: its digits only.
  EXPECT_EQ(NormalisedNumber(u"0151 2345678"), u"01512345678");
  {
    WithRegion germany("de");
    EXPECT_EQ(NormalisedNumber(u"0151 2345678"), u"+491512345678");
    EXPECT_EQ(NormalisedNumber(u"+1 555-000-0001"), u"+15550000001");
    // A short code stays as written, never a German number.
    EXPECT_EQ(NormalisedNumber(u" 72345 "), u"72345");
  }
  EXPECT_EQ(NormalisedNumber(u"SHOP-INFO"), NormalisedNumber(u"Shop-Info"));
  EXPECT_NE(NormalisedNumber(u"SHOP-INFO"), NormalisedNumber(u"SHOPINFO"));
  EXPECT_EQ(NormalisedNumber(u"Straße"), NormalisedNumber(u"STRASSE"));
  EXPECT_EQ(NormalisedNumber(u""), u"");
}

// Without a region, what a region would have made one number: the same number with and without
// its country code, in either country's way of writing it; never a short code or a name.
TEST(RegionFreeNumber, ANumberWithAndWithoutItsCountryCodeIsOne) {
  WithRegion none("");
  EXPECT_EQ(RegionFreeNumberView(u"+49 151 2345678"), u"1512345678");
  EXPECT_EQ(RegionFreeNumberView(u"0151 2345678"), u"1512345678");
  EXPECT_EQ(RegionFreeNumberView(u"+1 555-000-0001"), u"5550000001");
  EXPECT_EQ(RegionFreeNumberView(u"(555) 000-0001"), u"5550000001");
  EXPECT_EQ(RegionFreeNumberView(u"072345"), u"072345");
  EXPECT_EQ(RegionFreeNumberView(u"Shop-Info"), NormalisedNumber(u"SHOP-INFO"));
}

TEST(NormalisedNumber, RegionComesFromTheLocaleName) {
  EXPECT_EQ(RegionOfLocale("de_DE.UTF-8"), "DE");
  EXPECT_EQ(RegionOfLocale("en_us"), "US");
  EXPECT_EQ(RegionOfLocale("C.UTF-8"), "");
  EXPECT_EQ(RegionOfLocale("POSIX"), "");
  EXPECT_EQ(RegionOfLocale("xx_QQ"), "");  // no such country
  EXPECT_TRUE(IsKnownRegion("fr"));
  EXPECT_FALSE(IsKnownRegion("ZZ"));
}

constexpr uint64_t kTime = 133564365001234567ull;  // not a whole millisecond

MessageRecord Received(std::u16string folder, std::u16string from, std::u16string text) {
  MessageRecord message;
  message.folderPath = std::move(folder);
  message.deliveryTime = UInt64ToFileTime(kTime);
  message.senderName = u"Ann Becker";
  message.senderAddress = std::move(from);
  message.recipients = {{u"Me", u"+4915112340000", 1}};
  message.text = std::move(text);
  return message;
}

// What a phone's file makes of `message`: the standard folder, the millisecond, no own number.
MessageRecord AsPhoneKeepsIt(MessageRecord message, std::u16string folder) {
  message.folderPath = std::move(folder);
  message.deliveryTime = UInt64ToFileTime(kTime / 10000 * 10000);
  if (message.folderPath == u"Inbox") {
    message.recipients.clear();
  } else {
    message.senderName.clear();
    message.senderAddress.clear();
    for (RecordRecipient& recipient : message.recipients) recipient.type = 1;
  }
  return message;
}

bool Same(const MessageRecord& a, const MessageRecord& b, const IdentityFields& fields) {
  return IdentityKey(a, fields) == IdentityKey(b, fields);
}

TEST(IdentityKey, AMessageIsTheSameInEveryFileThatHoldsIt) {
  WithRegion germany("DE");
  const MessageRecord stored = Received(u"Inbox\\Work", u"+4915112345678", u"Coffee at 10?");
  MessageRecord phone = AsPhoneKeepsIt(stored, u"Inbox");
  phone.senderName = u"Ann B.";              // renamed since
  phone.senderAddress = u"0151 1234 5678";   // written as the phone's contacts have it
  EXPECT_TRUE(Same(stored, phone, kPhoneFields));
  // Where both keep more, it counts: the subfolder, the own number, the 100 ns.
  EXPECT_FALSE(Same(stored, phone, kAllFields));
  MessageRecord renamed = stored;
  renamed.senderName = u"Someone else";
  renamed.flags = 1;  // read since
  EXPECT_TRUE(Same(stored, renamed, kAllFields));
  MessageRecord otherFolder = stored;
  otherFolder.folderPath = u"Inbox\\Family";
  EXPECT_FALSE(Same(stored, otherFolder, kAllFields));
  EXPECT_TRUE(Same(stored, otherFolder, kBackupInFolder));  // the caller compares one folder

  // What either side holds differently is a different message.
  for (MessageRecord other : {Received(u"Inbox", u"+4915112345679", u"Coffee at 10?"),
                              Received(u"Inbox", u"+4915112345678", u"Coffee at 11?"),
                              Received(u"Sentedbox", u"+4915112345678", u"Coffee at 10?")}) {
    EXPECT_FALSE(Same(phone, AsPhoneKeepsIt(other, other.folderPath), kPhoneFields))
        << std::string(other.text.begin(), other.text.end());
  }
  MessageRecord nextMs = phone;
  nextMs.deliveryTime = UInt64ToFileTime(kTime / 10000 * 10000 + 10000);
  EXPECT_FALSE(Same(phone, nextMs, kPhoneFields));
}

TEST(IdentityKey, ADeletedMessageIsComparedByItsDirectionWhereFoldersAreNotKept) {
  MessageRecord sent = Received(u"Wastebox\\Old", u"+4915112340000", u"See you");
  sent.recipients = {{u"Ann", u"+4915112345678", 2}, {u"Bob", u"+4930123456", 1}};
  MessageRecord phoneCopy = AsPhoneKeepsIt(sent, u"Sentedbox");
  std::swap(phoneCopy.recipients[0], phoneCopy.recipients[1]);  // the order is not the message's
  EXPECT_TRUE(Same(sent, phoneCopy, kPhoneFields));
  EXPECT_FALSE(Same(sent, AsPhoneKeepsIt(sent, u"Inbox"), kPhoneFields));
  EXPECT_FALSE(Same(sent, phoneCopy, kAllFields));  // Deleted is not Sent where both keep it
}

TEST(IdentityKey, TextIsComparedAsTheCodePageKeepsItWhenOneSideIsABackupFile) {
  const MessageRecord real = Received(u"Inbox", u"+4915112345678", u"Party \U0001F389 tonight");
  const MessageRecord replaced = Received(u"Inbox", u"+4915112345678", u"Party ? tonight");
  IdentityFields withBackup = kPhoneFields;
  withBackup.codePageText = true;
  EXPECT_TRUE(Same(real, replaced, withBackup));
  EXPECT_FALSE(Same(real, replaced, kPhoneFields));
  EXPECT_GT(Richness(real), Richness(replaced));
}

TEST(Richness, TheCopyThatHoldsMoreIsRicher) {
  const MessageRecord base = Received(u"Inbox", u"+4915112345678", u"Hi");
  MessageRecord subfolder = base;
  subfolder.folderPath = u"Inbox\\Work";
  MessageRecord nameless = base;
  nameless.senderName.clear();
  nameless.recipients[0].displayName.clear();
  EXPECT_GT(Richness(subfolder), Richness(base));
  EXPECT_GT(Richness(base), Richness(nameless));
  EXPECT_EQ(HashIdentityKey(IdentityKey(base, kAllFields)),
            HashIdentityKey(IdentityKey(nameless, kAllFields)));
}

// Bytes handed out a few at a time, in uneven pieces, as a ZIP entry's inflater may hand them.
class DribbledBytes : public PartBytes {
 public:
  explicit DribbledBytes(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  ByteSource Open() const override {
    return [this, at = size_t{0}, step = size_t{0}](char* buffer, size_t capacity) mutable {
      const size_t count = std::min({capacity, bytes_.size() - at, 1 + step++ % 7});
      std::memcpy(buffer, bytes_.data() + at, count);
      at += count;
      return count;
    };
  }

 private:
  std::string bytes_;
};

// A copy of `message` whose multimedia is its own (so it can be changed).
MessageRecord WithOwnMultimedia(const MessageRecord& message, Multimedia*& multimedia) {
  MessageRecord copy = message;
  auto own = std::make_shared<Multimedia>(*message.multimedia);
  multimedia = own.get();
  copy.multimedia.value = std::move(own);
  return copy;
}

TEST(IdentityKey, MultimediaMessagesAreTheSameOnlyWithTheSameParts) {
  WithRegion germany("DE");
  // Larger than one hashing block, so a change at the end is in a later block.
  const std::string picture = testing::JpegBytes(std::string(200000, 'p'));
  const MessageRecord mms =
      testing::MmsRecord(1704106026000, u"+4915112345678", u"Look!", picture, {u"+4930123456"});

  // The same message as another file holds it: its picture read in uneven pieces, its parts and
  // addresses in another order, its numbers written another way, the names filled in.
  Multimedia* other = nullptr;
  MessageRecord fromZip = WithOwnMultimedia(mms, other);
  other->parts[1].data = std::make_shared<DribbledBytes>(picture);
  std::reverse(other->parts.begin(), other->parts.end());
  std::reverse(other->addresses.begin(), other->addresses.end());
  other->addresses.back().address = u"0151 1234 5678";
  fromZip.senderAddress = u"0151 1234 5678";
  fromZip.senderName = u"Ann";
  EXPECT_TRUE(Same(mms, fromZip, kPhoneFields));
  EXPECT_EQ(HashIdentityKey(IdentityKey(mms, kPhoneFields)),
            HashIdentityKey(IdentityKey(fromZip, kPhoneFields)));

  // Sent at the same millisecond with the same text, but another picture of the same size.
  std::string retouched = picture;
  retouched[retouched.size() - 3] = 'q';
  EXPECT_FALSE(Same(mms, testing::MmsRecord(1704106026000, u"+4915112345678", u"Look!",
                                            retouched, {u"+4930123456"}),
                    kPhoneFields));
  // Another part's type or text, or another member of the group, or a member in another role.
  Multimedia* changed = nullptr;
  MessageRecord png = WithOwnMultimedia(mms, changed);
  changed->parts[1].contentType = u"image/png";
  EXPECT_FALSE(Same(mms, png, kPhoneFields));
  MessageRecord layout = WithOwnMultimedia(mms, changed);
  changed->parts[0].text = u"<smil/>";
  EXPECT_FALSE(Same(mms, layout, kPhoneFields));
  MessageRecord noPicture = WithOwnMultimedia(mms, changed);
  changed->parts[1].data = nullptr;
  EXPECT_FALSE(Same(mms, noPicture, kPhoneFields));
  EXPECT_FALSE(Same(mms, testing::MmsRecord(1704106026000, u"+4915112345678", u"Look!", picture,
                                            {u"+4930123457"}),
                    kPhoneFields));
  MessageRecord copied = WithOwnMultimedia(mms, changed);
  changed->addresses[2].role = kRoleCc;
  EXPECT_FALSE(Same(mms, copied, kPhoneFields));
}

TEST(IdentityKey, AnSmsIsNeverTheSameAsAMultimediaMessage) {
  // A multimedia message of one text part and the SMS of that text agree on every SMS field.
  MessageRecord mms = testing::MmsRecord(1704106026000, u"+4915112345678", u"Hi", "x");
  auto textOnly = std::make_shared<Multimedia>();
  mms.multimedia.value = textOnly;  // no parts, no addresses
  MessageRecord sms = mms;
  sms.multimedia = MultimediaRef{};
  for (const IdentityFields& fields : {kPhoneFields, kAllFields}) {
    EXPECT_FALSE(Same(sms, mms, fields));
    EXPECT_NE(HashIdentityKey(IdentityKey(sms, fields)), HashIdentityKey(IdentityKey(mms, fields)));
  }
}

// A call as a phone's reader yields it (message_record.h): its party, type and the phone's
// other columns.
MessageRecord Call(std::u16string number, std::u16string type, uint64_t time) {
  MessageRecord call;
  call.kind = EntryKind::kCall;
  call.deliveryTime = UInt64ToFileTime(time);
  call.phoneColumns = {{"duration", u"245"}, {"type", type}};
  if (type == u"2") {
    call.folderPath = u"Sentedbox";
    call.recipients.push_back(RecordRecipient{u"", std::move(number), 1});
  } else {
    call.folderPath = u"Inbox";
    call.senderAddress = std::move(number);
  }
  return call;
}

TEST(IdentityKey, ACallIsTheSameByItsNumberTypeAndMillisecondAndNeverAMessage) {
  WithRegion none("");
  const MessageRecord call = Call(u"+1 555-000-0001", u"1", kTime);
  auto key = [](const MessageRecord& record) { return IdentityKey(record, kPhoneFields); };
  // As the other app's call log has it: the number written another way, a name, its own columns,
  // the time to the millisecond.
  MessageRecord logged = Call(u"+15550000001", u"1", kTime - kTime % kFileTimeTicksPerMs);
  logged.senderName = u"Ann";
  logged.phoneColumns.insert(logged.phoneColumns.begin(), NamedColumn{"_id", u"7"});
  logged.phoneColumns.push_back({"countryiso", u"US"});
  EXPECT_EQ(key(call), key(logged));
  EXPECT_EQ(PartiesKey(call, kPhoneFields, NumberForm::kNormalised),
            PartiesKey(logged, kPhoneFields, NumberForm::kNormalised));

  EXPECT_NE(key(call), key(Call(u"+15550000001", u"3", kTime)));  // missed, not answered
  EXPECT_NE(key(call), key(Call(u"+15550000002", u"1", kTime)));
  EXPECT_NE(key(call), key(Call(u"+15550000001", u"1", kTime + kFileTimeTicksPerMs)));
  EXPECT_NE(key(Call(u"+15550000001", u"2", kTime)), key(Call(u"+15550000001", u"1", kTime)));

  // An SMS from the same number in the same millisecond, without a text, is another entry.
  MessageRecord sms = Received(u"Inbox", u"+15550000001", u"");
  sms.deliveryTime = call.deliveryTime;
  EXPECT_NE(key(sms), key(call));
  EXPECT_NE(IdentityKey(sms, kAllFields), IdentityKey(call, kAllFields));
}

}  // namespace
}  // namespace larkpost

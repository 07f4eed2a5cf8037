// Multimedia messages for tests, shaped as the phone readers yield them: a received picture
// message with its SMIL layout, a text part and the picture's bytes, its addresses with roles,
// and the SMS fields filled from them (Inbox, sender = the From address, recipients = the To
// addresses, text = the text parts' texts).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "message/message_record.h"
#include "platform/time/filetime.h"

namespace larkpost::testing {

// The first bytes of a JPEG (SOI, a JFIF APP0 segment), then `fill` and the end marker.
inline std::string JpegBytes(const std::string& fill = "picture") {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  bytes += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
  return bytes + fill + "\xFF\xD9";
}

inline MessagePart MmsTextPart(const std::u16string& text) {
  MessagePart part;
  part.seq = u"0";
  part.contentType = u"text/plain";
  part.name = u"text_0.txt";
  part.charset = u"106";
  part.contentLocation = u"text_0.txt";
  part.text = text;
  part.extras = {{"ctt_s", std::nullopt}, {"ctt_t", std::nullopt}};
  return part;
}

inline MessagePart MmsPicturePart(std::string bytes, const std::u16string& name = u"IMG_0001.jpg") {
  MessagePart part;
  part.seq = u"0";
  part.contentType = u"image/jpeg";
  part.name = name;
  part.contentId = u"<image000000>";
  part.contentLocation = name;
  part.data = BytesInMemory(std::move(bytes));
  part.extras = {{"ctt_s", std::nullopt}, {"ctt_t", std::nullopt}};
  return part;
}

inline MessagePart MmsSmilPart() {
  MessagePart part;
  part.seq = u"-1";
  part.contentType = u"application/smil";
  part.name = u"smil.xml";
  part.contentId = u"<smil>";
  part.contentLocation = u"smil.xml";
  part.text = u"<smil><head><layout><root-layout/></layout></head><body><par dur=\"5000ms\">"
              u"<img src=\"IMG_0001.jpg\" region=\"Image\" /><text src=\"text_0.txt\" "
              u"region=\"Text\" /></par></body></smil>";
  return part;
}

// A received multimedia message at `dateMs` from `from` to the own number (and `others`, as in
// a group chat), with a text part and a picture of `picture`'s bytes.
inline MessageRecord MmsRecord(int64_t dateMs, const std::u16string& from,
                               const std::u16string& text, std::string picture,
                               const std::vector<std::u16string>& others = {}) {
  auto multimedia = std::make_shared<Multimedia>();
  multimedia->addresses.push_back({from, kRoleFrom, u"106", {}});
  multimedia->addresses.push_back({u"+4915199990000", kRoleTo, u"106", {}});
  for (const std::u16string& other : others) multimedia->addresses.push_back({other, kRoleTo, u"106", {}});
  multimedia->parts = {MmsSmilPart(), MmsPicturePart(std::move(picture)), MmsTextPart(text)};
  multimedia->extras = {{"m_type", u"132"}, {"sub", std::nullopt},
                        {"ct_t", u"application/vnd.wap.multipart.related"}, {"text_only", u"0"}};
  MessageRecord record;
  record.folderPath = u"Inbox";
  const uint64_t ticks = (static_cast<uint64_t>(dateMs) + 11644473600000ull) * 10000;
  record.deliveryTime = UInt64ToFileTime(ticks);
  record.lastModified = record.deliveryTime;
  record.flags = 1;
  record.senderAddress = from;
  record.recipients.push_back({u"", u"+4915199990000", 1});
  for (const std::u16string& other : others) record.recipients.push_back({u"", other, 1});
  record.text = text;
  record.multimedia.value = std::move(multimedia);
  return record;
}

// An SMS as a phone's file yields it: received in the Inbox at `dateMs`.
inline MessageRecord PhoneSms(int64_t dateMs, const std::u16string& from,
                              const std::u16string& text) {
  MessageRecord record;
  record.folderPath = u"Inbox";
  record.deliveryTime =
      UInt64ToFileTime((static_cast<uint64_t>(dateMs) + 11644473600000ull) * 10000);
  record.lastModified = record.deliveryTime;
  record.flags = 1;
  record.senderAddress = from;
  record.text = text;
  return record;
}

// The n-th incoming call of a phone's call log, as a phone's reader yields it (message_record.h).
inline MessageRecord IncomingCall(uint64_t n) {
  MessageRecord call;
  call.kind = EntryKind::kCall;
  call.folderPath = u"Inbox";
  call.senderAddress = u"+1555000";
  for (char c : std::to_string(1111 + n)) call.senderAddress += static_cast<char16_t>(c);
  call.deliveryTime = UInt64ToFileTime((13350000000000 + n * 1000) * kFileTimeTicksPerMs);
  call.lastModified = call.deliveryTime;
  call.flags = 1;
  call.phoneColumns = {{"duration", u"5"}, {"type", u"1"}};
  return call;
}

}  // namespace larkpost::testing

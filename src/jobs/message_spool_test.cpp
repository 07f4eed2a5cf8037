#include "jobs/message_spool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/time/filetime.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

// Messages of every size a spool meets: a few bytes, a typical text, and texts longer than any
// window the spool reads ahead (so a message starts in one window and ends past it); texts of
// Latin-1 only and texts with other characters.
MessageRecord Message(size_t i) {
  MessageRecord message;
  message.folderPath = i % 3 == 0 ? u"Inbox\\Work" : u"Sent";
  message.deliveryTime = UInt64ToFileTime(130000000000000000ull + i);
  message.flags = static_cast<uint32_t>(i);
  const size_t length = i % 97 == 5 ? 300000 + i : i % 7 == 0 ? 0 : 40 + i % 300;
  message.text.assign(length, static_cast<char16_t>(u'a' + i % 26));
  // Texts of one byte a unit, and with a unit beyond one anywhere: parked two ways.
  if (length > 0 && i % 3 == 1) message.text[i % length] = i % 2 == 0 ? u'\u00FF' : u'\u20AC';
  if (i % 5 == 4) message.senderName = u"Gr\u00FC\u00DFe \U0001F600";
  message.senderAddress = u"+4915" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
  if (i % 2 == 0) message.recipients.push_back({u"Bob", u"+4930", 1});
  // A message from a phone's file keeps the entry's other columns, absent values among them.
  if (i % 4 == 3) {
    message.phoneColumns = {{"date_sent", u"0"}, {"thread_id", u"7"}, {"service_center", std::nullopt}};
  }
  return message;
}

// Read back in any order (as parked, backwards, at random, and while more are parked), each
// message is the one parked there, whole.
TEST(MessageSpool, ReadsBackEveryMessageWholeInAnyOrder) {
  testing::TempDir dir;
  MessageSpool spool(dir.File("out.bak"));
  std::vector<uint64_t> positions;
  uint64_t hash = 0;
  for (size_t i = 0; i < 600; ++i) positions.push_back(spool.Append(Message(i), hash));

  std::vector<size_t> inOrder(positions.size());
  for (size_t i = 0; i < inOrder.size(); ++i) inOrder[i] = i;
  std::vector<size_t> backwards(inOrder.rbegin(), inOrder.rend());
  std::vector<size_t> shuffled = inOrder;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
  MessageRecord read;
  for (const auto* order : {&inOrder, &backwards, &shuffled, &inOrder}) {
    for (size_t i : *order) {
      spool.Read(positions[i], read);
      ASSERT_EQ(read, Message(i)) << "message " << i;
    }
  }

  // Parking more after reading: what was read ahead ends where the file did then.
  spool.Read(positions.back(), read);
  for (size_t i = 600; i < 700; ++i) {
    positions.push_back(spool.Append(Message(i), hash));
    spool.Read(positions[i - 1], read);
    ASSERT_EQ(read, Message(i - 1));
    spool.Read(positions[i], read);
    ASSERT_EQ(read, Message(i));
  }
}

}  // namespace
}  // namespace larkpost

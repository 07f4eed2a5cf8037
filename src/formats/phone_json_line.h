// One line of messages.ndjson, the file inside the ZIP of the "SMS Import / Export" app
// (phone_zip.h): one JSON object per line with Android's column names and every value a string
// (or null):
//
//   {"address":"+4915112345678","date":"1704103626000","date_sent":"0","type":"1",
//    "body":"Hi","read":"1","status":"-1","__display_name":"Ann", ...}
//
// Lines with "m_type" are multimedia messages: Android's mms columns (`date` in SECONDS),
// "__sender_address" (an addr object: address, type, charset), "__recipient_addresses" (a list
// of them), "__parts" (part objects: _id, mid, seq, ct, name, chset, cd, fn, cid, cl, ctt_s,
// ctt_t, _data, text), "__display_name". A part's bytes are the archive's file
// data/<last component of _data>. Every column no field takes is kept under Multimedia::extras
// in order, as are a part's (_data aside, which names the file) and written back;
// __display_name is made from the parties' names.
//
// Besides the app's columns a line this program writes carries the whole message under the key "larkpost" (folder path with
// subfolders, exact times, flags, size, sender, recipients with their types), which the app
// ignores on import and which brings the message back unchanged:
//
//   "larkpost":{"folder":"Inbox\\Work","time":"133485...","modified":"133485...","flags":"1",
//               "size":"0","class":"IPM.SMStext","sender_name":"","sender_address":"",
//               "recipients":[{"name":"Ann","address":"+49...","type":"1"}]}
//
// The further entries of a message sent to several recipients carry {"part":"1"}, ... instead.
// A multimedia line's "larkpost" holds also its "addresses" in their order.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "formats/phone_entry.h"

namespace larkpost {

// The bytes of the archive's file data/`fileName` (a name without "/"); false with the reason
// when there is no such file or it cannot be taken.
using PartFileLookup = std::function<bool(const std::string& fileName,
                                          std::shared_ptr<const PartBytes>& bytes,
                                          std::string& error)>;
// The name under data/ that a part's bytes are stored as in the archive being written.
using PartFileNamer = std::function<std::string(const MessagePart& part)>;

// The owner's numbers of the file being read (the From addresses of its sent multimedia
// messages), found once when first asked for; the app's lines do not list a received message's
// other parties, and its recipients hold the owner.
using OwnerLookup = std::function<const std::unordered_set<std::u16string>&()>;

// The owner's numbers from the file's lines, each passed to `line` in turn: the From address of
// every sent or outgoing multimedia line.
class OwnerFinder {
 public:
  void Take(std::string_view line);
  const std::unordered_set<std::u16string>& numbers() const { return numbers_; }

 private:
  std::unordered_set<std::u16string> numbers_;
};

// One line (without its line feed) as an entry, a multimedia one whole with its parts' bytes
// from `partFile`. A received multimedia line without this program's "larkpost" keeps the lists
// of its other parties without the owner `owner` names (none when it is empty). False with the
// reason.
bool EntryFromJsonLine(std::string_view line, PhoneEntry& entry, const PartFileLookup& partFile,
                       std::string& error, const OwnerLookup& owner = {});

// The line (without its line feed) that stands for one entry: the app's columns and, under
// "larkpost", the whole message or the entry's part number. The bytes of a multimedia entry's
// parts go to the files `namer` names.
std::string JsonLineOf(const PhoneEntry& entry, const PartFileNamer& namer);

}  // namespace larkpost

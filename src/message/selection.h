// Which messages a run takes: the standard folders, a span of delivery times and the contacts,
// the same for every command whatever the file or store the messages come from. A selection
// made of defaults takes every message.
//
//   folders   a message is taken when its standard folder is one of the chosen ones
//   since     delivery time at or after this instant
//   until     delivery time before this instant (the parser makes a named day or minute whole)
//   drafts    messages without a delivery time are taken even when a span is set; without a
//             span they are always taken
//   contacts  any of them: the sender or one of the recipients has that number (compared by
//             digits and "+", ignoring spaces, dashes, dots and parentheses, and in the one form
//             a number normaliser gives, where one is set) or a name that contains the text,
//             compared without regard to letter case (Unicode case folding)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/folders.h"
#include "message/message_record.h"

namespace larkpost {

class Selection {
 public:
  Selection() { folders_.fill(true); }

  void SetFolders(const std::array<bool, kFolderKindCount>& folders) { folders_ = folders; }
  void SetSince(uint64_t fileTime) { since_ = fileTime; }
  void SetUntil(uint64_t fileTime) { until_ = fileTime; }
  void SetDrafts(bool drafts) { drafts_ = drafts; }
  // A function that gives a number's one form, for contacts to find a number however it is
  // written ("0151 12345678" and "+4915112345678" in Germany): what restore and merge compare
  // numbers by (identity/phone_number.h). Its result need only last until its next call. Set it
  // before AddContact.
  using NumberNormaliser = std::u16string_view (*)(std::u16string_view number);
  void SetNumberNormaliser(NumberNormaliser normaliser) { normaliser_ = normaliser; }
  void AddContact(std::u16string_view text);

  bool Folder(FolderKind kind) const { return folders_[static_cast<int>(kind)]; }
  // True when something beyond the folders narrows the selection: only then must each
  // message's time and parties be looked at.
  bool LooksAtMessages() const { return since_ || until_ || !contacts_.empty(); }
  // True when the selection may leave any message out.
  bool Narrows() const;

  // Whether the message is taken. Its folder comes from the first piece of its folder path; a
  // path naming no standard folder is taken when every folder is.
  bool Selects(const MessageRecord& message) const;
  // The same for a message whose standard folder is already known.
  bool Selects(FolderKind kind, const MessageRecord& message) const;

 private:
  struct Contact {
    std::u16string number;  // digits and "+" only; empty when the text holds none
    std::u16string normalised;  // the number in the normaliser's form, when both are there
    std::u16string folded;  // the text case-folded, for names
  };
  bool TakesTime(uint64_t deliveryTime) const;
  bool TakesParties(const MessageRecord& message) const;

  std::array<bool, kFolderKindCount> folders_{};
  std::optional<uint64_t> since_;
  std::optional<uint64_t> until_;
  bool drafts_ = false;
  std::vector<Contact> contacts_;
  NumberNormaliser normaliser_ = nullptr;
};

// A date or a date and time of the local time zone, as a delivery-time bound (FILETIME ticks):
// "2024-01-31", "2024-01-31T18:30" or "2024-01-31T18:30:15". With `end` the bound lies just
// after the named day, minute or second, so an upper bound takes it whole. A local time that
// does not exist (the hour skipped when clocks go forward) is read with the offset in force
// before the change: 02:30 on such a day is 03:30 summer time. False when the text is not such a
// date.
bool ParseSelectionTime(std::string_view text, bool end, uint64_t& fileTime);

// The text of a number as the selection compares it: digits and "+" only.
std::u16string NumberDigits(std::u16string_view text);

}  // namespace larkpost

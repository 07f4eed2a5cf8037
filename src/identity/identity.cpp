#include "identity/identity.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include "identity/phone_number.h"
#include "message/folder_path.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

constexpr uint64_t kTicksPerMs = 10000;

enum class Direction : char { kReceived = 'r', kSent = 's', kDraft = 'd', kOutbox = 'o' };

Direction DirectionOf(FolderKind kind, const MessageRecord& message) {
  switch (kind) {
    case FolderKind::Inbox:
      return Direction::kReceived;
    case FolderKind::Sent:
      return Direction::kSent;
    case FolderKind::Draft:
      return Direction::kDraft;
    case FolderKind::Outbox:
      return Direction::kOutbox;
    case FolderKind::Deleted:
      break;
  }
  return message.recipients.empty() ? Direction::kReceived : Direction::kSent;
}

void AppendUInt64(std::string& key, uint64_t value) {
  for (int i = 0; i < 8; ++i) key += static_cast<char>(value >> (8 * i) & 0xFF);
}

// Length-prefixed, so no piece can run into the next.
void AppendPiece(std::string& key, std::string_view piece) {
  AppendUInt64(key, piece.size());
  key += piece;
}

std::string Number(std::u16string_view written, NumberForm form) {
  return WideToUtf8(form == NumberForm::kNormalised ? NormalisedNumber(written)
                                                    : std::u16string(written));
}

// The parties of one side, sorted: the order of recipients is not the message's.
void AppendParties(std::string& key, std::vector<std::string> parties) {
  std::sort(parties.begin(), parties.end());
  AppendUInt64(key, parties.size());
  for (const std::string& party : parties) AppendPiece(key, party);
}

uint64_t Fnv1a(std::string_view bytes) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  return hash;
}

}  // namespace

IdentityFields CommonFields(const IdentityFields& a, const IdentityFields& b) {
  return IdentityFields{a.standardFolders && b.standardFolders, a.subfolders && b.subfolders,
                        a.ownNumber && b.ownNumber, a.recipientTypes && b.recipientTypes,
                        a.exactTimes && b.exactTimes, a.codePageText || b.codePageText,
                        a.folder && b.folder};
}

std::string IdentityKey(const MessageRecord& message, const IdentityFields& fields,
                        NumberForm numbers) {
  std::string key;
  key.reserve(64 + message.text.size() * 2);
  FolderPath path;
  bool received = false;
  if (ParseFolderPath(message.folderPath, path) != FolderPathResult::kOk) {
    // Not below a standard folder: only the very same path is the same folder.
    if (fields.folder) {
      key += 'x';
      AppendPiece(key, WideToUtf8(message.folderPath));
    }
  } else {
    const Direction direction = DirectionOf(path.kind, message);
    received = direction == Direction::kReceived;
    if (fields.folder) key += static_cast<char>(direction);
    if (fields.folder && fields.standardFolders) {
      key += static_cast<char>('0' + static_cast<int>(path.kind));
    }
    if (fields.folder && fields.subfolders) {
      AppendUInt64(key, path.subfolders.size());
      for (const std::u16string& name : path.subfolders) AppendPiece(key, WideToUtf8(name));
    }
  }
  const uint64_t time = FileTimeToUInt64(message.deliveryTime);
  AppendUInt64(key, fields.exactTimes ? time : time / kTicksPerMs);
  AppendPiece(key, fields.codePageText ? WideToAnsi(message.text) : WideToUtf8(message.text));

  // The other side of a received message is its sender, of any other its recipients; the own
  // number is the rest.
  std::vector<std::string> sender;
  if (!message.senderAddress.empty()) sender.push_back(Number(message.senderAddress, numbers));
  std::vector<std::string> recipients;
  for (const RecordRecipient& recipient : message.recipients) {
    std::string party = Number(recipient.address, numbers);
    if (fields.recipientTypes) party += "\x1f" + std::to_string(recipient.type);
    recipients.push_back(std::move(party));
  }
  if (fields.ownNumber) {
    // Both sides: which one is the own does not matter (nor need the folder be known).
    AppendParties(key, std::move(sender));
    AppendParties(key, std::move(recipients));
  } else {
    AppendParties(key, received ? std::move(sender) : std::move(recipients));
  }
  return key;
}

IdentityHash HashIdentityKey(const std::string& key) {
  // Two unrelated 64-bit hashes: a collision needs both to collide.
  return IdentityHash{Fnv1a(key), std::hash<std::string_view>{}(key)};
}

uint32_t Richness(const MessageRecord& message) {
  const size_t questionMarks = std::count(message.text.begin(), message.text.end(), u'?');
  const uint32_t text = 0xFFFF - static_cast<uint32_t>(std::min<size_t>(questionMarks, 0xFFFF));
  const bool subfolder = message.folderPath.find(u'\\') != std::u16string::npos;
  bool names = !message.senderName.empty();
  for (const RecordRecipient& recipient : message.recipients) {
    names = names || !recipient.displayName.empty();
  }
  const bool ownNumber = !message.senderAddress.empty() && !message.recipients.empty();
  const bool fineTime = FileTimeToUInt64(message.deliveryTime) % kTicksPerMs != 0;
  return text << 16 | uint32_t{subfolder} << 3 | uint32_t{names} << 2 | uint32_t{ownNumber} << 1 |
         uint32_t{fineTime};
}

}  // namespace larkpost

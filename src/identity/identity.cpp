#include "identity/identity.h"

#include <xxhash.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "identity/phone_number.h"
#include "identity/text_keyed_map.h"
#include "message/folder_path.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

enum class Direction : char { kReceived = 'r', kSent = 's', kDraft = 'd', kOutbox = 'o' };

Direction DirectionOf(FolderKind kind, const MessageRecord& message, const OwnNumbers* own) {
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
  const bool received = own != nullptr ? own->Received(message) : message.recipients.empty();
  return received ? Direction::kReceived : Direction::kSent;
}

// Eight bytes, the lowest first, put in at once.
void PutUInt64(char* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<char>(value >> (8 * i) & 0xFF);
}
void AppendUInt64(std::string& key, uint64_t value) {
  char bytes[8];
  PutUInt64(bytes, value);
  key.append(bytes, 8);
}

// Length-prefixed, so no piece can run into the next.
void AppendPiece(std::string& key, std::string_view piece) {
  AppendUInt64(key, piece.size());
  key += piece;
}

// The same for a piece that `write` appends to the key itself, sparing a string of its own.
template <typename Write>
void AppendPieceWith(std::string& key, Write write) {
  const size_t lengthAt = key.size();
  AppendUInt64(key, 0);
  write();
  PutUInt64(key.data() + lengthAt, key.size() - lengthAt - 8);
}

// Text into a key as its UTF-16 units: no conversion, and equal texts give equal bytes.
void AppendWide(std::string& key, std::u16string_view text) {
  key.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

void AppendNumber(std::string& key, std::u16string_view written, NumberForm form) {
  AppendWide(key, form == NumberForm::kNormalised   ? NormalisedNumberView(written)
                  : form == NumberForm::kRegionFree ? RegionFreeNumberView(written)
                                                    : written);
}

// The text as the code page keeps it. ASCII is the same in every code page, and most other
// texts are characters the page keeps as they are: only the rest go through the conversion.
void AppendCodePageText(std::string& key, std::u16string_view text) {
  AppendPieceWith(key, [&] {
    const size_t at = key.size();
    key.resize(at + text.size());
    if (LargestUnit(text) < 0x80) return NarrowLatin1(text, key.data() + at);
    if (NarrowAnsiUnchanged(text, key.data() + at)) return;
    key.resize(at);
    AppendAnsi(key, text);
  });
}

// The parties of one side, sorted: the order of recipients is not the message's.
void AppendParties(std::string& key, std::vector<std::string> parties) {
  std::sort(parties.begin(), parties.end());
  AppendUInt64(key, parties.size());
  for (const std::string& party : parties) AppendPiece(key, party);
}

// A column into a key: null differs from every text, the empty one among them.
void AppendColumn(std::string& key, const Column& column) {
  if (!column) return AppendUInt64(key, UINT64_MAX);
  AppendUInt64(key, column->size());
  AppendWide(key, *column);
}

// A hash of a part's bytes, streamed: whatever lengths the source hands out, the bytes are
// hashed in blocks of one size, so equal bytes hash the same from every file.
uint64_t HashPartBytes(const PartBytes& bytes) {
  constexpr size_t kBlock = 64 * 1024;
  std::string block(kBlock, '\0');
  ByteSource source = bytes.Open();
  uint64_t hash = bytes.size();
  size_t filled = 0;
  for (;;) {
    const size_t got = source(block.data() + filled, kBlock - filled);
    filled += got;
    if (filled == kBlock || (got == 0 && filled > 0)) {
      hash = HashBytes(std::string_view(block.data(), filled), hash);
      filled = 0;
    }
    if (got == 0) return hash;
  }
}

// What two multimedia messages must share beyond what an SMS must: every part's content type,
// text and bytes, and every address's number with its role. Each side sorted, so the order in
// which a file lists them does not matter.
void AppendMultimedia(std::string& key, const Multimedia& multimedia, NumberForm numbers) {
  key += 'M';
  std::vector<std::string> parts;
  for (const MessagePart& part : multimedia.parts) {
    std::string piece;
    AppendColumn(piece, part.contentType);
    AppendColumn(piece, part.text);
    if (part.data == nullptr) {
      piece += 'n';
    } else {
      piece += 'b';
      AppendUInt64(piece, part.data->size());
      AppendUInt64(piece, HashPartBytes(*part.data));
    }
    parts.push_back(std::move(piece));
  }
  AppendParties(key, std::move(parts));
  if (numbers == NumberForm::kLeftOut) return;
  std::vector<std::string> addresses;
  for (const MmsAddress& address : multimedia.addresses) {
    std::string piece;
    AppendUInt64(piece, static_cast<uint32_t>(address.role));
    AppendNumber(piece, address.address, numbers);
    addresses.push_back(std::move(piece));
  }
  AppendParties(key, std::move(addresses));
}

// The sender as a side of its own: none or one party, so nothing to sort, as AppendParties writes
// it.
void AppendSender(std::string& key, const MessageRecord& message, NumberForm numbers) {
  if (message.senderAddress.empty()) return AppendUInt64(key, 0);
  AppendUInt64(key, 1);
  AppendPieceWith(key, [&] { AppendNumber(key, message.senderAddress, numbers); });
}

void AppendRecipients(std::string& key, const MessageRecord& message,
                      const IdentityFields& fields, NumberForm numbers) {
  auto party = [&](const RecordRecipient& recipient, std::string& into) {
    AppendNumber(into, recipient.address, numbers);
    if (fields.recipientTypes) AppendUInt64(into, static_cast<uint32_t>(recipient.type));
  };
  if (message.recipients.size() == 1) {
    // Most messages have one: written in place, as AppendParties writes one.
    AppendUInt64(key, 1);
    return AppendPieceWith(key, [&] { party(message.recipients.front(), key); });
  }
  std::vector<std::string> recipients(message.recipients.size());
  for (size_t i = 0; i < recipients.size(); ++i) party(message.recipients[i], recipients[i]);
  AppendParties(key, std::move(recipients));
}

// The other side of a received message is its sender, of any other its recipients; the own
// number is the rest.
void AppendPartiesOf(std::string& key, const MessageRecord& message, const IdentityFields& fields,
                     bool received, NumberForm numbers) {
  if (fields.ownNumber) {
    // Both sides: which one is the own does not matter (nor need the folder be known).
    AppendSender(key, message, numbers);
    AppendRecipients(key, message, fields, numbers);
  } else if (received) {
    AppendSender(key, message, numbers);
  } else {
    AppendRecipients(key, message, fields, numbers);
  }
}

// A folder path parsed. Parsing costs more than the rest of a key, and a file's messages come
// from few folders: the paths seen last are kept per thread.
struct ParsedFolder {
  FolderPathResult result = FolderPathResult::kOk;
  FolderPath path;
};

// The reference holds until this thread's next call.
const ParsedFolder& ParseFolder(std::u16string_view path) {
  thread_local TextKeyedMap<ParsedFolder> parsed;
  auto found = parsed.find(path);
  if (found != parsed.end()) return found->second;
  if (parsed.size() >= 256) parsed.clear();
  ParsedFolder& folder = parsed[std::u16string(path)];
  folder.result = ParseFolderPath(path, folder.path);
  return folder;
}

// The other party of a call (message_record.h): the part of its key that PartiesKey makes.
void AppendCallParty(std::string& key, const MessageRecord& call, NumberForm numbers) {
  if (numbers == NumberForm::kLeftOut) return;
  const std::u16string& number =
      call.recipients.empty() ? call.senderAddress : call.recipients.front().address;
  AppendPieceWith(key, [&] { AppendNumber(key, number, numbers); });
}

// A call of the call log is the same call where the other party's number (in one form), the
// call's type and its millisecond agree; whatever else the files keep of it (duration, names,
// the phone's columns) does not decide. It starts with a byte no message's key starts with
// where both keep folders, and is never the same as a message.
std::string CallKey(const MessageRecord& call, NumberForm numbers) {
  std::string key(1, '\xCA');
  AppendUInt64(key, FileTimeToUInt64(call.deliveryTime) / kFileTimeTicksPerMs);
  const Column* type = FindColumn(call.phoneColumns, "type");
  AppendPieceWith(key, [&] {
    if (type != nullptr && *type) AppendWide(key, **type);
  });
  AppendCallParty(key, call, numbers);
  return key;
}

}  // namespace

IdentityFields CommonFields(const IdentityFields& a, const IdentityFields& b) {
  return IdentityFields{a.standardFolders && b.standardFolders, a.subfolders && b.subfolders,
                        a.ownNumber && b.ownNumber, a.recipientTypes && b.recipientTypes,
                        a.exactTimes && b.exactTimes, a.codePageText || b.codePageText,
                        a.folder && b.folder};
}

std::string IdentityKey(const MessageRecord& message, const IdentityFields& fields,
                        NumberForm numbers, const OwnNumbers* own) {
  std::string key;
  if (message.kind == EntryKind::kCall) return CallKey(message, numbers);
  key.reserve(64 + message.text.size() * 2);
  const ParsedFolder& folder = ParseFolder(message.folderPath);
  const FolderPath& path = folder.path;
  bool received = false;
  if (folder.result != FolderPathResult::kOk) {
    // Not below a standard folder: only the very same path is the same folder.
    if (fields.folder) {
      key += 'x';
      AppendUInt64(key, message.folderPath.size());
      AppendWide(key, message.folderPath);
    }
  } else {
    const Direction direction = DirectionOf(path.kind, message, own);
    received = direction == Direction::kReceived;
    if (fields.folder) key += static_cast<char>(direction);
    if (fields.folder && fields.standardFolders) {
      key += static_cast<char>('0' + static_cast<int>(path.kind));
    }
    if (fields.folder && fields.subfolders) {
      AppendUInt64(key, path.subfolders.size());
      for (const std::u16string& name : path.subfolders) {
        AppendUInt64(key, name.size());
        AppendWide(key, name);
      }
    }
  }
  const uint64_t time = FileTimeToUInt64(message.deliveryTime);
  AppendUInt64(key, fields.exactTimes ? time : time / kFileTimeTicksPerMs);
  if (fields.codePageText) {
    AppendCodePageText(key, message.text);
  } else {
    AppendUInt64(key, message.text.size());
    AppendWide(key, message.text);
  }
  if (numbers != NumberForm::kLeftOut) AppendPartiesOf(key, message, fields, received, numbers);
  // Everything before is a whole key of its own: with the multimedia after it, an SMS and a
  // multimedia message never agree.
  if (message.multimedia) AppendMultimedia(key, *message.multimedia, numbers);
  return key;
}

std::string PartiesKey(const MessageRecord& message, const IdentityFields& fields,
                       NumberForm numbers, const OwnNumbers* own) {
  std::string key;
  if (numbers == NumberForm::kLeftOut) return key;
  if (message.kind == EntryKind::kCall) {
    AppendCallParty(key, message, numbers);
    return key;
  }
  bool received = false;
  if (!fields.ownNumber) {
    const ParsedFolder& folder = ParseFolder(message.folderPath);
    received = folder.result == FolderPathResult::kOk &&
               DirectionOf(folder.path.kind, message, own) == Direction::kReceived;
  }
  AppendPartiesOf(key, message, fields, received, numbers);
  return key;
}

uint64_t HashBytes(std::string_view bytes, uint64_t seed) {
  return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

IdentityHash HashIdentityKey(const std::string& key) {
  const XXH128_hash_t hash = XXH3_128bits(key.data(), key.size());
  return IdentityHash{hash.high64, hash.low64};
}

uint32_t Richness(const MessageRecord& message) {
  // Counted in a form the compiler vectorises.
  uint32_t questionMarks = 0;
  for (char16_t c : message.text) questionMarks += c == u'?' ? 1 : 0;
  const uint32_t text = 0xFFFF - std::min<uint32_t>(questionMarks, 0xFFFF);
  const bool subfolder = message.folderPath.find(u'\\') != std::u16string::npos;
  bool names = !message.senderName.empty();
  for (const RecordRecipient& recipient : message.recipients) {
    names = names || !recipient.displayName.empty();
  }
  const bool ownNumber = !message.senderAddress.empty() && !message.recipients.empty();
  const bool fineTime = FileTimeToUInt64(message.deliveryTime) % kFileTimeTicksPerMs != 0;
  return text << 16 | uint32_t{subfolder} << 3 | uint32_t{names} << 2 | uint32_t{ownNumber} << 1 |
         uint32_t{fineTime};
}

}  // namespace larkpost

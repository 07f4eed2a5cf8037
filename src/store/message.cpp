#include "store/message.h"

#include "platform/text/text.h"
#include "store/media_and_calls.h"

#include <cstring>
#include <vector>

#include "backupfile/address.h"
#include "store/folder.h"
#include "store/store_internal.h"

namespace larkpost {

SmsMessage::SmsMessage(SmsFolder* folder, IMessage* openMessage) : message(openMessage) {
  Load();
  this->folder = folder;
}

SmsMessage::~SmsMessage() {
  message.reset();
  recipients.reset();
}

const SPropTagArray& SmsMessage::PropTags() {
  static constexpr ULONG kTags[] = {PR_ENTRYID,
                                    PR_MESSAGE_FLAGS,
                                    PR_SUBJECT,
                                    PR_LAST_MODIFICATION_TIME,
                                    PR_MESSAGE_DELIVERY_TIME,
                                    PR_SENDER_EMAIL_ADDRESS,
                                    PR_SENDER_NAME,
                                    PR_MESSAGE_SIZE,
                                    PR_LARKPOST_COLUMNS};
  static const SPropTagArray tags{9, kTags};
  return tags;
}

bool SmsMessage::Load() {
  if (!message) return false;
  ULONG count = 0;
  MapiBuffer<SPropValue> values;
  const HRESULT hr = message->GetProps(&PropTags(), MAPI_UNICODE, &count, values.put());
  // A warning means some properties are missing (they come back as PT_ERROR values, which the
  // tag switch skips); the ones that did come back are still the message's.
  loaded = (hr == S_OK || hr == MAPI_W_ERRORS_RETURNED) && values;
  if (loaded) TakeProps(values.get(), count);
  return loaded;
}

void SmsMessage::TakeProps(const SPropValue* values, ULONG count) {
  // A bare address (a message that did not come from a backup) leaves the name to
  // PR_SENDER_NAME when the store has one.
  bool bareSender = false;
  const SPropValue* exactName = nullptr;
  for (ULONG i = 0; i < count; ++i) {
    const SPropValue& value = values[i];
    switch (value.ulPropTag) {
      case PR_ENTRYID:
        entryId = EntryId::FromBinary(value.Value.bin);
        break;
      case PR_MESSAGE_FLAGS:
        flags = value.Value.ul;
        break;
      case PR_SUBJECT:
        text = TextOf(value.Value.lpszW);
        break;
      case PR_LAST_MODIFICATION_TIME:
        lastModified = value.Value.ft;
        break;
      case PR_MESSAGE_DELIVERY_TIME:
        deliveryTime = value.Value.ft;
        break;
      case PR_SENDER_EMAIL_ADDRESS: {
        // Messages this program restored hold "\"name\" <address>"; others a bare address.
        const std::u16string_view sender = TextOf(value.Value.lpszW);
        if (!ParseSenderText(*this, sender)) {
          senderAddress = sender;
          senderName = sender;
          bareSender = true;
        }
        break;
      }
      case PR_SENDER_NAME: {
        const std::u16string_view name = TextOf(value.Value.lpszW);
        if (senderName.empty() || (bareSender && !name.empty())) senderName = name;
        exactName = &value;
        break;
      }
      case PR_MESSAGE_SIZE:
        size = value.Value.ul;
        break;
      case PR_LARKPOST_COLUMNS:
        // Columns a phone's file gave the message; a list that does not decode is none.
        if (!DecodeColumns(std::string_view(reinterpret_cast<const char*>(value.Value.bin.lpb),
                                            value.Value.bin.cb),
                           phoneColumns)) {
          phoneColumns.clear();
        }
        break;
      default:
        break;
    }
  }
  // The sender text is split in the code page, which spells only its own characters: the name
  // it gives is the name the store holds exactly, with a "?" for each other character. The
  // exact one is taken then (a backup file still writes it in its code page, as before).
  if (exactName != nullptr && !bareSender) {
    const std::u16string_view name = TextOf(exactName->Value.lpszW);
    if (name != senderName && AnsiToWide(WideToAnsi(name)) == senderName) senderName = name;
  }
}

RecipientList* SmsMessage::Recipients() {
  if (recipients) return recipients.get();
  if (!message) return nullptr;
  MapiPtr<IMAPITable> table;
  const HRESULT hr = message->GetRecipientTable(0, table.put());
  if (hr == MAPI_E_NO_RECIPIENTS) {
    recipients = std::make_unique<RecipientList>();
    return recipients.get();
  }
  if (hr != S_OK || !table) return nullptr;

  auto list = std::make_unique<RecipientList>();
  const HRESULT fetched = ForEachRow(*table, 1, [&list](const SRow& row) {
    list->push_back(RecipientFromRow(row));
    return true;
  });
  // A list cut short by a failing fetch would pass for the complete one; give none instead, and
  // the next call reads the table again.
  if (fetched < 0) return nullptr;
  recipients = std::move(list);
  return recipients.get();
}

std::unique_ptr<SmsRecipient> RecipientFromRow(const SRow& row) {
  auto recipient = std::make_unique<SmsRecipient>();  // a row without a type is MAPI_TO
  for (ULONG i = 0; i < row.cValues; ++i) {
    const SPropValue& value = row.lpProps[i];
    switch (value.ulPropTag) {
      case PR_RECIPIENT_TYPE:
        recipient->type = value.Value.l;
        break;
      case PR_DISPLAY_NAME:
        recipient->displayName = TextOf(value.Value.lpszW);
        break;
      case PR_EMAIL_ADDRESS:
        recipient->address = TextOf(value.Value.lpszW);
        break;
      default:
        break;
    }
  }
  return recipient;
}

std::u16string SmsMessage::SenderText() const {
  return u"\"" + senderName + u"\" <" + senderAddress + u">";
}

namespace {

// A block of the messaging interface holding `bytes` zeros, or nothing when out of memory.
template <class T>
bool AllocateZeroed(size_t bytes, MapiBuffer<T>& block) {
  if (MAPIAllocateBuffer(static_cast<ULONG>(bytes), reinterpret_cast<void**>(block.put())) != S_OK ||
      !block) {
    return false;
  }
  std::memset(block.get(), 0, bytes);
  return true;
}

// A terminated copy of the text in a block of the messaging interface; false when out of memory.
bool CopyText(const std::u16string& text, MapiBuffer<char16_t>& copy) {
  if (!AllocateZeroed((text.size() + 1) * sizeof(char16_t), copy)) return false;
  std::memcpy(copy.get(), text.data(), text.size() * sizeof(char16_t));
  return true;
}

}  // namespace

bool SmsMessage::Save(HRESULT* failure) {
  auto refused = [failure](HRESULT hr) {
    if (failure != nullptr) *failure = hr;
    return false;
  };
  if (!message) return refused(MAPI_E_CALL_FAILED);
  const std::u16string sender = SenderText();
  SPropValue values[8] = {};
  values[0].ulPropTag = PR_MESSAGE_FLAGS;
  values[0].Value.ul = flags;
  values[1].ulPropTag = PR_SUBJECT;
  values[1].Value.lpszW = const_cast<char16_t*>(text.c_str());
  values[2].ulPropTag = PR_LAST_MODIFICATION_TIME;
  values[2].Value.ft = lastModified;
  values[3].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
  values[3].Value.ft = deliveryTime;
  values[4].ulPropTag = PR_MESSAGE_CLASS;
  values[4].Value.lpszW = const_cast<char16_t*>(messageClass.c_str());
  values[5].ulPropTag = PR_SENDER_EMAIL_ADDRESS;
  values[5].Value.lpszW = const_cast<char16_t*>(sender.c_str());
  values[6].ulPropTag = PR_MESSAGE_SIZE;
  values[6].Value.ul = size;
  values[7].ulPropTag = PR_SENDER_NAME;
  values[7].Value.lpszW = const_cast<char16_t*>(senderName.c_str());
  if (const HRESULT hr = message->SetProps(8, values, nullptr); hr != S_OK) return refused(hr);

  // The list is written whenever one was set, whether read through Recipients() or made by the
  // caller because the recipient table could not be opened.
  if (!recipients || recipients->empty()) return true;

  // The list is one block and each entry's values another, its two texts one each; every block
  // is held until the recipients are written, and all of them are freed on any way out.
  const size_t n = recipients->size();
  MapiBuffer<ADRLIST> list;
  if (!AllocateZeroed(CbNewADRLIST(n), list)) return refused(MAPI_E_NOT_ENOUGH_MEMORY);
  list.get()->cEntries = static_cast<ULONG>(n);
  std::vector<MapiBuffer<SPropValue>> entries(n);
  std::vector<MapiBuffer<char16_t>> texts(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const SmsRecipient& recipient = *(*recipients)[i];
    if (!AllocateZeroed(3 * sizeof(SPropValue), entries[i])) {
      return refused(MAPI_E_NOT_ENOUGH_MEMORY);
    }
    SPropValue* entry = entries[i].get();
    list.get()->aEntries[i].cValues = 3;
    list.get()->aEntries[i].rgPropVals = entry;
    entry[0].ulPropTag = PR_EMAIL_ADDRESS;
    entry[1].ulPropTag = PR_RECIPIENT_TYPE;
    entry[1].Value.l = recipient.type;
    entry[2].ulPropTag = PR_DISPLAY_NAME;
    if (!CopyText(recipient.address, texts[2 * i]) ||
        !CopyText(recipient.displayName, texts[2 * i + 1])) {
      return refused(MAPI_E_NOT_ENOUGH_MEMORY);
    }
    entry[0].Value.lpszW = texts[2 * i].get();
    entry[2].Value.lpszW = texts[2 * i + 1].get();
  }
  const HRESULT hr = message->ModifyRecipients(MODRECIP_ADD, list.get());
  return hr == S_OK || refused(hr);
}

bool ParseSenderText(SmsMessage& message, std::u16string_view text) {
  return SplitSenderText(text, message.senderName, message.senderAddress);
}

std::unique_ptr<SmsRecipient> ParseRecipientText(std::u16string_view text) {
  RecordRecipient parsed;
  if (!SplitRecipientText(text, parsed)) return nullptr;
  auto recipient = std::make_unique<SmsRecipient>();
  recipient->displayName = std::move(parsed.displayName);
  recipient->address = std::move(parsed.address);
  recipient->type = parsed.type;
  return recipient;
}

std::u16string FolderPathOf(const SmsFolder& folder) {
  std::vector<const SmsFolder*> chain;
  for (const SmsFolder* level = &folder; level != nullptr; level = level->parent) {
    chain.push_back(level);
  }
  std::u16string path;
  for (auto level = chain.rbegin(); level != chain.rend(); ++level) {
    if (level != chain.rbegin()) path += u'\\';
    path += (*level)->displayName;
  }
  return path;
}

bool RecordFromMessage(SmsMessage& message, MessageRecord& record) {
  if (message.folder == nullptr) return false;
  const RecipientList* recipients = message.Recipients();
  if (recipients == nullptr) return false;
  record.messageClass = message.messageClass;
  record.folderPath = FolderPathOf(*message.folder);
  record.lastModified = message.lastModified;
  record.deliveryTime = message.deliveryTime;
  record.flags = message.flags;
  record.size = message.size;
  record.recipients.clear();
  for (const auto& recipient : *recipients) {
    record.recipients.push_back({recipient->displayName, recipient->address, recipient->type});
  }
  record.senderName = message.senderName;
  record.senderAddress = message.senderAddress;
  record.text = message.text;
  record.phoneColumns = message.phoneColumns;
  return true;
}

}  // namespace larkpost

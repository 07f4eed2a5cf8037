// The sender and recipient splitters on any text. Input: UTF-16 code units, little-endian.
// Splitting must finish in time linear in the text and never read outside it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "backupfile/address.h"
#include "store/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t k = 0; k < text.size(); ++k) {
    text[k] = static_cast<char16_t>(data[2 * k] | (data[2 * k + 1] << 8));
  }
  larkpost::SmsMessage message(nullptr, nullptr);
  larkpost::ParseSenderText(message, text);
  for (const std::u16string& entry : larkpost::SplitText(text, std::u16string(u";"))) {
    larkpost::ParseRecipientText(entry);
  }
  return 0;
}

// The sender and recipient splitters on any text. Input: UTF-16 code units, little-endian.
// Splitting must finish in time linear in the text and never read outside it. Entries up to a
// length go through the matcher and longer ones through a scan; on every text short enough for
// the matcher to answer quickly, both must find the same groups.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backupfile/address.h"
#include "platform/text/text.h"

namespace {

using larkpost::address_internal::Split;

bool SameGroups(const Split& a, const Split& b) {
  return a.nameStart == b.nameStart && a.nameEnd == b.nameEnd &&
         a.addressStart == b.addressStart && a.addressEnd == b.addressEnd &&
         a.typeStart == b.typeStart && a.typeEnd == b.typeEnd;
}

void ScanAgreesWithMatcher(const std::string& narrow) {
  for (const bool recipient : {false, true}) {
    Split byMatcher, byScan;
    const bool matched = larkpost::address_internal::SplitWithMatcher(narrow, recipient, byMatcher);
    const bool scanned = larkpost::address_internal::SplitByScan(narrow, recipient, byScan);
    if (matched != scanned || (matched && !SameGroups(byMatcher, byScan))) {
      fprintf(stderr, "the scan and the matcher split a %s line differently\n",
              recipient ? "recipient" : "sender");
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t k = 0; k < text.size(); ++k) {
    text[k] = static_cast<char16_t>(data[2 * k] | (data[2 * k + 1] << 8));
  }
  if (text.size() <= 4096) ScanAgreesWithMatcher(larkpost::WideToAnsi(text));

  std::u16string name, address;
  larkpost::SplitSenderText(text, name, address);
  for (const std::u16string& entry : larkpost::SplitText(text, std::u16string(u";"))) {
    larkpost::RecordRecipient recipient;
    larkpost::SplitRecipientText(entry, recipient);
  }
  return 0;
}

// Helpers for the store's tests: a fresh database file per test and a few raw calls of the
// messaging interface, so tests build their stores by hand rather than with the code under test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "platform/mapi/mapi_test_support.h"
#include "platform/mapi/provider.h"
#include "store/folder.h"
#include "store/session.h"

namespace larkpost::testing {

// The temporary database of mapi_test_support.h, made with its "SMS" store before the test.
class TempStore : public mapi::testing::TempDatabase {
 public:
  TempStore() { EXPECT_EQ(mapi::InitializeDatabase(path()), S_OK); }
};

// Property values: Long(tag, value), Text(tag, text), Time(tag, low, high).
using mapi::testing::Long;
using mapi::testing::Text;
using mapi::testing::Time;

// Creates a message with exactly these properties and, when given, one recipient per value list.
inline void AddRawMessage(SmsFolder& folder, std::vector<SPropValue> props,
                          std::vector<std::vector<SPropValue>> recipients = {}) {
  MapiPtr<IMessage> message;
  ASSERT_EQ(folder.folder->CreateMessage(nullptr, 0, message.put()), S_OK);
  if (!props.empty()) {
    ASSERT_EQ(message->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr), S_OK);
  }
  if (recipients.empty()) return;
  std::vector<unsigned char> block(CbNewADRLIST(static_cast<ULONG>(recipients.size())));
  auto* list = reinterpret_cast<ADRLIST*>(block.data());
  list->cEntries = static_cast<ULONG>(recipients.size());
  for (size_t i = 0; i < recipients.size(); ++i) {
    list->aEntries[i].cValues = static_cast<ULONG>(recipients[i].size());
    list->aEntries[i].rgPropVals = recipients[i].data();
  }
  ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
}

// A message with just a delivery time (high half 1, low half `low`) and a subject.
inline void AddTimedMessage(SmsFolder& folder, uint32_t low, const char16_t* subject = u"") {
  AddRawMessage(folder, {Time(PR_MESSAGE_DELIVERY_TIME, low, 1), Text(PR_SUBJECT, subject)});
}

// The names of the folder's subfolders as the store lists them (through a fresh wrapper list).
inline std::vector<std::u16string> SubfolderNames(SmsFolder& folder) {
  folder.subfolders.reset();
  std::vector<std::u16string> names;
  if (auto* list = folder.Subfolders()) {
    for (auto& child : *list) names.push_back(child->displayName);
  }
  return names;
}

}  // namespace larkpost::testing

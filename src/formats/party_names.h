// Names of the parties of messages, from an address book: an iPhone backup's
// (AddressBook.sqlitedb) or a vCard file (3.0 or 4.0, as phones and address books export them).
// A number is found however it is written, matched the way a restore matches numbers
// (identity/phone_number.h: "+49 151 2345678" is "01512345678" in region DE); an e-mail address
// in any letter case.
#pragma once

#include <string>
#include <unordered_map>

#include "formats/ios_sqlite.h"

namespace larkpost {

class PartyNames {
 public:
  // Keeps the first name given for an address.
  void Add(const std::u16string& address, const std::u16string& name);
  // The name known for the address; empty when none is.
  std::u16string NameOf(const std::u16string& address) const;
  bool empty() const { return names_.empty(); }

 private:
  std::unordered_map<std::u16string, std::u16string> names_;
};

// The phone numbers (property 3) and e-mail addresses (property 4) of the people of an iPhone's
// AddressBook.sqlitedb (ABPerson First, Last, Organization; ABMultiValue record_id, value).
void AddAddressBookNames(sqlite3* addressBook, PartyNames& names);

// The numbers (TEL) and e-mail addresses (EMAIL) of every card of a vCard file's text, named by
// its FN, else its N ("Given Family"), else its ORG.
void AddVCardNames(std::string_view vcards, PartyNames& names);

}  // namespace larkpost

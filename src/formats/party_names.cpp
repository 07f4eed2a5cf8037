#include "formats/party_names.h"

#include <vector>

#include "identity/phone_number.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::u16string Joined(std::initializer_list<std::u16string> words) {
  std::u16string joined;
  for (const std::u16string& word : words) {
    if (word.empty()) continue;
    if (!joined.empty()) joined += u' ';
    joined += word;
  }
  return joined;
}

// The lines of a vCard text with folded lines joined (a line beginning with a space or a tab
// continues the one before).
std::vector<std::string> UnfoldedLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!lines.empty() && (line.starts_with(' ') || line.starts_with('\t'))) {
      lines.back() += line.substr(1);
    } else {
      lines.emplace_back(line);
    }
    at = end + 1;
  }
  return lines;
}

// A text value with vCard's escapes ("\,", "\;", "\\", "\n") undone.
std::string Unescaped(std::string_view value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      ++i;
      text += value[i] == 'n' || value[i] == 'N' ? ' ' : value[i];
    } else {
      text += value[i];
    }
  }
  return text;
}

// The components of a structured value (N: family;given;additional;prefix;suffix).
std::vector<std::string> Components(std::string_view value) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      parts.back() += value.substr(i, 2);
      ++i;
    } else if (value[i] == ';') {
      parts.emplace_back();
    } else {
      parts.back() += value[i];
    }
  }
  for (std::string& part : parts) part = Unescaped(part);
  return parts;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return upper;
}

struct Card {
  std::string fullName;
  std::string structuredName;
  std::string organisation;
  std::vector<std::string> addresses;
};

void AddCard(const Card& card, PartyNames& names) {
  const std::string& name = !card.fullName.empty()         ? card.fullName
                            : !card.structuredName.empty() ? card.structuredName
                                                           : card.organisation;
  if (name.empty()) return;
  for (const std::string& address : card.addresses) names.Add(Utf8ToWide(address), Utf8ToWide(name));
}

}  // namespace

void PartyNames::Add(const std::u16string& address, const std::u16string& name) {
  if (address.empty() || name.empty()) return;
  names_.emplace(NormalisedNumber(address), name);
}

std::u16string PartyNames::NameOf(const std::u16string& address) const {
  if (names_.empty() || address.empty()) return std::u16string();
  const auto found = names_.find(std::u16string(NormalisedNumberView(address)));
  return found != names_.end() ? found->second : std::u16string();
}

void AddAddressBookNames(sqlite3* addressBook, PartyNames& names) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(addressBook,
                         "SELECT p.First, p.Last, p.Organization, v.value FROM ABMultiValue v "
                         "JOIN ABPerson p ON p.ROWID = v.record_id "
                         "WHERE v.property IN (3, 4) AND v.value IS NOT NULL ORDER BY v.UID",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    return;  // not an address book: no names
  }
  auto text = [stmt](int column) {
    const unsigned char* value = sqlite3_column_text(stmt, column);
    return value != nullptr ? Utf8ToWide(reinterpret_cast<const char*>(value)) : std::u16string();
  };
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::u16string name = Joined({text(0), text(1)});
    if (name.empty()) name = text(2);
    names.Add(text(3), name);
  }
  sqlite3_finalize(stmt);
}

void AddVCardNames(std::string_view vcards, PartyNames& names) {
  Card card;
  for (const std::string& line : UnfoldedLines(vcards)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string property = Upper(line.substr(0, line.find_first_of(";:")));
    if (const size_t dot = property.find('.'); dot != std::string::npos) {
      property.erase(0, dot + 1);  // "item1.TEL"
    }
    const std::string_view value = std::string_view(line).substr(colon + 1);
    if (property == "BEGIN") {
      card = Card{};
    } else if (property == "END") {
      AddCard(card, names);
      card = Card{};
    } else if (property == "FN") {
      card.fullName = Unescaped(value);
    } else if (property == "N") {
      const std::vector<std::string> parts = Components(value);
      card.structuredName = WideToUtf8(Joined({Utf8ToWide(parts.size() > 1 ? parts[1] : ""),
                                               Utf8ToWide(parts[0])}));
    } else if (property == "ORG") {
      card.organisation = Components(value).front();
    } else if (property == "TEL" || property == "EMAIL") {
      std::string address = Unescaped(value);
      // vCard 4 may give a number as a URI: "tel:+1-555-555-0100;ext=5".
      if (Upper(address.substr(0, 4)) == "TEL:") address.erase(0, 4);
      if (Upper(address.substr(0, 7)) == "MAILTO:") address.erase(0, 7);
      address = address.substr(0, address.find(';'));
      if (!address.empty()) card.addresses.push_back(address);
    }
  }
}

}  // namespace larkpost

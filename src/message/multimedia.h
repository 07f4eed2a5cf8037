// The multimedia side of a message, as the phones' files keep it: the parts (text, pictures,
// audio, SMIL layout), the addresses with their roles, and every column of the entry that has no
// field of its own, kept under the name the file gave it, so that a conversion between the
// phones' formats loses nothing. The store and backup files hold SMS only: a message with
// multimedia travels between phone files and pages, and is left out, counted, everywhere else.
//
// A message with multimedia still fills the fields every format reads (message_record.h): its
// folder from the phone's box, its delivery time, the read flag, the From address as the sender
// and the other addresses as recipients (to 1, cc 2, bcc 3), the contact's name as the parties'
// name, and as text the texts of its text/plain parts joined by line feeds.
//
// A binary part's bytes are never held whole in memory: they stay where the reader found them
// (an entry of a ZIP) or in a spool file (formats/part_spool.h), and are streamed out on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace larkpost {

// Fills up to `capacity` bytes and returns how many; 0 at the end. May throw CFileException.
using ByteSource = std::function<size_t(char* buffer, size_t capacity)>;

// The bytes of one binary part, kept outside memory and read from the start each time Open is
// called, as often as wanted, while the message is alive.
class PartBytes {
 public:
  virtual ~PartBytes() = default;
  virtual uint64_t size() const = 0;
  // A source of the bytes from the first. Throws CFileException when they cannot be read, and
  // std::logic_error for bytes a listing only counted (PartSpool::kCountOnly).
  virtual ByteSource Open() const = 0;
};

// Bytes held in memory: for small parts, and for building messages in tests.
std::shared_ptr<const PartBytes> BytesInMemory(std::string bytes);

// All the bytes of a part in memory: for tests and for the small parts a page shows inline.
std::string ReadAllBytes(const PartBytes& bytes);

// A column's value as the file holds it: a text, or null (the XML's "null", JSON's null).
using Column = std::optional<std::u16string>;

struct NamedColumn {
  std::string name;  // as the file names it: "m_type", "ctt_s", "sub_cs", ...
  Column value;
  bool operator==(const NamedColumn&) const = default;
};
using Columns = std::vector<NamedColumn>;

// The value of the column `name`, or null when there is none of that name.
const Column* FindColumn(const Columns& columns, std::string_view name);

// An address's role, as Android's addr.type holds it.
enum MmsRole : int { kRoleFrom = 137, kRoleTo = 151, kRoleCc = 130, kRoleBcc = 129 };

struct MmsAddress {
  std::u16string address;
  int role = kRoleTo;
  Column charset;  // "106" is UTF-8
  Columns extras;  // the address's other columns: _id, msg_id, contact_id, ...
  bool operator==(const MmsAddress&) const = default;
};

struct MessagePart {
  Column seq;                 // "0", "-1" for the SMIL layout
  Column contentType;         // ct: "text/plain", "image/jpeg", "application/smil", ...
  Column name;                // name
  Column charset;             // chset: "106"
  Column contentDisposition;  // cd
  Column fileName;            // fn
  Column contentId;           // cid: "<image000000>"
  Column contentLocation;     // cl: "image000000.jpg"
  Column text;                // text: a text or SMIL part's content
  std::shared_ptr<const PartBytes> data;  // a binary part's content; null when it has none
  Columns extras;             // ctt_s, ctt_t and any other column of the part
};

struct Multimedia {
  std::vector<MmsAddress> addresses;  // in the file's order, every role
  std::vector<MessagePart> parts;     // in the file's order
  Columns extras;                     // the entry's other columns: m_type, sub, ct_t, text_only, ...
};

// A part that a phone keeps as text in its own column, never as a file: text/* and the SMIL
// layout (application/smil), by the content type without its parameters, in any letter case.
bool IsTextPart(const MessagePart& part);

// The text a text part holds: its text column, or else its bytes read as UTF-8 (Latin-1 when
// they are not UTF-8); null when it holds neither.
Column TextOfTextPart(const MessagePart& part);

// Equal when every column is and every part holds the same bytes (read and compared).
bool SameMultimedia(const Multimedia& a, const Multimedia& b);

// A message's multimedia, shared by copies of the message; compared by content, so that
// MessageRecord's comparison stays a comparison of everything it holds.
struct MultimediaRef {
  std::shared_ptr<const Multimedia> value;
  explicit operator bool() const { return value != nullptr; }
  const Multimedia* operator->() const { return value.get(); }
  const Multimedia& operator*() const { return *value; }
  bool operator==(const MultimediaRef& other) const;
};

}  // namespace larkpost

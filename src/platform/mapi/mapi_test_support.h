// Helpers of the messaging layer's tests: a database file in a fresh temporary folder, and short
// ways to log on, open the "SMS" store and its folders, and build or read property values.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace larkpost::mapi::testing {

// A temporary folder (testing/temp_dir.h) whose messages.db becomes the database MAPILogonEx
// opens, with no faults planned.
class TempDatabase {
 public:
  TempDatabase() : path_(folder_.PathOf("messages.db")) {
    SetDatabasePath(path_);
    ClearFaults();
  }
  ~TempDatabase() { ClearFaults(); }
  const std::string& dir() const { return folder_.path(); }
  const std::string& path() const { return path_; }
  // A file of that name in the folder, for backups and other output.
  std::u16string File(const std::string& name) const { return folder_.File(name); }
  // Makes another database of this folder the one MAPILogonEx opens (a second store).
  void UseDatabase(const std::string& name) { SetDatabasePath(folder_.PathOf(name)); }

 private:
  larkpost::testing::TempDir folder_;
  std::string path_;
};

// Owns a GetProps or QueryRows result.
struct PropBuffer {
  ULONG count = 0;
  SPropValue* values = nullptr;
  ~PropBuffer() { MAPIFreeBuffer(values); }
  const SPropValue& operator[](size_t i) const { return values[i]; }
};
struct RowBuffer {
  SRowSet* rows = nullptr;
  ~RowBuffer() { FreeProws(rows); }
  ULONG size() const { return rows == nullptr ? 0 : rows->cRows; }
  const SRow& operator[](size_t i) const { return rows->aRow[i]; }
};

inline SPropValue Long(ULONG tag, LONG value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.l = value;
  return v;
}
inline SPropValue Text(ULONG tag, const char16_t* text) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszW = const_cast<char16_t*>(text);
  return v;
}
inline SPropValue Time(ULONG tag, uint32_t low, uint32_t high) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.ft = FILETIME{low, high};
  return v;
}
inline SPropValue Binary(ULONG tag, const std::string& bytes) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.bin.cb = static_cast<ULONG>(bytes.size());
  v.Value.bin.lpb = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
  return v;
}
inline std::u16string TextOf(const SPropValue& v) {
  return PROP_TYPE(v.ulPropTag) == PT_UNICODE ? std::u16string(v.Value.lpszW) : u"<not text>";
}
inline std::string BytesOf(const SPropValue& v) {
  if (PROP_TYPE(v.ulPropTag) != PT_BINARY) return "<not binary>";
  return std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
}

// Reads the given tags of any object; the result code goes to *hr.
inline HRESULT GetProps(IMAPIProp* object, std::vector<ULONG> tags, PropBuffer* out) {
  SPropTagArray array{static_cast<ULONG>(tags.size()), tags.data()};
  return object->GetProps(&array, MAPI_UNICODE, &out->count, &out->values);
}

inline std::string EntryIdOf(IMAPIProp* object) {
  PropBuffer props;
  EXPECT_EQ(GetProps(object, {PR_ENTRYID}, &props), S_OK);
  return props.count == 1 ? BytesOf(props[0]) : std::string();
}

// What OpenEntry answers for an entry identifier, asked of a session, a store or a folder: the
// result, the object's type, and the object itself (held, so it is released).
struct OpenedEntry {
  HRESULT result = S_OK;
  ULONG type = 0;
  MapiPtr<IUnknown> object;
  // The object as the interface its type names.
  template <class Interface>
  MapiPtr<Interface> As() {
    return MapiPtr<Interface>(static_cast<Interface*>(object.release()));
  }
};
template <class Container>
OpenedEntry OpenEntryId(Container* container, const SBinary& id, ULONG flags = 0) {
  OpenedEntry opened;
  opened.result = container->OpenEntry(id.cb, id.lpb, nullptr, flags, &opened.type,
                                       opened.object.put());
  return opened;
}
template <class Container>
OpenedEntry OpenEntryId(Container* container, const std::string& id, ULONG flags = 0) {
  SBinary bytes{static_cast<ULONG>(id.size()),
                reinterpret_cast<BYTE*>(const_cast<char*>(id.data()))};
  return OpenEntryId(container, bytes, flags);
}

inline MapiPtr<IMAPISession> Logon() {
  MapiPtr<IMAPISession> session;
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, session.put()), S_OK);
  return session;
}

// Opens the first store with this display name, as the program does.
inline MapiPtr<IMsgStore> OpenStore(IMAPISession* session, const std::u16string& name = u"SMS") {
  MapiPtr<IMAPITable> stores;
  EXPECT_EQ(session->GetMsgStoresTable(0, stores.put()), S_OK);
  if (!stores) return {};
  ULONG columns[] = {PR_ENTRYID, PR_DISPLAY_NAME};
  SPropTagArray tags{2, columns};
  EXPECT_EQ(stores->SetColumns(&tags, 0), S_OK);
  for (;;) {
    RowBuffer row;
    EXPECT_EQ(stores->QueryRows(1, 0, &row.rows), S_OK);
    if (row.size() == 0) return {};
    if (TextOf(row[0].lpProps[1]) == name) {
      OpenedEntry opened = OpenEntryId(session, row[0].lpProps[0].Value.bin, MAPI_BEST_ACCESS);
      EXPECT_EQ(opened.result, S_OK);
      EXPECT_EQ(opened.type, MAPI_STORE);
      return opened.As<IMsgStore>();
    }
  }
}

inline MapiPtr<IMAPIFolder> OpenFolder(IMsgStore* store, ULONG tag) {
  PropBuffer props;
  EXPECT_EQ(GetProps(store, {tag}, &props), S_OK);
  if (props.count != 1 || PROP_TYPE(props[0].ulPropTag) != PT_BINARY) return {};
  OpenedEntry opened = OpenEntryId(store, props[0].Value.bin);
  EXPECT_EQ(opened.result, S_OK);
  EXPECT_EQ(opened.type, MAPI_FOLDER);
  return opened.As<IMAPIFolder>();
}

// A logged-on session with the "SMS" store and its inbox.
struct Fixture {
  TempDatabase database;
  MapiPtr<IMAPISession> session = Logon();
  MapiPtr<IMsgStore> store = OpenStore(session.get());
  MapiPtr<IMAPIFolder> inbox = OpenFolder(store.get(), PR_CE_INBOX_ENTRYID);
};

// A message of the folder with these properties, saved (in sight) and still open.
inline MapiPtr<IMessage> NewMessage(IMAPIFolder* folder, std::vector<SPropValue> props = {}) {
  MapiPtr<IMessage> message;
  EXPECT_EQ(folder->CreateMessage(nullptr, 0, message.put()), S_OK);
  if (message && !props.empty()) {
    EXPECT_EQ(message->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr), S_OK);
  }
  if (message) {
    EXPECT_EQ(message->SaveChanges(0), S_OK);
  }
  return message;
}

inline MapiPtr<IMAPITable> ContentsTable(IMAPIFolder* folder, std::vector<ULONG> columns) {
  MapiPtr<IMAPITable> table;
  EXPECT_EQ(folder->GetContentsTable(0, table.put()), S_OK);
  SPropTagArray tags{static_cast<ULONG>(columns.size()), columns.data()};
  EXPECT_EQ(table->SetColumns(&tags, 0), S_OK);
  return table;
}

// The table's row count as GetRowCount answers it.
inline ULONG RowCount(IMAPITable* table) {
  ULONG count = 0;
  EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
  return count;
}

// The number of messages in the folder, from a fresh contents table.
inline ULONG MessageCount(IMAPIFolder* folder) {
  MapiPtr<IMAPITable> table;
  EXPECT_EQ(folder->GetContentsTable(0, table.put()), S_OK);
  return table ? RowCount(table.get()) : 0;
}

// Subjects of the rows QueryRows(n) returns; the table's first column must be PR_SUBJECT.
inline std::vector<std::u16string> Subjects(IMAPITable* table, LONG n) {
  RowBuffer rows;
  EXPECT_EQ(table->QueryRows(n, 0, &rows.rows), S_OK);
  std::vector<std::u16string> subjects;
  for (ULONG i = 0; i < rows.size(); ++i) subjects.push_back(TextOf(rows[i].lpProps[0]));
  return subjects;
}

inline SRestriction PropertyIs(SPropValue* value) {
  SRestriction r{};
  r.rt = RES_PROPERTY;
  r.res.resProperty = SPropertyRestriction{RELOP_EQ, value->ulPropTag, value};
  return r;
}

}  // namespace larkpost::mapi::testing

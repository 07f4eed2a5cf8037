// The messaging interface: the calls, structures and values through which the program reaches
// the device's message store. One provider stands behind it: a SQLite database file that holds
// one or more message stores (see provider.h for choosing the file and for the fault plan).
//
// Shapes follow the platform's messaging interface: reference-counted interfaces whose calls
// answer an HRESULT (0 is success, anything else, warnings included, is a failure to the caller);
// buffers handed out by the interface are allocated with MAPIAllocateBuffer/MAPIAllocateMore and
// released with MAPIFreeBuffer (row sets with FreeProws); interfaces are released with Release().
//
// Threads: an object may be used from any thread, but by one thread at a time; the program
// creates its session on the user-interface thread and hands it to one worker while a run goes on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/time/filetime.h"

using HRESULT = int32_t;
using SCODE = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using BYTE = uint8_t;
using BOOKMARK = ULONG;

// Property types and tags: a tag is (id << 16) | type.
constexpr ULONG PT_LONG = 0x0003;
constexpr ULONG PT_ERROR = 0x000A;
constexpr ULONG PT_UNICODE = 0x001F;
constexpr ULONG PT_SYSTIME = 0x0040;
constexpr ULONG PT_BINARY = 0x0102;
constexpr ULONG PROP_TYPE(ULONG tag) { return tag & 0xFFFF; }
constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }

constexpr ULONG PR_ENTRYID = 0x0FFF0102;
constexpr ULONG PR_DISPLAY_NAME = 0x3001001F;
constexpr ULONG PR_COMMENT = 0x3004001F;
constexpr ULONG PR_EMAIL_ADDRESS = 0x3003001F;
constexpr ULONG PR_RECIPIENT_TYPE = 0x0C150003;
constexpr ULONG PR_SUBJECT = 0x0037001F;
constexpr ULONG PR_MESSAGE_CLASS = 0x001A001F;
constexpr ULONG PR_MESSAGE_FLAGS = 0x0E070003;
constexpr ULONG PR_MESSAGE_SIZE = 0x0E080003;
constexpr ULONG PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
constexpr ULONG PR_LAST_MODIFICATION_TIME = 0x30080040;
constexpr ULONG PR_SENDER_EMAIL_ADDRESS = 0x0C1F001F;
constexpr ULONG PR_SENDER_NAME = 0x0C1A001F;
// Store properties that locate the standard folders.
constexpr ULONG PR_CE_DRAFTS_ENTRYID = 0x81040102;
constexpr ULONG PR_CE_INBOX_ENTRYID = 0x81060102;
constexpr ULONG PR_IPM_OUTBOX_ENTRYID = 0x35E20102;
constexpr ULONG PR_IPM_SENTMAIL_ENTRYID = 0x35E40102;
constexpr ULONG PR_IPM_WASTEBASKET_ENTRYID = 0x35E30102;
// The store's call log: a folder beside the standard ones, holding the phone's call entries.
constexpr ULONG PR_CE_CALL_LOG_ENTRYID = 0x810A0102;
// Attachments (the parts of a multimedia message).
constexpr ULONG PR_ATTACH_NUM = 0x0E210003;
constexpr ULONG PR_ATTACH_SIZE = 0x0E200003;
constexpr ULONG PR_ATTACH_DATA_BIN = 0x37010102;
constexpr ULONG PR_ATTACH_FILENAME = 0x3704001F;
constexpr ULONG PR_ATTACH_LONG_FILENAME = 0x3707001F;
constexpr ULONG PR_ATTACH_MIME_TAG = 0x370E001F;
constexpr ULONG PR_ATTACH_CONTENT_ID = 0x3712001F;
constexpr ULONG PR_ATTACH_CONTENT_LOCATION = 0x3713001F;

// Results.
constexpr HRESULT S_OK = 0;
constexpr HRESULT MAPI_W_ERRORS_RETURNED = 0x00040380;
constexpr HRESULT MAPI_E_CALL_FAILED = static_cast<HRESULT>(0x80004005);
constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT MAPI_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80070057);
constexpr HRESULT MAPI_E_NOT_ENOUGH_DISK = static_cast<HRESULT>(0x8004010D);
constexpr HRESULT MAPI_E_NO_SUPPORT = static_cast<HRESULT>(0x80040102);
constexpr HRESULT MAPI_E_NOT_FOUND = static_cast<HRESULT>(0x8004010F);
constexpr HRESULT MAPI_E_LOGON_FAILED = static_cast<HRESULT>(0x80040111);
constexpr HRESULT MAPI_E_COMPUTED = static_cast<HRESULT>(0x8004011A);
constexpr HRESULT MAPI_E_COLLISION = static_cast<HRESULT>(0x80040604);
constexpr HRESULT MAPI_E_NO_RECIPIENTS = static_cast<HRESULT>(0x80040607);

// Flags and other values.
constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
constexpr ULONG MAPI_UNICODE = 0x80000000;
constexpr ULONG OPEN_IF_EXISTS = 0x00000001;
constexpr ULONG MODRECIP_ADD = 0x00000002;
constexpr BOOKMARK BOOKMARK_BEGINNING = 0;
constexpr BOOKMARK BOOKMARK_CURRENT = 1;
constexpr BOOKMARK BOOKMARK_END = 2;
constexpr ULONG MAPI_ORIG = 0;
constexpr ULONG MAPI_TO = 1;
constexpr ULONG MAPI_CC = 2;
constexpr ULONG MAPI_BCC = 3;
constexpr ULONG FOLDER_GENERIC = 1;
// GetContentsTable: the folder's multimedia messages (class "IPM.MMS") rather than its short
// messages. The provider lists the two apart, so whoever reads a folder's short messages never
// meets a multimedia one.
constexpr ULONG CONTENTS_MULTIMEDIA = 0x00010000;
// OpenProperty: make the property (an attachment's data) anew.
constexpr ULONG MAPI_CREATE = 0x00000002;
constexpr ULONG MAPI_MODIFY = 0x00000001;
// Object types reported by OpenEntry.
constexpr ULONG MAPI_STORE = 1;
constexpr ULONG MAPI_FOLDER = 3;
constexpr ULONG MAPI_MESSAGE = 5;
constexpr ULONG MAPI_ATTACH = 7;
// Restrictions.
constexpr ULONG RES_AND = 0;
constexpr ULONG RES_PROPERTY = 4;
constexpr ULONG RELOP_EQ = 4;

struct SBinary {
  ULONG cb;
  BYTE* lpb;
};

union PropValueUnion {
  LONG l;
  ULONG ul;
  FILETIME ft;
  char16_t* lpszW;  // zero-terminated UTF-16
  SBinary bin;
  SCODE err;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  PropValueUnion Value;
};

struct SPropTagArray {
  ULONG cValues;
  const ULONG* aulPropTag;
};

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[1];  // cProblem entries
};

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  SPropValue* lpProps;  // its own MAPIAllocateBuffer block
};
struct SRowSet {
  ULONG cRows;
  SRow aRow[1];  // cRows entries, in the same block
};
constexpr size_t CbNewSRowSet(ULONG rows) { return offsetof(SRowSet, aRow) + rows * sizeof(SRow); }

struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  SPropValue* rgPropVals;
};
struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[1];  // cEntries entries, in the same block
};
constexpr size_t CbNewADRLIST(ULONG entries) {
  return offsetof(ADRLIST, aEntries) + entries * sizeof(ADRENTRY);
}

struct SRestriction;
struct SPropertyRestriction {
  ULONG relop;
  ULONG ulPropTag;
  SPropValue* lpProp;
};
struct SAndRestriction {
  ULONG cRes;
  SRestriction* lpRes;
};
struct SRestriction {
  ULONG rt;  // RES_PROPERTY or RES_AND
  union {
    SPropertyRestriction resProperty;
    SAndRestriction resAnd;
  } res;
};

struct IID {
  uint32_t value;
};

// Memory of the interface. A block from MAPIAllocateMore is freed together with its parent.
HRESULT MAPIAllocateBuffer(ULONG size, void** buffer);
HRESULT MAPIAllocateMore(ULONG size, void* parent, void** buffer);
ULONG MAPIFreeBuffer(void* buffer);  // null is allowed
void FreeProws(SRowSet* rows);       // frees every row's values, then the set; null is allowed

class IUnknown {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

class IMAPITable : public IUnknown {
 public:
  // Any tags; a row lacking one answers a PT_ERROR value (MAPI_E_NOT_FOUND) in its place.
  virtual HRESULT SetColumns(const SPropTagArray* columns, ULONG flags) = 0;
  // Fetches up to rowCount (> 0) rows from the current position onwards and moves past them.
  // An empty set (cRows 0) means the end; *rows is always set on success.
  virtual HRESULT QueryRows(LONG rowCount, ULONG flags, SRowSet** rows) = 0;
  virtual HRESULT GetRowCount(ULONG flags, ULONG* count) = 0;
  virtual HRESULT SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) = 0;
  // Moves to the first row at or after origin that meets the restriction; MAPI_E_NOT_FOUND when
  // none does. Property restrictions with RELOP_EQ, and RES_AND of them, are supported.
  virtual HRESULT FindRow(const SRestriction* restriction, BOOKMARK origin, ULONG flags) = 0;
  // Limits the table's rows to those meeting the restriction (null lifts it) and rewinds.
  virtual HRESULT Restrict(const SRestriction* restriction, ULONG flags) = 0;
};

class IMAPIProp : public IUnknown {
 public:
  // Answers one value per requested tag, in order; a property the object lacks comes back as a
  // PT_ERROR value (MAPI_E_NOT_FOUND) and the call answers MAPI_W_ERRORS_RETURNED.
  // Null tags: every property the object has. The values are one block for MAPIFreeBuffer.
  virtual HRESULT GetProps(const SPropTagArray* tags, ULONG flags, ULONG* count,
                           SPropValue** values) = 0;
  // Messages only (folders and stores answer MAPI_E_NO_SUPPORT). Values of PT_LONG, PT_UNICODE,
  // PT_SYSTIME and PT_BINARY are kept exactly as given, one id holding one value; any other type
  // fails the whole call with MAPI_E_INVALID_PARAMETER. PR_ENTRYID is not writable: it is
  // skipped and, when `problems` is given, reported there as MAPI_E_COMPUTED.
  virtual HRESULT SetProps(ULONG count, const SPropValue* values,
                           SPropProblemArray** problems) = 0;
  // A message made by CreateMessage stays out of sight (no table, count or lookup shows it)
  // while SetProps and ModifyRecipients write it; SaveChanges brings it into its folder whole,
  // in one step, so a crash before leaves no part of it in sight. As the handheld's store does,
  // a new message released without SaveChanges is saved then, and one made inside a store
  // transaction at the latest when that transaction commits (provider.h). A rollback of the
  // transaction it was made in takes it away. Changes to a message already saved are written as
  // each call makes them, each call whole. S_OK, MAPI_E_NOT_FOUND when the new message's row
  // was rolled back, or the store's failure; folders and stores answer S_OK.
  virtual HRESULT SaveChanges(ULONG flags) = 0;
};

class IMAPIContainer : public IMAPIProp {
 public:
  virtual HRESULT GetContentsTable(ULONG flags, IMAPITable** table) = 0;
  virtual HRESULT GetHierarchyTable(ULONG flags, IMAPITable** table) = 0;
  // Opens a message or folder of this container's store; *object is an IMessage or IMAPIFolder
  // as *objectType says (a static_cast from IUnknown* to that interface is valid).
  virtual HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID* iface, ULONG flags,
                            ULONG* objectType, IUnknown** object) = 0;
};

class IMessage;

class IMAPIFolder : public IMAPIContainer {
 public:
  virtual HRESULT CreateMessage(const IID* iface, ULONG flags, IMessage** message) = 0;
  virtual HRESULT CreateFolder(ULONG folderType, const char16_t* name, const char16_t* comment,
                               const IID* iface, ULONG flags, IMAPIFolder** folder) = 0;
};

// A stream over a property's bytes (an attachment's data): read from the start, or written
// from empty. Written bytes are kept at Commit, whole; a stream released without it keeps none.
class IStream : public IUnknown {
 public:
  // Fills up to `size` bytes; *read 0 at the end.
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
  virtual HRESULT Commit(ULONG flags) = 0;
};

// An attachment of a message: properties as a message has them (written as each call makes
// them), and its data, PR_ATTACH_DATA_BIN, through a stream.
class IAttach : public IMAPIProp {
 public:
  // PR_ATTACH_DATA_BIN as an IStream: for reading, or with MAPI_CREATE | MAPI_MODIFY for
  // writing it anew. MAPI_E_NOT_FOUND for reading data never written; MAPI_E_NO_SUPPORT for any
  // other property.
  virtual HRESULT OpenProperty(ULONG tag, const IID* iface, ULONG interfaceOptions, ULONG flags,
                               IUnknown** object) = 0;
};

class IMessage : public IMAPIProp {
 public:
  // MAPI_E_NO_RECIPIENTS when the message has none. Default columns: PR_EMAIL_ADDRESS,
  // PR_RECIPIENT_TYPE, PR_DISPLAY_NAME, then whatever else was written for that recipient.
  virtual HRESULT GetRecipientTable(ULONG flags, IMAPITable** table) = 0;
  // MODRECIP_ADD only: appends every entry, in order, in one transaction.
  virtual HRESULT ModifyRecipients(ULONG flags, const ADRLIST* recipients) = 0;
  // Attachments, numbered from 0 in the order they were made. The table's rows hold
  // PR_ATTACH_NUM, PR_ATTACH_SIZE and every property written.
  virtual HRESULT GetAttachmentTable(ULONG flags, IMAPITable** table) = 0;
  virtual HRESULT OpenAttach(ULONG attachmentNumber, const IID* iface, ULONG flags,
                             IAttach** attachment) = 0;
  virtual HRESULT CreateAttach(const IID* iface, ULONG flags, ULONG* attachmentNumber,
                               IAttach** attachment) = 0;
};

class IMsgStore : public IMAPIProp {
 public:
  virtual HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID* iface, ULONG flags,
                            ULONG* objectType, IUnknown** object) = 0;
};

class IMAPISession : public IUnknown {
 public:
  virtual HRESULT GetMsgStoresTable(ULONG flags, IMAPITable** table) = 0;
  virtual HRESULT OpenEntry(ULONG entryIdSize, const BYTE* entryId, const IID* iface, ULONG flags,
                            ULONG* objectType, IUnknown** object) = 0;
  virtual HRESULT Logoff(ULONG uiParam, ULONG flags, ULONG reserved) = 0;
};

// Logs on to the message-store database chosen with larkpost::mapi::SetDatabasePath
// (provider.h), creating it with its "SMS" store when the file does not exist yet.
HRESULT MAPILogonEx(ULONG uiParam, const char16_t* profileName, const char16_t* password,
                    ULONG flags, IMAPISession** session);

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sqlite3.h>

#include <fstream>

#include "platform/mapi/mapi_test_support.h"

namespace larkpost::mapi::testing {
namespace {

std::vector<std::u16string> StoreNames(IMAPISession* session) {
  MapiPtr<IMAPITable> stores;
  EXPECT_EQ(session->GetMsgStoresTable(0, stores.put()), S_OK);
  std::vector<std::u16string> names;
  for (;;) {
    RowBuffer row;  // default columns: PR_ENTRYID, PR_DISPLAY_NAME
    EXPECT_EQ(stores->QueryRows(1, 0, &row.rows), S_OK);
    if (row.size() == 0) break;
    EXPECT_EQ(row[0].cValues, 2u);
    EXPECT_EQ(row[0].lpProps[0].ulPropTag, PR_ENTRYID);
    names.push_back(TextOf(row[0].lpProps[1]));
  }
  return names;
}

TEST(NewDatabase, HoldsTheSmsStoreWithItsFiveStandardFolders) {
  TempDatabase database;
  MapiPtr<IMAPISession> session = Logon();
  ASSERT_TRUE(session);
  EXPECT_EQ(StoreNames(session.get()), std::vector<std::u16string>{u"SMS"});
  MapiPtr<IMsgStore> store = OpenStore(session.get());
  ASSERT_TRUE(store);

  PropBuffer props;
  ASSERT_EQ(GetProps(store.get(),
                     {PR_CE_DRAFTS_ENTRYID, PR_CE_INBOX_ENTRYID, PR_IPM_OUTBOX_ENTRYID,
                      PR_IPM_SENTMAIL_ENTRYID, PR_IPM_WASTEBASKET_ENTRYID, PR_DISPLAY_NAME},
                     &props),
            S_OK);
  ASSERT_EQ(props.count, 6u);
  EXPECT_EQ(TextOf(props[5]), u"SMS");
  const char16_t* names[] = {u"Drafts", u"Inbox", u"Outbox", u"Sent Items", u"Deleted Items"};
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(PROP_TYPE(props[i].ulPropTag), PT_BINARY);
    OpenedEntry opened = OpenEntryId(store.get(), props[i].Value.bin);
    ASSERT_EQ(opened.result, S_OK);
    ASSERT_EQ(opened.type, MAPI_FOLDER);
    MapiPtr<IMAPIFolder> folder = opened.As<IMAPIFolder>();
    PropBuffer folderProps;
    ASSERT_EQ(GetProps(folder.get(), {PR_DISPLAY_NAME, PR_ENTRYID}, &folderProps), S_OK);
    EXPECT_EQ(TextOf(folderProps[0]), names[i]);
    EXPECT_EQ(BytesOf(folderProps[1]), BytesOf(props[i]));
    ULONG count = 99;
    MapiPtr<IMAPITable> contents;
    ASSERT_EQ(folder->GetContentsTable(0, contents.put()), S_OK);
    EXPECT_EQ(contents->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 0u);
  }
}

TEST(NewDatabase, IsCreatedWithItsFolderAndModeOwnerOnly) {
  TempDatabase database;
  std::string path = database.dir() + "/deeper/still/messages.db";
  SetDatabasePath(path);
  MapiPtr<IMAPISession> session = Logon();
  ASSERT_TRUE(session);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((database.dir() + "/deeper").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  // The write-ahead log holds message text too.
  MapiPtr<IMsgStore> store = OpenStore(session.get());
  NewMessage(OpenFolder(store.get(), PR_CE_INBOX_ENTRYID).get(), {Text(PR_SUBJECT, u"secret")});
  ASSERT_EQ(stat((path + "-wal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(NewDatabase, InitializeLeavesAnExistingDatabaseAsItIs) {
  TempDatabase database;
  ASSERT_EQ(InitializeDatabase(database.path()), S_OK);
  ASSERT_EQ(AddStore(database.path(), u"Extra", false), S_OK);
  ASSERT_EQ(InitializeDatabase(database.path()), S_OK);
  MapiPtr<IMAPISession> session = Logon();
  EXPECT_EQ(StoreNames(session.get()), (std::vector<std::u16string>{u"SMS", u"Extra"}));
}

TEST(Stores, AreListedInCreationOrderAndOpenedByEntryId) {
  TempDatabase database;
  ASSERT_EQ(InitializeDatabase(database.path()), S_OK);
  ASSERT_EQ(AddStore(database.path(), u"sms", true), S_OK);
  ASSERT_EQ(AddStore(database.path(), u"Bare", false), S_OK);
  MapiPtr<IMAPISession> session = Logon();
  EXPECT_EQ(StoreNames(session.get()), (std::vector<std::u16string>{u"SMS", u"sms", u"Bare"}));

  MapiPtr<IMsgStore> bare = OpenStore(session.get(), u"Bare");
  ASSERT_TRUE(bare);
  PropBuffer props;
  EXPECT_EQ(GetProps(bare.get(), {PR_DISPLAY_NAME, PR_CE_INBOX_ENTRYID}, &props),
            MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(props.count, 2u);
  EXPECT_EQ(TextOf(props[0]), u"Bare");
  EXPECT_EQ(props[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_CE_INBOX_ENTRYID)));
  EXPECT_EQ(props[1].Value.err, MAPI_E_NOT_FOUND);

  // Each store has its own folders, and a store does not open another store's folder.
  MapiPtr<IMsgStore> first = OpenStore(session.get(), u"SMS");
  MapiPtr<IMsgStore> second = OpenStore(session.get(), u"sms");
  PropBuffer inbox1, inbox2;
  ASSERT_EQ(GetProps(first.get(), {PR_CE_INBOX_ENTRYID}, &inbox1), S_OK);
  ASSERT_EQ(GetProps(second.get(), {PR_CE_INBOX_ENTRYID}, &inbox2), S_OK);
  EXPECT_NE(BytesOf(inbox1[0]), BytesOf(inbox2[0]));
  OpenedEntry opened = OpenEntryId(second.get(), inbox1[0].Value.bin);
  EXPECT_EQ(opened.result, MAPI_E_NOT_FOUND);
  EXPECT_FALSE(opened.object);
}

TEST(Logon, RefusesAFileThatIsNotADatabase) {
  TempDatabase database;
  {
    std::ofstream out(database.path(), std::ios::binary);
    out << "This is a text file, not a message store.\n";
    for (int i = 0; i < 200; ++i) out << "padding padding padding padding\n";
  }
  IMAPISession* session = reinterpret_cast<IMAPISession*>(1);
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(session, nullptr);
  EXPECT_NE(InitializeDatabase(database.path()), S_OK);
}

TEST(Logon, RefusesADatabaseOfAnotherProgram) {
  TempDatabase database;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database.path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE stores(id INTEGER PRIMARY KEY, x TEXT)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  IMAPISession* session = nullptr;
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(session, nullptr);
}

TEST(Logon, RefusesALayoutNewerThanItKnows) {
  TempDatabase database;
  ASSERT_EQ(InitializeDatabase(database.path()), S_OK);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database.path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  IMAPISession* session = nullptr;
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(AddStore(database.path(), u"More", false), MAPI_E_LOGON_FAILED);
}

TEST(Logon, LaysOutAnEmptyFile) {
  TempDatabase database;
  int fd = open(database.path().c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  MapiPtr<IMAPISession> session = Logon();
  ASSERT_TRUE(session);
  EXPECT_TRUE(OpenStore(session.get()));
}

TEST(Logon, FailsWhenTheFolderCannotBeMade) {
  TempDatabase database;
  {
    std::ofstream out(database.dir() + "/file");
    out << "x";
  }
  SetDatabasePath(database.dir() + "/file/messages.db");
  IMAPISession* session = nullptr;
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session), MAPI_E_LOGON_FAILED);
}

TEST(DatabasePath, DefaultFollowsXdgDataHome) {
  const char* saved = std::getenv("XDG_DATA_HOME");
  std::string savedValue = saved != nullptr ? saved : "";
  setenv("XDG_DATA_HOME", "/data/here", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/data/here/larkpost/messages.db");
  setenv("XDG_DATA_HOME", "", 1);
  std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  if (!home.empty()) {
    EXPECT_EQ(DefaultDatabasePath(), home + "/.local/share/larkpost/messages.db");
  }
  if (saved != nullptr) {
    setenv("XDG_DATA_HOME", savedValue.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}

TEST(EntryIds, ForgedOrForeignIdentifiersAreRefused) {
  Fixture f;
  std::string id = EntryIdOf(f.inbox.get());
  ASSERT_EQ(id.size(), 24u);
  auto open = [&](const std::string& bytes) { return OpenEntryId(f.store.get(), bytes).result; };
  EXPECT_EQ(open(id), S_OK);
  EXPECT_EQ(open(id.substr(0, 10)), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(open(std::string(24, '\0')), MAPI_E_INVALID_PARAMETER);
  std::string otherRow = id;
  otherRow[16] = 99;
  EXPECT_EQ(open(otherRow), MAPI_E_NOT_FOUND);
  std::string otherKind = id;
  otherKind[4] = 9;
  EXPECT_EQ(open(otherKind), MAPI_E_INVALID_PARAMETER);

  // The same bytes name nothing in another database file.
  TempDatabase other;
  MapiPtr<IMAPISession> session = Logon();
  MapiPtr<IMsgStore> store = OpenStore(session.get());
  EXPECT_EQ(OpenEntryId(store.get(), id).result, MAPI_E_NOT_FOUND);
}

TEST(Lifetime, ObjectsOutliveTheSessionThatMadeThem) {
  TempDatabase database;
  MapiPtr<IMAPISession> session = Logon();
  MapiPtr<IMsgStore> store = OpenStore(session.get());
  MapiPtr<IMAPIFolder> inbox = OpenFolder(store.get(), PR_CE_INBOX_ENTRYID);
  ASSERT_EQ(session->Logoff(0, 0, 0), S_OK);
  session.reset();
  store.reset();
  MapiPtr<IMessage> message = NewMessage(inbox.get(), {Text(PR_SUBJECT, u"still here")});
  PropBuffer props;
  EXPECT_EQ(GetProps(message.get(), {PR_SUBJECT}, &props), S_OK);
  EXPECT_EQ(TextOf(props[0]), u"still here");
}

// A read-only session (a backup's) reads one moment of the store: a message saved meanwhile by
// another program is not half in its walk.
TEST(ReadOnlyAccess, ReadsTheStoreAsItWasAtItsFirstRead) {
  Fixture writer;
  SetReadOnlyAccess(true);
  MapiPtr<IMAPISession> session = Logon();
  SetReadOnlyAccess(false);
  MapiPtr<IMsgStore> store = OpenStore(session.get());
  MapiPtr<IMAPIFolder> inbox = OpenFolder(store.get(), PR_CE_INBOX_ENTRYID);
  ASSERT_EQ(MessageCount(inbox.get()), 0u);
  MapiPtr<IMessage> message = NewMessage(writer.inbox.get(), {Text(PR_SUBJECT, u"later")});
  ASSERT_EQ(message->SaveChanges(0), S_OK);
  EXPECT_EQ(MessageCount(writer.inbox.get()), 1u);
  EXPECT_EQ(MessageCount(inbox.get()), 0u);
}

}  // namespace
}  // namespace larkpost::mapi::testing

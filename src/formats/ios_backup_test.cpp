#include "formats/ios_backup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "formats/formats_test_util.h"
#include "formats/ios_encryption.h"
#include "formats/ios_input.h"
#include "formats/ios_test_util.h"
#include "formats/party_names.h"
#include "identity/phone_number.h"
#include "platform/file/file.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

using testing::FileBytes;
using testing::IosBackupFolder;
using testing::IosDatabase;
using testing::TempDir;

constexpr int64_t kNanoseconds = 730987200LL * 1000000000LL;

// Every file below `root` with its size and modification time, to see that nothing changed.
std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> Listing(
    const std::filesystem::path& root) {
  std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    files[entry.path().string()] = {entry.is_regular_file() ? entry.file_size() : 0,
                                    entry.last_write_time()};
  }
  return files;
}

// The messages of a backup: one received picture message from Ann, with the picture in
// MediaDomain, and Ann in the address book under a number written another way.
template <class Folder>
void FillBackup(Folder& backup, const TempDir& scratch, std::string& picture) {
  const std::string db = scratch.PathOf("sms.db");
  std::string below;
  {
    IosDatabase messages(db);
    const int64_t ann = messages.Handle("+4915111111111");
    const int64_t bob = messages.Handle("bob@example.org");
    const int64_t chat = messages.Chat(45, {ann});
    const int64_t bobChat = messages.Chat(45, {bob});
    const int64_t message =
        messages.Message({.handle = ann, .chat = chat, .date = kNanoseconds, .text = "\xEF\xBF\xBC"});
    below = messages.Attachment(message, "IMG_0003.HEIC", "image/heic", 3000);
    messages.Message({.handle = bob, .chat = bobChat, .date = kNanoseconds + 1, .text = "Hi"});
  }
  picture = testing::Picture("jpeg", 3000);
  backup.Add(kIosHomeDomain, kIosMessagesPath, FileBytes(db));
  backup.Add(kIosMediaDomain, "Library/SMS/" + below, picture);
  const std::string book = scratch.PathOf("AddressBook.sqlitedb");
  {
    testing::IosAddressBook people(book);
    people.Person("Ann", "Weber", "", {{3, "0151 11111111"}});
    people.Person("", "", "Bob's Bikes", {{4, "Bob@Example.org"}});
  }
  backup.Add(kIosHomeDomain, kIosAddressBookPath, FileBytes(book));
}

TEST(IosBackup, FileIdsAreTheSha1OfDomainAndPath) {
  EXPECT_EQ(IosFileId(kIosHomeDomain, kIosMessagesPath), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(IosFileId(kIosMediaDomain, "Library/SMS/Attachments/ab/12/X/a.jpg"),
            IosBackupFolder::FileId(kIosMediaDomain, "Library/SMS/Attachments/ab/12/X/a.jpg"));
}

// The folder holding Manifest.db, or its parent when it holds exactly one such folder: with two,
// which one to read is the user's choice.
TEST(IosBackup, TheBackupIsTheFolderOrItsOnlyBackupFolder) {
  TempDir dir;
  IosBackupFolder first(std::filesystem::path(dir.path()) / "Backup" / "00008110-001A");
  EXPECT_EQ(IosBackupRoot(first.root().string()), first.root().string());
  EXPECT_EQ(IosBackupRoot(dir.PathOf("Backup")), first.root().string());
  EXPECT_TRUE(IsIosInput(dir.File("Backup")));
  IosBackupFolder second(std::filesystem::path(dir.path()) / "Backup" / "00008110-001B");
  EXPECT_EQ(IosBackupRoot(dir.PathOf("Backup")), "");
  EXPECT_FALSE(IsIosInput(dir.File("Backup")));
  EXPECT_FALSE(IsIosInput(dir.File("nothing-here")));
}

// A backup's messages with their attachments' bytes, named from its address book, read without
// a byte of the backup changed; before iOS 10 every file lies in the folder itself.
TEST(IosBackup, ReadsMessagesAttachmentsAndNamesWithoutChangingTheBackup) {
  const std::string region = NumberRegion();
  SetNumberRegion("DE");
  for (const bool flat : {false, true}) {
    TempDir dir;
    IosBackupFolder backup(std::filesystem::path(dir.path()) / "backup", flat);
    std::string picture;
    FillBackup(backup, dir, picture);
    const auto before = Listing(backup.root());
    std::unique_ptr<MessageReader> reader = OpenIosInput(Utf8ToWide(backup.root().string()));
    std::string error;
    const std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
    EXPECT_EQ(error, "") << flat;
    ASSERT_EQ(records.size(), 2u) << flat;
    ASSERT_TRUE(records[0].multimedia);
    EXPECT_EQ(records[0].senderName, u"Ann Weber");
    EXPECT_EQ(ReadAllBytes(*records[0].multimedia->parts.at(0).data), picture);
    EXPECT_EQ(records[1].senderName, u"Bob's Bikes");
    EXPECT_EQ(Listing(backup.root()), before) << flat;
  }
  SetNumberRegion(region);
}

std::string FirstError(const std::filesystem::path& backup) {
  std::unique_ptr<MessageReader> reader = OpenIosInput(Utf8ToWide(backup.string()));
  MessageRecord record;
  EXPECT_FALSE(reader->Next(record));
  return reader->error();
}

// An encrypted backup read with its password: the messages, pictures and names as from a plain
// one, the decrypted databases in files without a name (nothing to leave behind), and the
// backup unchanged.
TEST(IosBackup, ReadsAnEncryptedBackupWithItsPassword) {
  const std::string region = NumberRegion();
  SetNumberRegion("DE");
  TempDir dir;
  std::filesystem::create_directories(dir.PathOf("tmp"));
  struct TmpdirFor {
    explicit TmpdirFor(const std::string& path) {
      if (const char* was = std::getenv("TMPDIR")) saved = was;
      setenv("TMPDIR", path.c_str(), 1);
    }
    ~TmpdirFor() { saved ? setenv("TMPDIR", saved->c_str(), 1) : unsetenv("TMPDIR"); }
    std::optional<std::string> saved;
  } tmpdir(dir.PathOf("tmp"));
  testing::EncryptedIosBackupFolder backup(std::filesystem::path(dir.path()) / "backup",
                                           "correct horse \xC3\xA4");
  std::string picture;
  FillBackup(backup, dir, picture);
  backup.Seal();
  std::ofstream(dir.PathOf("password")) << "correct horse \xC3\xA4\n";
  SetIosInputOptions({.passwordFile = dir.File("password")});
  const auto before = Listing(backup.root());
  {
    std::unique_ptr<MessageReader> reader = OpenIosInput(Utf8ToWide(backup.root().string()));
    std::string error;
    const std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(records.size(), 2u);
    ASSERT_TRUE(records[0].multimedia);
    EXPECT_EQ(ReadAllBytes(*records[0].multimedia->parts.at(0).data), picture);
    EXPECT_EQ(records[0].senderName, u"Ann Weber");
    EXPECT_TRUE(std::filesystem::is_empty(dir.PathOf("tmp")));
  }
  SetIosInputOptions({});
  EXPECT_EQ(Listing(backup.root()), before);
  SetNumberRegion(region);
}

// An attachment of an encrypted backup read as it is decrypted: cut to its size, whether that
// ends inside a block, on its end, or past the first megabyte the reading goes by; a file cut
// short is an error, never fewer bytes given as all.
TEST(IosBackup, EncryptedAttachmentsAreReadToTheirSizeAndNoFurther) {
  TempDir dir;
  const std::string key(32, 'k');
  constexpr size_t kMiB = 1 << 20;
  for (const size_t size : {size_t{0}, size_t{1}, size_t{16}, kMiB - 1, kMiB, 2 * kMiB + 17}) {
    std::string plain(size, '\0');
    for (size_t i = 0; i < size; ++i) plain[i] = static_cast<char>(i * 7 + i / 4096);
    const std::string path = dir.PathOf("file" + std::to_string(size));
    const std::string encrypted = testing::EncryptedIosBackupFolder::Encrypted(key, plain);
    std::ofstream(path, std::ios::binary) << encrypted;
    const auto bytes = DecryptedBytes(path, key, size);
    EXPECT_EQ(ReadAllBytes(*bytes), plain) << size;
    EXPECT_EQ(ReadAllBytes(*bytes), plain) << size << ", read again";
    if (size > 16) {
      std::ofstream(path, std::ios::binary) << encrypted.substr(0, encrypted.size() / 32 * 16);
      EXPECT_THROW(ReadAllBytes(*DecryptedBytes(path, key, size)), CFileException) << size;
    }
  }
}

TEST(IosBackup, AWrongOrMissingPasswordIsOneClearLine) {
  TempDir dir;
  testing::EncryptedIosBackupFolder backup(std::filesystem::path(dir.path()) / "backup", "right");
  std::string picture;
  FillBackup(backup, dir, picture);
  backup.Seal();
  EXPECT_EQ(FirstError(backup.root()),
            backup.root().string() +
                ": an encrypted backup; give its password with --password-file FILE or on a terminal");
  SetIosInputOptions({.askPassword = [](std::string& password) {
    password = "wrong";
    return true;
  }});
  EXPECT_EQ(FirstError(backup.root()),
            backup.root().string() + ": wrong password for the encrypted backup");
  SetIosInputOptions({});
}

// Names from a vCard file as phones export them (3.0 and 4.0, folded lines, grouped
// properties), numbers found however they are written.
TEST(PartyNames, VCardNamesMatchNumbersAsARestoreDoes) {
  const std::string region = NumberRegion();
  SetNumberRegion("DE");
  PartyNames names;
  AddVCardNames("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Weber;Ann;;;\r\nFN:Ann Weber\r\n"
                "TEL;TYPE=CELL:+49 151 1111\r\n 1111\r\nitem1.EMAIL;TYPE=INTERNET:ann@example.org\r\n"
                "END:VCARD\r\n"
                "BEGIN:VCARD\nVERSION:4.0\nN:M\xC3\xBCller;Cem;;;\nTEL;VALUE=uri;TYPE=cell:tel:+49-151-3333-3333\n"
                "END:VCARD\n"
                "BEGIN:VCARD\nVERSION:3.0\nORG:Pizza\\, Pasta;Kitchen\nTEL:030 123456\nEND:VCARD\n",
                names);
  EXPECT_EQ(names.NameOf(u"015111111111"), u"Ann Weber");
  EXPECT_EQ(names.NameOf(u"ANN@example.org"), u"Ann Weber");
  EXPECT_EQ(names.NameOf(u"+4915133333333"), u"Cem M\u00fcller");
  EXPECT_EQ(names.NameOf(u"+4930123456"), u"Pizza, Pasta");
  EXPECT_EQ(names.NameOf(u"+4915100000000"), u"");
  SetNumberRegion(region);
}

}  // namespace
}  // namespace larkpost

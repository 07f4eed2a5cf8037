// iPhone message databases and attributedBody blobs for tests, built the way iOS writes them:
// the tables and columns of a recent iOS sms.db (a Mac's chat.db has the same), and typedstream
// archives of NSMutableAttributedString written byte by byte from the format, never by the
// decoder under test.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace larkpost::testing {

// A typedstream number: one byte, or 0x81 and 16 bits, or 0x82 and 32 bits, little-endian.
inline void AppendArchivedInt(std::string& out, int64_t value) {
  if (value >= -110 && value <= 127 && !(value >= -128 && value <= -111)) {
    out += static_cast<char>(static_cast<int8_t>(value));
  } else if (value >= INT16_MIN && value <= INT16_MAX) {
    out += '\x81';
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
  } else {
    out += '\x82';
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

inline void AppendNewString(std::string& out, const std::string& text) {
  out += '\x84';
  AppendArchivedInt(out, static_cast<int64_t>(text.size()));
  out += text;
}

// The attributedBody iOS writes for a message of `utf8` (`units` UTF-16 units long): an
// NSMutableAttributedString of an NSMutableString, with one attribute run naming the message's
// first piece (index 0), as iOS marks a plain text.
inline std::string ArchivedBody(const std::string& utf8, int64_t units) {
  std::string out("\x04\x0bstreamtyped\x81\xe8\x03", 16);
  AppendNewString(out, "@");                        // string 0
  out += '\x84';                                    // object 0
  out += '\x84';
  AppendNewString(out, "NSMutableAttributedString");  // class 1
  out += '\x00';
  out += '\x84';
  AppendNewString(out, "NSAttributedString");  // class 2
  out += '\x00';
  out += '\x84';
  AppendNewString(out, "NSObject");  // class 3
  out += '\x00';
  out += '\x85';                                    // end of the class chain
  out += '\x92';                                    // type "@"
  out += '\x84';                                    // object 4
  out += '\x84';
  AppendNewString(out, "NSMutableString");  // class 5
  out += '\x01';
  out += '\x84';
  AppendNewString(out, "NSString");  // class 6
  out += '\x01';
  out += '\x95';                                    // superclass: entry 3, NSObject
  AppendNewString(out, "+");
  AppendArchivedInt(out, static_cast<int64_t>(utf8.size()));
  out += utf8;
  out += '\x86';
  AppendNewString(out, "iI");
  AppendArchivedInt(out, 1);
  AppendArchivedInt(out, units);
  out += '\x92';
  out += '\x84';
  out += '\x84';
  AppendNewString(out, "NSDictionary");
  out += '\x00';
  out += '\x95';
  AppendNewString(out, "i");
  AppendArchivedInt(out, 1);
  out += '\x92';
  out += '\x84';
  out += '\x98';                                    // class: entry 6, NSString
  out += '\x98';                                    // type "+"
  AppendArchivedInt(out, 29);
  out += "__kIMMessagePartAttributeName";
  out += '\x86';
  out += '\x92';
  out += '\x84';
  out += '\x84';
  AppendNewString(out, "NSNumber");
  out += '\x00';
  out += '\x84';
  out += '\x84';
  AppendNewString(out, "NSValue");
  out += '\x00';
  out += '\x95';
  AppendNewString(out, "*");
  out += '\x84';
  out += '\x9b';
  out += '\x9b';
  out += '\x00';
  out += "\x86\x86\x86";
  return out;
}

// The tables of a recent iOS sms.db, with the columns a reader meets (iOS 16 and later: edits
// and unsending keep date_edited, date_retracted and message_summary_info).
inline constexpr char kIosSchema[] = R"sql(
CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));
CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL,
  country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, person_centric_id TEXT,
  UNIQUE (id, service));
CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,
  style INTEGER, state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT,
  service_name TEXT, room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0,
  last_addressed_handle TEXT, display_name TEXT, group_id TEXT, is_filtered INTEGER DEFAULT 0,
  successful_query INTEGER, last_read_message_timestamp INTEGER DEFAULT 0);
CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,
  text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0,
  subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0,
  type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT,
  error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER,
  is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0,
  is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0,
  is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0,
  is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0,
  has_dd_results INTEGER DEFAULT 0, is_service_message INTEGER DEFAULT 0,
  is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, is_archive INTEGER DEFAULT 0,
  cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT,
  was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0,
  is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER,
  item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT,
  group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0,
  share_direction INTEGER DEFAULT 0, is_expirable INTEGER DEFAULT 0,
  expire_state INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0,
  message_source INTEGER DEFAULT 0, associated_message_guid TEXT,
  associated_message_type INTEGER DEFAULT 0, balloon_bundle_id TEXT, payload_data BLOB,
  expressive_send_style_id TEXT, associated_message_range_location INTEGER DEFAULT 0,
  associated_message_range_length INTEGER DEFAULT 0, time_expressive_send_played INTEGER,
  message_summary_info BLOB, ck_sync_state INTEGER DEFAULT 0, ck_record_id TEXT,
  ck_record_change_tag TEXT, destination_caller_id TEXT, is_corrupt INTEGER DEFAULT 0,
  reply_to_guid TEXT, sort_id INTEGER, is_spam INTEGER DEFAULT 0,
  has_unseen_mention INTEGER DEFAULT 0, thread_originator_guid TEXT,
  thread_originator_part TEXT, syndication_ranges TEXT, synced_syndication_ranges TEXT,
  was_delivered_quietly INTEGER DEFAULT 0, did_notify_recipient INTEGER DEFAULT 0,
  date_retracted INTEGER DEFAULT 0, date_edited INTEGER DEFAULT 0,
  was_detonated INTEGER DEFAULT 0, part_count INTEGER, is_stewie INTEGER DEFAULT 0,
  is_kt_verified INTEGER DEFAULT 0, is_sos INTEGER DEFAULT 0, is_critical INTEGER DEFAULT 0,
  bia_reference_id TEXT DEFAULT NULL, fallback_hash TEXT DEFAULT NULL);
CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,
  created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT,
  mime_type TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0,
  user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT 0,
  is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB, attribution_info BLOB,
  hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0,
  ck_server_change_token_blob BLOB, ck_record_id TEXT, original_guid TEXT UNIQUE NOT NULL,
  is_commsafety_sensitive INTEGER DEFAULT 0);
CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id));
CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,
  message_date INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id));
CREATE TABLE message_attachment_join (
  message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,
  attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE,
  UNIQUE(message_id, attachment_id));
CREATE INDEX chat_message_join_idx_message_id_only ON chat_message_join(message_id);
CREATE INDEX message_idx_handle ON message(handle_id, date);
)sql";

// One row of `message` as iOS fills it.
struct IosRow {
  int64_t handle = 0;  // handle ROWID; 0 for a sent group message
  int64_t chat = 0;    // chat ROWID
  int64_t date = 0;    // nanoseconds since 2001 (seconds for older iOS)
  bool fromMe = false;
  bool read = true;
  std::string text{};        // empty: NULL
  std::string body{};        // attributedBody; empty: NULL
  std::string service = "iMessage";
  int64_t itemType = 0;
  int64_t groupAction = 0;
  int64_t associatedType = 0;
  int64_t dateEdited = 0;
  int64_t dateRetracted = 0;
  std::string ownAddress{};  // destination_caller_id
};

// An sms.db at `path`, filled row by row.
class IosDatabase {
 public:
  explicit IosDatabase(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    Exec(kIosSchema);
  }
  ~IosDatabase() { sqlite3_close(db_); }
  IosDatabase(const IosDatabase&) = delete;
  IosDatabase& operator=(const IosDatabase&) = delete;

  void Exec(const std::string& sql) {
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message != nullptr ? message : "") << " in " << sql;
    sqlite3_free(message);
  }

  int64_t Handle(const std::string& id, const std::string& service = "iMessage") {
    Run("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?, 'de', ?, ?)",
        {id, service, id});
    return sqlite3_last_insert_rowid(db_);
  }

  // A chat of style 43 (group) or 45 (one-to-one) with its members.
  int64_t Chat(int style, const std::vector<int64_t>& members, const std::string& name = "") {
    const std::string guid = "iMessage;" + std::string(style == 43 ? "+" : "-") + ";chat" +
                             std::to_string(++chats_);
    Run("INSERT INTO chat (guid, style, state, chat_identifier, service_name, display_name) "
        "VALUES (?, " + std::to_string(style) + ", 3, ?, 'iMessage', ?)",
        {guid, "chat" + std::to_string(chats_), name});
    const int64_t chat = sqlite3_last_insert_rowid(db_);
    for (const int64_t member : members) {
      Exec("INSERT INTO chat_handle_join VALUES (" + std::to_string(chat) + ", " +
           std::to_string(member) + ")");
    }
    return chat;
  }

  int64_t Message(const IosRow& row) {
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(
                  db_,
                  "INSERT INTO message (guid, text, handle_id, attributedBody, service, account, "
                  "date, date_read, date_delivered, is_delivered, is_finished, is_from_me, "
                  "is_read, is_sent, item_type, group_action_type, associated_message_type, "
                  "date_edited, date_retracted, destination_caller_id, associated_message_guid) "
                  "VALUES (?, ?, ?, ?, ?, 'E:', ?, ?, ?, 1, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                  -1, &stmt, nullptr),
              SQLITE_OK);
    const std::string guid = "MSG-" + std::to_string(++messages_);
    sqlite3_bind_text(stmt, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
    if (!row.text.empty()) sqlite3_bind_text(stmt, 2, row.text.data(), static_cast<int>(row.text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 3, row.handle);
    if (!row.body.empty()) sqlite3_bind_blob(stmt, 4, row.body.data(), static_cast<int>(row.body.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 5, row.service.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 6, row.date);
    sqlite3_bind_int64(stmt, 7, row.read ? row.date : 0);
    sqlite3_bind_int64(stmt, 8, row.date);
    sqlite3_bind_int(stmt, 9, row.fromMe ? 1 : 0);
    sqlite3_bind_int(stmt, 10, row.read ? 1 : 0);
    sqlite3_bind_int(stmt, 11, row.fromMe ? 1 : 0);
    sqlite3_bind_int64(stmt, 12, row.itemType);
    sqlite3_bind_int64(stmt, 13, row.groupAction);
    sqlite3_bind_int64(stmt, 14, row.associatedType);
    sqlite3_bind_int64(stmt, 15, row.dateEdited);
    sqlite3_bind_int64(stmt, 16, row.dateRetracted);
    if (!row.ownAddress.empty()) sqlite3_bind_text(stmt, 17, row.ownAddress.c_str(), -1, SQLITE_TRANSIENT);
    if (row.associatedType != 0) sqlite3_bind_text(stmt, 18, "p:0/MSG-1", -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    const int64_t message = sqlite3_last_insert_rowid(db_);
    if (row.chat != 0) {
      Exec("INSERT INTO chat_message_join VALUES (" + std::to_string(row.chat) + ", " +
           std::to_string(message) + ", " + std::to_string(row.date) + ")");
    }
    return message;
  }

  // An attachment of `message` as iOS names it ("~/Library/SMS/Attachments/ab/12/GUID/NAME");
  // returns the path below "Library/SMS/".
  std::string Attachment(int64_t message, const std::string& name, const std::string& mime,
                         int64_t size, bool sticker = false) {
    const std::string guid = "AT-" + std::to_string(++attachments_);
    const std::string below = "Attachments/" + std::to_string(10 + attachments_) + "/0" +
                              std::to_string(attachments_ % 10) + "/" + guid + "/" + name;
    Run("INSERT INTO attachment (guid, filename, uti, mime_type, transfer_state, transfer_name, "
        "total_bytes, is_sticker, original_guid) VALUES (?, ?, 'public.data', ?, 5, ?, " +
            std::to_string(size) + ", " + (sticker ? "1" : "0") + ", ?)",
        {guid, "~/Library/SMS/" + below, mime, name, guid});
    Exec("INSERT INTO message_attachment_join VALUES (" + std::to_string(message) + ", " +
         std::to_string(sqlite3_last_insert_rowid(db_)) + ")");
    Exec("UPDATE message SET cache_has_attachments = 1 WHERE ROWID = " + std::to_string(message));
    return below;
  }

 private:
  void Run(const std::string& sql, const std::vector<std::string>& texts) {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
    for (size_t i = 0; i < texts.size(); ++i) {
      if (texts[i].empty()) continue;  // NULL, as iOS leaves an unset column
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), texts[i].c_str(), -1, SQLITE_TRANSIENT);
    }
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
  }

  sqlite3* db_ = nullptr;
  int chats_ = 0;
  int messages_ = 0;
  int attachments_ = 0;
};

// A file of `size` bytes at `path` (its folders made), beginning with `head`.
inline std::string WriteAttachmentFile(const std::filesystem::path& path, const std::string& head,
                                       size_t size) {
  std::filesystem::create_directories(path.parent_path());
  std::string bytes = head;
  for (size_t i = 0; bytes.size() < size; ++i) bytes.push_back(static_cast<char>(i * 7 + 3));
  std::ofstream(path, std::ios::binary) << bytes;
  return bytes;
}

// An iPhone backup folder as iTunes, Finder and idevicebackup2 write it (iOS 10 and later): its
// property lists, Manifest.db listing every file, and each file at "<2 hex digits>/<fileID>".
// With `flat`, as iOS before 10 kept them: every file in the folder itself.
class IosBackupFolder {
 public:
  explicit IosBackupFolder(std::filesystem::path root, bool flat = false)
      : root_(std::move(root)), flat_(flat) {
    std::filesystem::create_directories(root_);
    std::ofstream(root_ / "Info.plist") << Plist("<key>Product Type</key><string>iPhone14,5</string>");
    std::ofstream(root_ / "Manifest.plist")
        << Plist("<key>IsEncrypted</key><false/><key>Version</key><string>10.0</string>");
    std::ofstream(root_ / "Status.plist") << Plist("<key>IsFullBackup</key><false/>");
    if (flat_) {
      // Its list of files, in a format of its own (mbdb), names files a reader finds by their id.
      std::ofstream(root_ / "Manifest.mbdb", std::ios::binary) << std::string("mbdb\x05\x00", 6);
      return;
    }
    EXPECT_EQ(sqlite3_open((root_ / "Manifest.db").c_str(), &manifest_), SQLITE_OK);
    sqlite3_exec(manifest_,
                 "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                 "flags INTEGER, file BLOB);"
                 "CREATE INDEX FilesDomainIdx ON Files(domain);"
                 "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
                 "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);",
                 nullptr, nullptr, nullptr);
  }
  ~IosBackupFolder() { sqlite3_close(manifest_); }
  IosBackupFolder(const IosBackupFolder&) = delete;
  IosBackupFolder& operator=(const IosBackupFolder&) = delete;

  // The SHA-1 of "<domain>-<relativePath>" in hex.
  static std::string FileId(const std::string& domain, const std::string& relativePath) {
    const std::string name = domain + "-" + relativePath;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
    std::string hex;
    for (const unsigned char byte : digest) {
      hex += "0123456789abcdef"[byte >> 4];
      hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
  }

  void Add(const std::string& domain, const std::string& relativePath, const std::string& bytes) {
    const std::string id = FileId(domain, relativePath);
    const std::filesystem::path path = flat_ ? root_ / id : root_ / id.substr(0, 2) / id;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    if (manifest_ == nullptr) return;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(manifest_, "INSERT INTO Files VALUES (?, ?, ?, 1, ?)", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, domain.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 3, relativePath.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(stmt, 4, "bplist00", 8, SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
  }

  const std::filesystem::path& root() const { return root_; }

 private:
  static std::string Plist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
           "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
  }

  std::filesystem::path root_;
  bool flat_;
  sqlite3* manifest_ = nullptr;
};

// An iPhone's AddressBook.sqlitedb with people and their numbers (property 3) and e-mail
// addresses (property 4).
class IosAddressBook {
 public:
  explicit IosAddressBook(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    sqlite3_exec(db_,
                 "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, "
                 "Last TEXT, Middle TEXT, FirstPhonetic TEXT, Organization TEXT, Kind INTEGER);"
                 "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
                 "property INTEGER, identifier INTEGER, label INTEGER, value TEXT, guid TEXT);",
                 nullptr, nullptr, nullptr);
  }
  ~IosAddressBook() { sqlite3_close(db_); }
  IosAddressBook(const IosAddressBook&) = delete;
  IosAddressBook& operator=(const IosAddressBook&) = delete;

  void Person(const std::string& first, const std::string& last, const std::string& organisation,
              const std::vector<std::pair<int, std::string>>& values) {
    Exec("INSERT INTO ABPerson (First, Last, Organization, Kind) VALUES (" + Quoted(first) + ", " +
         Quoted(last) + ", " + Quoted(organisation) + ", 0)");
    const int64_t person = sqlite3_last_insert_rowid(db_);
    for (const auto& [property, value] : values) {
      Exec("INSERT INTO ABMultiValue (record_id, property, identifier, label, value) VALUES (" +
           std::to_string(person) + ", " + std::to_string(property) + ", 0, 1, " + Quoted(value) + ")");
    }
  }

 private:
  static std::string Quoted(const std::string& text) {
    if (text.empty()) return "NULL";
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
  }
  void Exec(const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  sqlite3* db_ = nullptr;
};

// An encrypted backup as iOS writes one when "Encrypt local backup" is on, with small iteration
// counts so that tests run fast: Manifest.plist with the keybag (class keys wrapped with the
// password's key) and ManifestKey, Manifest.db encrypted with it, and every file encrypted with a
// key of its own, wrapped with the key of class 3 and kept in its row's NSKeyedArchiver plist.
class EncryptedIosBackupFolder {
 public:
  EncryptedIosBackupFolder(std::filesystem::path root, const std::string& password,
                           uint32_t dpic = 10, uint32_t iterations = 10)
      : root_(std::move(root)) {
    std::filesystem::create_directories(root_);
    const std::string salt = Random(20), dpsl = Random(20);
    unsigned char first[32], passcodeKey[32];
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                      reinterpret_cast<const unsigned char*>(dpsl.data()), 20,
                      static_cast<int>(dpic), EVP_sha256(), 32, first);
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(first), 32,
                      reinterpret_cast<const unsigned char*>(salt.data()), 20,
                      static_cast<int>(iterations), EVP_sha1(), 32, passcodeKey);
    const std::string kek(reinterpret_cast<const char*>(passcodeKey), 32);
    keybag_ = Tag("VERS", Number(3)) + Tag("TYPE", Number(1)) + Tag("UUID", Random(16)) +
              Tag("HMCK", Random(40)) + Tag("WRAP", Number(0)) + Tag("SALT", salt) +
              Tag("ITER", Number(iterations)) + Tag("DPWT", Number(1)) +
              Tag("DPIC", Number(dpic)) + Tag("DPSL", dpsl);
    for (uint32_t protectionClass = 1; protectionClass <= 4; ++protectionClass) {
      classKeys_[protectionClass] = Random(32);
      keybag_ += Tag("UUID", Random(16)) + Tag("CLAS", Number(protectionClass)) +
                 Tag("WRAP", Number(2)) + Tag("KTYP", Number(0)) +
                 Tag("WPKY", Wrap(kek, classKeys_[protectionClass]));
    }
    manifestKey_ = Random(32);
    manifestPath_ = root_.string() + ".manifest-being-built";
    EXPECT_EQ(sqlite3_open(manifestPath_.c_str(), &manifest_), SQLITE_OK);
    sqlite3_exec(manifest_,
                 "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                 "flags INTEGER, file BLOB); CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);",
                 nullptr, nullptr, nullptr);
  }
  ~EncryptedIosBackupFolder() { sqlite3_close(manifest_); }
  EncryptedIosBackupFolder(const EncryptedIosBackupFolder&) = delete;
  EncryptedIosBackupFolder& operator=(const EncryptedIosBackupFolder&) = delete;

  void Add(const std::string& domain, const std::string& relativePath, const std::string& bytes) {
    const std::string id = IosBackupFolder::FileId(domain, relativePath);
    const std::string key = Random(32);
    std::filesystem::create_directories(root_ / id.substr(0, 2));
    std::ofstream(root_ / id.substr(0, 2) / id, std::ios::binary) << Encrypted(key, bytes);
    const std::string archived = ArchivedFile(relativePath, bytes.size(), LittleEndian(3) + Wrap(classKeys_[3], key));
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(manifest_, "INSERT INTO Files VALUES (?, ?, ?, 1, ?)", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, domain.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 3, relativePath.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(stmt, 4, archived.data(), static_cast<int>(archived.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
  }

  // Encrypts Manifest.db into the backup and writes Manifest.plist: the backup is complete.
  void Seal() {
    sqlite3_close(manifest_);
    manifest_ = nullptr;
    std::ifstream in(manifestPath_, std::ios::binary);
    const std::string plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(manifestPath_);
    std::ofstream(root_ / "Manifest.db", std::ios::binary) << Encrypted(manifestKey_, plain);
    plist_t manifest = plist_new_dict();
    plist_dict_set_item(manifest, "BackupKeyBag", plist_new_data(keybag_.data(), keybag_.size()));
    const std::string wrapped = LittleEndian(4) + Wrap(classKeys_[4], manifestKey_);
    plist_dict_set_item(manifest, "ManifestKey", plist_new_data(wrapped.data(), wrapped.size()));
    plist_dict_set_item(manifest, "IsEncrypted", plist_new_bool(1));
    plist_dict_set_item(manifest, "Version", plist_new_string("10.0"));
    std::ofstream(root_ / "Manifest.plist", std::ios::binary) << Binary(manifest);
    plist_free(manifest);
  }

  const std::filesystem::path& root() const { return root_; }

  // A file's bytes as the backup holds them: AES-256-CBC, zero IV, PKCS#7 padding.
  static std::string Encrypted(const std::string& key, const std::string& plain) {
    static const unsigned char kZeroIv[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(plain.size() + 16, '\0');
    int length = 0, last = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                       reinterpret_cast<const unsigned char*>(key.data()), kZeroIv);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &length,
                      reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + length, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(length + last));
    return out;
  }

 private:
  static std::string Random(size_t size) {
    std::string bytes(size, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(size));
    return bytes;
  }
  static std::string Number(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
  }
  static std::string LittleEndian(uint32_t value) {
    return {static_cast<char>(value), static_cast<char>(value >> 8),
            static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  }
  static std::string Tag(const char* tag, const std::string& value) {
    return std::string(tag, 4) + Number(static_cast<uint32_t>(value.size())) + value;
  }
  // RFC 3394 key wrap.
  static std::string Wrap(const std::string& kek, const std::string& key) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    unsigned char out[64];
    int length = 0, last = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_wrap(), nullptr,
                       reinterpret_cast<const unsigned char*>(kek.data()), nullptr);
    EVP_EncryptUpdate(ctx, out, &length, reinterpret_cast<const unsigned char*>(key.data()),
                      static_cast<int>(key.size()));
    EVP_EncryptFinal_ex(ctx, out + length, &last);
    EVP_CIPHER_CTX_free(ctx);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(length + last));
  }
  static std::string Binary(plist_t plist) {
    char* bytes = nullptr;
    uint32_t size = 0;
    plist_to_bin(plist, &bytes, &size);
    std::string binary(bytes, size);
    plist_to_bin_free(bytes);
    return binary;
  }
  // The `file` column: an NSKeyedArchiver plist of an MBFile, as iOS archives it.
  static std::string ArchivedFile(const std::string& relativePath, size_t size,
                                  const std::string& wrappedKey) {
    plist_t archive = plist_new_dict();
    plist_dict_set_item(archive, "$version", plist_new_uint(100000));
    plist_dict_set_item(archive, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(archive, "$top", top);
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "$class", plist_new_uid(5));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(file, "EncryptionKey", plist_new_uid(3));
    plist_dict_set_item(file, "Size", plist_new_uint(size));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(3));
    plist_dict_set_item(file, "Mode", plist_new_uint(33188));
    plist_dict_set_item(file, "Flags", plist_new_uint(0));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, plist_new_string(relativePath.c_str()));
    plist_t data = plist_new_dict();
    plist_dict_set_item(data, "NS.data", plist_new_data(wrappedKey.data(), wrappedKey.size()));
    plist_dict_set_item(data, "$class", plist_new_uid(4));
    plist_array_append_item(objects, data);
    plist_t dataClass = plist_new_dict();
    plist_dict_set_item(dataClass, "$classname", plist_new_string("NSMutableData"));
    plist_array_append_item(objects, dataClass);
    plist_t fileClass = plist_new_dict();
    plist_dict_set_item(fileClass, "$classname", plist_new_string("MBFile"));
    plist_array_append_item(objects, fileClass);
    plist_dict_set_item(archive, "$objects", objects);
    const std::string binary = Binary(archive);
    plist_free(archive);
    return binary;
  }

  std::filesystem::path root_;
  std::string keybag_;
  std::string manifestKey_;
  std::map<uint32_t, std::string> classKeys_;
  std::string manifestPath_;
  sqlite3* manifest_ = nullptr;
};

}  // namespace larkpost::testing

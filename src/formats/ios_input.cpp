#include "formats/ios_input.h"

#include <openssl/crypto.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <mutex>

#include "formats/ios_backup.h"
#include "formats/ios_encryption.h"
#include "formats/ios_messages.h"
#include "formats/ios_sqlite.h"
#include "formats/party_names.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

IosInputOptions& Options() {
  static IosInputOptions options;
  return options;
}

class FailedReader : public MessageReader {
 public:
  explicit FailedReader(std::string error) { error_ = std::move(error); }
  bool Next(MessageRecord&) override { return false; }
};

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The whole of a small file (a vCard file), read through the file layer for its error texts.
std::string WholeFile(const std::u16string& path) {
  CFile file(path, CFile::modeRead | CFile::shareDenyNone);
  std::string bytes;
  char buffer[65536];
  while (const unsigned got = file.Read(buffer, sizeof buffer)) bytes.append(buffer, got);
  return bytes;
}

std::shared_ptr<PartyNames> NamesFromOptions() {
  auto names = std::make_shared<PartyNames>();
  if (!Options().contacts.empty()) AddVCardNames(WholeFile(Options().contacts), *names);
  return names;
}

void AddNamesOfDatabase(const std::string& path, PartyNames& names) {
  std::string ignored;
  if (path.empty()) return;
  if (ios::Database book = ios::OpenImmutable(path, ignored)) AddAddressBookNames(book.get(), names);
}

// A bare database's attachments: below the folder the options name (which may be the
// "Attachments" folder itself or the folder holding it), else beside the database.
std::function<std::shared_ptr<const PartBytes>(const std::string&)> AttachmentsBeside(
    const std::string& database) {
  const std::string chosen = WideToUtf8(Options().attachments);
  const std::string beside = std::filesystem::path(database).parent_path().string();
  return [chosen, beside](const std::string& filename) -> std::shared_ptr<const PartBytes> {
    const std::string below = AttachmentBelowLibrary(filename);
    if (below.empty()) return nullptr;
    if (chosen.empty()) return BytesOnDisk((beside.empty() ? "." : beside) + "/" + below);
    if (below.starts_with("Attachments/")) {
      if (auto bytes = BytesOnDisk(chosen + "/" + below.substr(12))) return bytes;
    }
    return BytesOnDisk(chosen + "/" + below);
  };
}

// The password of an encrypted backup: the first line of the options' file, else asked.
bool PasswordFor(std::string& password) {
  if (!Options().passwordFile.empty()) {
    password = WholeFile(Options().passwordFile);
    password = password.substr(0, password.find_first_of("\r\n"));
    return true;
  }
  return Options().askPassword && Options().askPassword(password);
}

// The keys of the encrypted backups unlocked so far: a run that reads its input twice (a
// restore checks it first) asks for the password, and derives the key, once.
std::shared_ptr<const IosBackupKeys> UnlockedBefore(const std::string& root,
                                                   std::shared_ptr<const IosBackupKeys> add = {}) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const IosBackupKeys>> unlocked;
  const std::lock_guard<std::mutex> lock(mutex);
  if (add) unlocked[root] = std::move(add);
  const auto found = unlocked.find(root);
  return found != unlocked.end() ? found->second : nullptr;
}

// An encrypted database of a backup, decrypted into a private copy that loses its name as soon as
// SQLite has it open (an immutable database is read through the one descriptor opened first).
ios::Database OpenPrivateCopy(const std::string& file, const std::string& key, int64_t size,
                              std::string& error) {
  ios::Database db;
  WithDecryptedCopy(file, key, size,
                    [&](const std::string& copy) { db = ios::OpenImmutable(copy, error); }, error);
  return db;
}

// The files of an encrypted backup, each decrypted with the key its Manifest.db row holds.
class EncryptedFiles {
 public:
  EncryptedFiles(std::string root, std::shared_ptr<const IosBackupKeys> keys, ios::Database manifest)
      : root_(std::move(root)),
        keys_(std::move(keys)),
        manifest_(std::move(manifest)),
        lookup_(manifest_, "SELECT fileID, file FROM Files WHERE domain = ? AND relativePath = ?") {}

  // Where the file lies, its key and its size; false when the backup does not hold it.
  bool Find(std::string_view domain, std::string_view relativePath, std::string& file,
            std::string& key, uint64_t& size) {
    lookup_.Reset();
    lookup_.Bind(1, domain);
    lookup_.Bind(2, relativePath);
    if (!lookup_.Step()) return false;
    file = IosBackupFileById(root_, std::string(lookup_.Text(0)));
    return !file.empty() && keys_->FileKey(lookup_.Text(1), key, size);
  }

  // A database of the backup, decrypted into a private copy; null when there is none.
  ios::Database Database(std::string_view domain, std::string_view relativePath,
                         std::string& error) {
    std::string file, key;
    uint64_t size = 0;
    if (!Find(domain, relativePath, file, key, size)) return nullptr;
    return OpenPrivateCopy(file, key, static_cast<int64_t>(size), error);
  }

 private:
  std::string root_;
  std::shared_ptr<const IosBackupKeys> keys_;
  ios::Database manifest_;
  ios::Statement lookup_;
};

bool IsEncryptedBackup(const std::string& root) {
  const std::string manifest = root + "/Manifest.db";
  return IsEncryptedIosBackup(root) || (IsRegularFile(manifest) && !ios::HasSqliteHeader(manifest));
}

// The keys of the encrypted backup at `root`, unlocked now or before; null with `error` set.
std::shared_ptr<const IosBackupKeys> KeysOf(const std::string& name, const std::string& root,
                                            std::string& error) {
  std::shared_ptr<const IosBackupKeys> keys = UnlockedBefore(root);
  if (keys != nullptr) return keys;
  std::string password;
  if (!PasswordFor(password)) {
    error = name + ": an encrypted backup; give its password with --password-file FILE or on a "
                   "terminal";
    return nullptr;
  }
  std::string why;
  const UnlockResult unlocked = IosBackupKeys::Unlock(root, password, keys, why);
  OPENSSL_cleanse(password.data(), password.size());
  if (unlocked == UnlockResult::kWrongPassword) {
    error = name + ": wrong password for the encrypted backup";
    return nullptr;
  }
  if (unlocked != UnlockResult::kUnlocked) {
    error = name + ": an encrypted backup that cannot be read: " + why;
    return nullptr;
  }
  return UnlockedBefore(root, keys);
}

std::unique_ptr<MessageReader> EncryptedBackupReader(const std::u16string& path,
                                                     const std::string& root) {
  const std::string name = WideToUtf8(path);
  std::string error;
  const std::shared_ptr<const IosBackupKeys> keys = KeysOf(name, root, error);
  if (keys == nullptr) return std::make_unique<FailedReader>(error);
  std::string manifestKey;
  if (!keys->ManifestKey(manifestKey)) {
    return std::make_unique<FailedReader>(name + ": the key of its Manifest.db cannot be unwrapped");
  }
  ios::Database manifest = OpenPrivateCopy(root + "/Manifest.db", manifestKey, -1, error);
  if (manifest == nullptr) return std::make_unique<FailedReader>(error);
  auto files = std::make_shared<EncryptedFiles>(root, keys, std::move(manifest));

  IosSource source;
  source.name = path;
  source.messages = files->Database(kIosHomeDomain, kIosMessagesPath, error);
  if (source.messages == nullptr) {
    return std::make_unique<FailedReader>(
        !error.empty() ? error : name + ": the backup holds no messages (Library/SMS/sms.db)");
  }
  std::shared_ptr<PartyNames> names = NamesFromOptions();
  if (ios::Database book = files->Database(kIosHomeDomain, kIosAddressBookPath, error)) {
    AddAddressBookNames(book.get(), *names);
  }
  source.nameOf = [names](const std::u16string& address) { return names->NameOf(address); };
  source.attachment = [files](const std::string& filename) -> std::shared_ptr<const PartBytes> {
    const std::string below = AttachmentBelowLibrary(filename);
    std::string file, key;
    uint64_t size = 0;
    if (below.empty() || !files->Find(kIosMediaDomain, "Library/SMS/" + below, file, key, size)) {
      return nullptr;
    }
    return DecryptedBytes(file, std::move(key), size);
  };
  return IosMessageReader(std::move(source));
}

std::unique_ptr<MessageReader> BackupReader(const std::u16string& path, const std::string& root) {
  if (IsEncryptedBackup(root)) return EncryptedBackupReader(path, root);
  const std::string messages = IosBackupFile(root, kIosHomeDomain, kIosMessagesPath);
  if (messages.empty()) {
    return std::make_unique<FailedReader>(WideToUtf8(path) +
                                          ": the backup holds no messages (Library/SMS/sms.db)");
  }
  IosSource source;
  source.name = path;
  std::string error;
  source.messages = ios::OpenImmutable(messages, error);
  if (source.messages == nullptr) return std::make_unique<FailedReader>(error);
  std::shared_ptr<PartyNames> names = NamesFromOptions();
  AddNamesOfDatabase(IosBackupFile(root, kIosHomeDomain, kIosAddressBookPath), *names);
  source.nameOf = [names](const std::u16string& address) { return names->NameOf(address); };
  source.attachment = [root](const std::string& filename) -> std::shared_ptr<const PartBytes> {
    const std::string below = AttachmentBelowLibrary(filename);
    if (below.empty()) return nullptr;
    const std::string file = IosBackupFile(root, kIosMediaDomain, "Library/SMS/" + below);
    return file.empty() ? nullptr : BytesOnDisk(file);
  };
  return IosMessageReader(std::move(source));
}

// The messages of another reader, their unnamed parties named.
class NamingReader : public MessageReader {
 public:
  NamingReader(std::unique_ptr<MessageReader> reader, std::shared_ptr<const PartyNames> names)
      : reader_(std::move(reader)), names_(std::move(names)) {
    error_ = reader_->error();
  }

  bool Declared(uint64_t& count) const override { return reader_->Declared(count); }

  bool Next(MessageRecord& record) override {
    const bool read = reader_->Next(record);
    error_ = reader_->error();
    counts_ = reader_->counts();
    if (!read) return false;
    if (record.senderName.empty()) record.senderName = names_->NameOf(record.senderAddress);
    for (RecordRecipient& recipient : record.recipients) {
      if (recipient.displayName.empty()) recipient.displayName = names_->NameOf(recipient.address);
    }
    return true;
  }
  // A record named here is no longer the one its file holds: it is never copied as it lies.

 private:
  std::unique_ptr<MessageReader> reader_;
  std::shared_ptr<const PartyNames> names_;
};

}  // namespace

std::unique_ptr<MessageReader> WithContactNames(std::unique_ptr<MessageReader> reader) {
  if (reader == nullptr || Options().contacts.empty()) return reader;
  return std::make_unique<NamingReader>(std::move(reader), NamesFromOptions());
}

void SetIosInputOptions(IosInputOptions options) { Options() = std::move(options); }

std::string UnlockIosInput(const std::u16string& path) {
  const std::string root = IosBackupRoot(WideToUtf8(path));
  std::string error;
  if (!root.empty() && IsEncryptedBackup(root)) KeysOf(WideToUtf8(path), root, error);
  return error;
}
const IosInputOptions& IosInputOptionsInUse() { return Options(); }

bool IsIosInput(const std::u16string& path) {
  const std::string file = WideToUtf8(path);
  if (!IosBackupRoot(file).empty()) return true;
  if (!IsRegularFile(file) || !ios::HasSqliteHeader(file)) return false;
  std::string ignored;
  const ios::Database db = ios::OpenImmutable(file, ignored);
  return db != nullptr && IsIosMessageDatabase(db.get());
}

std::unique_ptr<MessageReader> OpenIosInput(const std::u16string& path) {
  const std::string file = WideToUtf8(path);
  const std::string root = IosBackupRoot(file);
  if (!root.empty()) return BackupReader(path, root);
  IosSource source;
  source.name = path;
  std::string error;
  source.messages = ios::OpenImmutable(file, error);
  if (source.messages == nullptr) return std::make_unique<FailedReader>(error);
  std::shared_ptr<PartyNames> names = NamesFromOptions();
  source.nameOf = [names](const std::u16string& address) { return names->NameOf(address); };
  source.attachment = AttachmentsBeside(file);
  return IosMessageReader(std::move(source));
}

}  // namespace larkpost

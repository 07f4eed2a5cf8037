#include "formats/ios_input.h"

#include <sys/stat.h>

#include <filesystem>

#include "formats/ios_backup.h"
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

std::unique_ptr<MessageReader> BackupReader(const std::u16string& path, const std::string& root) {
  const std::string manifest = root + "/Manifest.db";
  if (IsRegularFile(manifest) && !ios::HasSqliteHeader(manifest)) {
    return std::make_unique<FailedReader>(
        WideToUtf8(path) + ": an encrypted backup, which cannot be read yet; make an unencrypted "
                           "backup to read its messages");
  }
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

}  // namespace

void SetIosInputOptions(IosInputOptions options) { Options() = std::move(options); }
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

// Encrypted iPhone backups (Manifest.plist: IsEncrypted). Manifest.plist holds the backup's
// keybag (BackupKeyBag) and the wrapped key of Manifest.db (ManifestKey); every file's own key is
// in its row of Manifest.db (the `file` column, an NSKeyedArchiver property list whose root names
// EncryptionKey and Size).
//
//   keybag      tag (4 ASCII letters), length (32-bit big-endian), value; the header's SALT, ITER,
//               DPSL, DPIC, then one class key per UUID: CLAS (its protection class), WRAP, WPKY
//               (the class key, wrapped)
//   password    PBKDF2-HMAC-SHA256 (DPSL, DPIC rounds), then PBKDF2-HMAC-SHA1 of that (SALT, ITER
//               rounds): the key that unwraps (RFC 3394) each class key; a wrong password fails
//               the unwrap's integrity check
//   a file key  4 bytes of protection class (little-endian), then the key wrapped with that
//               class's key; ManifestKey is made the same way
//   a file      AES-256-CBC with a zero IV, PKCS#7 padding, cut to its Size
//
// Property lists are read with libplist (Debian's libplist-dev), which reads both the binary and
// the XML form and is what idevicebackup2 itself is built on. Keys and decrypted bytes live in
// memory as briefly as they are used, and decrypted databases only in files without a name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/multimedia.h"

namespace larkpost {

// True when the backup's Manifest.plist says it is encrypted.
bool IsEncryptedIosBackup(const std::string& root);

enum class UnlockResult { kUnlocked, kWrongPassword, kDamaged };

// The class keys of an encrypted backup, unwrapped with its password.
class IosBackupKeys {
 public:
  // Reads Manifest.plist of the backup at `root` and unwraps its class keys; `error` says what
  // is wrong with a damaged backup.
  static UnlockResult Unlock(const std::string& root, std::string_view password,
                             std::shared_ptr<const IosBackupKeys>& keys, std::string& error);

  // The key of Manifest.db (from ManifestKey); false when it cannot be unwrapped.
  bool ManifestKey(std::string& key) const { return Unwrapped(manifestKey_, key); }
  // The key and size of a file from its `file` column; false when the column holds none.
  bool FileKey(std::string_view fileColumn, std::string& key, uint64_t& size) const;

 private:
  // A wrapped key with its class in front, unwrapped with the class's key.
  bool Unwrapped(std::string_view classAndKey, std::string& key) const;

  std::vector<std::pair<uint32_t, std::string>> classKeys_;
  std::string manifestKey_;
};

// A file's bytes decrypted with `key` (AES-256-CBC, zero IV) into a private temporary file
// (mode 0600, below $TMPDIR or /tmp), cut to `size`, or without its padding when `size` is
// negative; `open` is called with its path and opens it (SQLite opens a database by name). The
// file has a name only while `open` runs, in a folder of its own (mode 0700), with SIGINT,
// SIGTERM, SIGHUP and SIGQUIT held back on this thread: what was opened reads a file without a
// name, which is gone however the program ends, and nothing is left behind. (Where the file
// system cannot make a file without a name, it is named while it is written.) False with `error`
// set when the file cannot be read or decrypted, or the copy written.
bool WithDecryptedCopy(const std::string& path, const std::string& key, int64_t size,
                       const std::function<void(const std::string& copy)>& open,
                       std::string& error);

// The bytes of an encrypted file, decrypted as they are read, each time they are read.
std::shared_ptr<const PartBytes> DecryptedBytes(const std::string& path, std::string key,
                                                uint64_t size);

}  // namespace larkpost

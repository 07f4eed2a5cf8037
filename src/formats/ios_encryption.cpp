#include "formats/ios_encryption.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <openssl/evp.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kWrappedKeyBytes = 40;
constexpr size_t kBlock = 16;
constexpr uint32_t kWrapByPasscode = 2;
// Manifest.plist is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxPlistBytes = size_t{1} << 20;

using Plist = std::unique_ptr<void, decltype(&plist_free)>;

Plist ParsePlist(std::string_view bytes) {
  plist_t root = nullptr;
  if (!bytes.empty() && bytes.size() < UINT32_MAX) {
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  return Plist(root, plist_free);
}

std::string SmallFile(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::string();
  std::string bytes(kMaxPlistBytes, '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  return bytes;
}

std::string DataOf(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return std::string();
  char* data = nullptr;
  uint64_t size = 0;
  plist_get_data_val(node, &data, &size);
  std::string bytes(data != nullptr ? data : "", data != nullptr ? size : 0);
  std::free(data);
  return bytes;
}

uint32_t BigEndian32(std::string_view bytes) {
  uint32_t value = 0;
  for (const char c : bytes.substr(0, 4)) value = value << 8 | static_cast<uint8_t>(c);
  return value;
}

uint32_t LittleEndian32(std::string_view bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  }
  return value;
}

// RFC 3394 AES key unwrap; false when the integrity check fails (a wrong key).
bool Unwrap(std::string_view kek, std::string_view wrapped, std::string& key) {
  if (kek.size() != kKeyBytes || wrapped.size() != kWrappedKeyBytes) return false;
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  unsigned char out[kWrappedKeyBytes + kBlock];
  int length = 0;
  int last = 0;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr,
                         reinterpret_cast<const unsigned char*>(kek.data()), nullptr) != 1 ||
      EVP_DecryptUpdate(ctx.get(), out, &length,
                        reinterpret_cast<const unsigned char*>(wrapped.data()),
                        static_cast<int>(wrapped.size())) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out + length, &last) != 1 ||
      length + last != static_cast<int>(kKeyBytes)) {
    return false;
  }
  key.assign(reinterpret_cast<const char*>(out), kKeyBytes);
  OPENSSL_cleanse(out, sizeof out);
  return true;
}

// AES-256-CBC with a zero IV, without padding handling: whole blocks in, whole blocks out.
class CbcDecryptor {
 public:
  explicit CbcDecryptor(const std::string& key)
      : ctx_(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free) {
    static const unsigned char kZeroIv[kBlock] = {};
    ok_ = key.size() == kKeyBytes &&
          EVP_DecryptInit_ex(ctx_.get(), EVP_aes_256_cbc(), nullptr,
                             reinterpret_cast<const unsigned char*>(key.data()), kZeroIv) == 1 &&
          EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) == 1;
  }
  bool ok() const { return ok_; }
  // Decrypts `size` bytes (a multiple of the block) in place.
  bool Decrypt(char* bytes, size_t size) {
    int length = 0;
    return ok_ && EVP_DecryptUpdate(ctx_.get(), reinterpret_cast<unsigned char*>(bytes), &length,
                                    reinterpret_cast<const unsigned char*>(bytes),
                                    static_cast<int>(size)) == 1 &&
           static_cast<size_t>(length) == size;
  }

 private:
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx_;
  bool ok_ = false;
};

// Reads up to `capacity` bytes, as many as the file holds.
size_t ReadFully(CFile& file, char* buffer, size_t capacity) {
  size_t got = 0;
  while (got < capacity) {
    const unsigned read = file.Read(buffer + got, static_cast<unsigned>(capacity - got));
    if (read == 0) break;
    got += read;
  }
  return got;
}

constexpr size_t kChunk = size_t{1} << 20;  // a multiple of the block

class EncryptedBytes : public PartBytes {
 public:
  EncryptedBytes(std::string path, std::string key, uint64_t size)
      : path_(std::move(path)), key_(std::move(key)), size_(size) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    struct State {
      std::unique_ptr<CFile> file;
      std::unique_ptr<CbcDecryptor> decryptor;
      std::unique_ptr<char[]> buffer;  // decrypted bytes, from `at` to `end` not yet given out
      size_t capacity = 0;
      size_t at = 0;
      size_t end = 0;
      uint64_t left = 0;
    };
    auto state = std::make_shared<State>();
    state->file = std::make_unique<CFile>(Utf8ToWide(path_), CFile::modeRead | CFile::shareDenyNone);
    state->decryptor = std::make_unique<CbcDecryptor>(key_);
    state->left = size_;
    // As large as the file's blocks up to its size, at most a chunk: a photo of 40 KB is read
    // (and its buffer filled) once, not a megabyte for it.
    state->capacity = static_cast<size_t>(std::min<uint64_t>(kChunk, (size_ / kBlock + 1) * kBlock));
    state->buffer.reset(new char[state->capacity]);
    std::u16string name = Utf8ToWide(path_);
    return [state, name](char* out, size_t capacity) -> size_t {
      if (state->at == state->end) {
        if (state->left == 0) return 0;
        // The blocks that hold the bytes still wanted: the padding after them is never read.
        const size_t want = static_cast<size_t>(std::min<uint64_t>(
            state->capacity, (state->left + kBlock - 1) / kBlock * kBlock));
        const size_t got = ReadFully(*state->file, state->buffer.get(), want);
        if (got % kBlock != 0 || got == 0 || !state->decryptor->Decrypt(state->buffer.get(), got)) {
          throw CFileException(CFileException::endOfFile, -1, name);
        }
        state->end = static_cast<size_t>(std::min<uint64_t>(got, state->left));
        state->left -= state->end;
        state->at = 0;
      }
      const size_t count = std::min(capacity, state->end - state->at);
      std::memcpy(out, state->buffer.get() + state->at, count);
      state->at += count;
      return count;
    };
  }

 private:
  std::string path_;
  std::string key_;
  uint64_t size_;
};

}  // namespace

bool IsEncryptedIosBackup(const std::string& root) {
  const Plist manifest = ParsePlist(SmallFile(root + "/Manifest.plist"));
  plist_t encrypted = manifest ? plist_dict_get_item(manifest.get(), "IsEncrypted") : nullptr;
  if (encrypted == nullptr || plist_get_node_type(encrypted) != PLIST_BOOLEAN) return false;
  uint8_t value = 0;
  plist_get_bool_val(encrypted, &value);
  return value != 0;
}

UnlockResult IosBackupKeys::Unlock(const std::string& root, std::string_view password,
                                   std::shared_ptr<const IosBackupKeys>& keys,
                                   std::string& error) {
  const Plist manifest = ParsePlist(SmallFile(root + "/Manifest.plist"));
  if (!manifest || plist_get_node_type(manifest.get()) != PLIST_DICT) {
    error = "its Manifest.plist cannot be read";
    return UnlockResult::kDamaged;
  }
  const std::string keybag = DataOf(plist_dict_get_item(manifest.get(), "BackupKeyBag"));
  auto unlocked = std::make_shared<IosBackupKeys>();
  unlocked->manifestKey_ = DataOf(plist_dict_get_item(manifest.get(), "ManifestKey"));

  // The keybag's header, then its class keys, each beginning with a UUID.
  std::string salt, dpsl;
  uint32_t iterations = 0, dpic = 0;
  struct Wrapped {
    uint32_t protectionClass = 0;
    uint32_t wrap = 0;
    std::string key;
  };
  std::vector<Wrapped> wrapped;
  bool inHeader = true;
  bool ownUuid = false;
  for (size_t at = 0; at + 8 <= keybag.size();) {
    const std::string_view tag = std::string_view(keybag).substr(at, 4);
    const uint32_t length = BigEndian32(std::string_view(keybag).substr(at + 4, 4));
    if (length > keybag.size() - at - 8) break;
    const std::string_view value = std::string_view(keybag).substr(at + 8, length);
    at += 8 + length;
    if (tag == "UUID") {
      if (!ownUuid) {
        ownUuid = true;  // the keybag's own, in its header
        continue;
      }
      inHeader = false;
      wrapped.emplace_back();
    } else if (inHeader) {
      if (tag == "SALT") salt = value;
      if (tag == "ITER") iterations = BigEndian32(value);
      if (tag == "DPSL") dpsl = value;
      if (tag == "DPIC") dpic = BigEndian32(value);
    } else if (tag == "CLAS") {
      wrapped.back().protectionClass = BigEndian32(value);
    } else if (tag == "WRAP") {
      wrapped.back().wrap = BigEndian32(value);
    } else if (tag == "WPKY") {
      wrapped.back().key = value;
    }
  }
  if (salt.empty() || iterations == 0 || wrapped.empty() || unlocked->manifestKey_.size() < 4) {
    error = "its keybag (Manifest.plist BackupKeyBag) is damaged";
    return UnlockResult::kDamaged;
  }

  unsigned char first[kKeyBytes];
  unsigned char passcodeKey[kKeyBytes];
  const unsigned char* input = reinterpret_cast<const unsigned char*>(password.data());
  size_t inputSize = password.size();
  if (!dpsl.empty()) {
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(dpsl.data()),
                          static_cast<int>(dpsl.size()), static_cast<int>(dpic), EVP_sha256(),
                          kKeyBytes, first) != 1) {
      error = "its key cannot be derived";
      return UnlockResult::kDamaged;
    }
    input = first;
    inputSize = kKeyBytes;
  }
  const bool derived =
      PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(input), static_cast<int>(inputSize),
                        reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha1(),
                        kKeyBytes, passcodeKey) == 1;
  OPENSSL_cleanse(first, sizeof first);
  const std::string_view kek(reinterpret_cast<const char*>(passcodeKey), kKeyBytes);
  bool anyUnwrapped = false;
  for (const Wrapped& classKey : wrapped) {
    if ((classKey.wrap & kWrapByPasscode) == 0) continue;
    std::string key;
    if (!derived || !Unwrap(kek, classKey.key, key)) {
      OPENSSL_cleanse(passcodeKey, sizeof passcodeKey);
      return UnlockResult::kWrongPassword;
    }
    unlocked->classKeys_.emplace_back(classKey.protectionClass, std::move(key));
    anyUnwrapped = true;
  }
  OPENSSL_cleanse(passcodeKey, sizeof passcodeKey);
  if (!anyUnwrapped) {
    error = "its keybag holds no key a password unlocks";
    return UnlockResult::kDamaged;
  }
  keys = std::move(unlocked);
  return UnlockResult::kUnlocked;
}

bool IosBackupKeys::Unwrapped(std::string_view classAndKey, std::string& key) const {
  if (classAndKey.size() != 4 + kWrappedKeyBytes) return false;
  const uint32_t protectionClass = LittleEndian32(classAndKey);
  for (const auto& [number, classKey] : classKeys_) {
    if (number == protectionClass) return Unwrap(classKey, classAndKey.substr(4), key);
  }
  return false;
}

bool IosBackupKeys::FileKey(std::string_view fileColumn, std::string& key, uint64_t& size) const {
  const Plist archive = ParsePlist(fileColumn);
  if (!archive || plist_get_node_type(archive.get()) != PLIST_DICT) return false;
  plist_t objects = plist_dict_get_item(archive.get(), "$objects");
  plist_t top = plist_dict_get_item(archive.get(), "$top");
  if (objects == nullptr || plist_get_node_type(objects) != PLIST_ARRAY || top == nullptr ||
      plist_get_node_type(top) != PLIST_DICT) {
    return false;
  }
  // An archived value refers to another of $objects by its number (a UID).
  auto resolve = [objects](plist_t node) -> plist_t {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UID) return node;
    uint64_t index = 0;
    plist_get_uid_val(node, &index);
    return index < plist_array_get_size(objects)
               ? plist_array_get_item(objects, static_cast<uint32_t>(index))
               : nullptr;
  };
  plist_t root = resolve(plist_dict_get_item(top, "root"));
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return false;
  plist_t sizeNode = resolve(plist_dict_get_item(root, "Size"));
  if (sizeNode == nullptr || plist_get_node_type(sizeNode) != PLIST_UINT) return false;
  plist_get_uint_val(sizeNode, &size);
  plist_t wrapped = resolve(plist_dict_get_item(root, "EncryptionKey"));
  if (wrapped != nullptr && plist_get_node_type(wrapped) == PLIST_DICT) {
    wrapped = resolve(plist_dict_get_item(wrapped, "NS.data"));
  }
  return Unwrapped(DataOf(wrapped), key);
}

namespace {

// Decrypts the file into `fd`; false with `error` set.
bool DecryptInto(int fd, const std::string& path, const std::string& key, int64_t size,
                 std::string& error) {
  auto fail = [&](const std::string& why) {
    error = path + ": " + why;
    return false;
  };
  try {
    CFile file(Utf8ToWide(path), CFile::modeRead | CFile::shareDenyNone);
    CbcDecryptor decryptor(key);
    std::string buffer(kChunk, '\0');
    uint64_t written = 0;
    while (const size_t got = ReadFully(file, buffer.data(), kChunk)) {
      if (got % kBlock != 0 || !decryptor.Decrypt(buffer.data(), got)) {
        return fail("not a whole number of blocks, or not decrypted");
      }
      const char* at = buffer.data();
      size_t left = got;
      while (left > 0) {
        const ssize_t put = write(fd, at, left);
        if (put < 0) return fail(std::string("private copy: ") + std::strerror(errno));
        at += put;
        left -= static_cast<size_t>(put);
      }
      written += got;
    }
    OPENSSL_cleanse(buffer.data(), buffer.size());
    uint64_t keep = size >= 0 ? std::min<uint64_t>(written, static_cast<uint64_t>(size)) : written;
    if (size < 0 && written >= kBlock) {
      unsigned char padding = 0;
      if (pread(fd, &padding, 1, static_cast<off_t>(written - 1)) != 1 || padding == 0 ||
          padding > kBlock) {
        return fail("wrong key, or damaged");
      }
      keep = written - padding;
    }
    if (ftruncate(fd, static_cast<off_t>(keep)) != 0) {
      return fail(std::string("private copy: ") + std::strerror(errno));
    }
  } catch (const CFileException& failure) {
    return fail(WideToUtf8(failure.ErrorMessage()));
  }
  return true;
}

// Holds back the signals that end a program on this thread while it lives.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace

bool WithDecryptedCopy(const std::string& path, const std::string& key, int64_t size,
                       const std::function<void(const std::string& copy)>& open,
                       std::string& error) {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  // A file without a name from the start, where the file system can make one.
  int fd = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  std::string folder;
  std::string copy;
  auto makeFolder = [&] {
    folder = base + "/larkpost-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {  // mode 0700
      error = folder + ": " + std::strerror(errno);
      folder.clear();
      return false;
    }
    copy = folder + "/decrypted";
    return true;
  };
  auto removeAll = [&] {
    if (!copy.empty()) unlink(copy.c_str());
    if (!folder.empty()) rmdir(folder.c_str());
  };
  if (fd < 0) {
    if (!makeFolder()) return false;
    fd = ::open(copy.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = copy + ": " + std::strerror(errno);
      removeAll();
      return false;
    }
  }
  const bool named = !copy.empty();
  bool decrypted = DecryptInto(fd, path, key, size, error);
  if (decrypted) {
    const HeldSignals held;
    if (!named) {
      decrypted = makeFolder() &&
                  linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), AT_FDCWD,
                         copy.c_str(), AT_SYMLINK_FOLLOW) == 0;
      if (!decrypted && error.empty()) error = copy + ": " + std::strerror(errno);
    }
    if (decrypted) open(copy);
    removeAll();
  } else {
    removeAll();
  }
  close(fd);
  return decrypted;
}

std::shared_ptr<const PartBytes> DecryptedBytes(const std::string& path, std::string key,
                                                uint64_t size) {
  return std::make_shared<EncryptedBytes>(path, std::move(key), size);
}

}  // namespace larkpost

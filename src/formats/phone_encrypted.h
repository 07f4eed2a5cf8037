// The encrypted exports of the Android app "SMS Import / Export": its ZIP sealed with a
// passphrase. Layout, all integers big-endian:
//
//   6  magic "SSEF" 0x00 0xFF        4  Argon2id memory cost in KiB
//   2  format version 0x0001         16 Argon2id salt
//   4  Argon2id time cost            4  chunk size (plaintext bytes of every chunk but the last)
//   24 libsodium secretstream (XChaCha20-Poly1305) header, then the chunks, each its plaintext
//      and 17 bytes; the key is Argon2id13(passphrase, salt, time, memory), 32 bytes.
//
// The app's documentation gives the header; that the last chunk carries the FINAL tag and no
// chunk additional data is our reading of how such a stream is written. A last chunk without
// the tag is taken only when it is short, so a file cut at a chunk's end is still found out.
// Failures throw age::AgeError (formats/age_primitives.h) of the kind that fits.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "formats/age_input.h"
#include "platform/file/input_view.h"

namespace larkpost {

// True when `firstBytes` start with the app's magic.
bool LooksPhoneEncrypted(std::string_view firstBytes);
// True when the file at `path` is one (false also when it cannot be read).
bool IsPhoneEncryptedFile(const std::u16string& path);

// Reads an encrypted export from `input`: the header and key derivation when it is made, then
// the plaintext a chunk at a time. The work the header asks for is capped (1 GiB of memory,
// 32 passes) so that a file cannot exhaust the machine.
class PhoneExportDecryptor {
 public:
  PhoneExportDecryptor(age::AgeInput& input, const std::string& passphrase);
  // The next piece of plaintext, valid until the next call; false after the last.
  bool Next(std::string_view& plain);

 private:
  age::AgeInput& input_;
  alignas(16) unsigned char state_[64];  // crypto_secretstream_xchacha20poly1305_state (52 bytes)
  size_t chunkSize_ = 0;
  std::string sealed_;
  size_t have_ = 0;
  std::string plain_;
  uint64_t index_ = 0;
  bool done_ = false;
};

// Decrypts the file at `path` whole, checking it to its end, into a view that reads it by
// position (formats/age_view.h: sealed again under a fresh key in an unnamed temporary file, as
// the app's stream only opens from its start); `passphrase` is asked for once the file is known
// to need it. Throws age::AgeError or CFileException naming `path`.
std::shared_ptr<const InputView> DecryptPhoneExport(const std::u16string& path,
                                                    const std::function<std::string()>& passphrase);

}  // namespace larkpost

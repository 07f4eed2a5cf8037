// Encrypted files taken whole: telling one by its first bytes, decrypting one into memory before
// anything of it is used; and encrypting what a run writes as it goes to the disk.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "formats/age_keys.h"
#include "platform/file/byte_sink.h"

namespace larkpost::age {

// True when the file at `path` starts as an age file does (binary or armored), whatever its
// name; false also when it cannot be read (its reader then says why).
bool IsAgeFile(const std::u16string& path);

// The plaintext that `decrypt` reads out of the file at `path` (handed its open descriptor) and
// passes to `put`, piece by piece, in a sealed memory file at its start, never on the disk; the
// caller owns the returned descriptor. Throws CFileException naming `path`, and what `decrypt`
// throws.
using PlainPieces = std::function<void(std::string_view piece)>;
int DecryptIntoMemory(const std::u16string& path,
                      const std::function<void(int in, const PlainPieces& put)>& decrypt);

// Decrypts the file at `path` whole into a sealed memory file and returns its descriptor, which
// the caller owns. Every chunk is checked before it returns, so nothing of a file whose end is
// damaged is ever used. Throws AgeError, or CFileException naming `path`. With `damage` (for a
// salvage), a payload that is cut short or damaged gives what its chunks held up to the fault,
// every byte of it authentic, and the fault's text in `damage`.
int DecryptToMemory(const std::u16string& path, const Keys& keys, std::string* damage = nullptr);

// From now on, what a run writes to `target` is encrypted for `to` as it goes to the disk, a
// chunk at a time (WrapOutput, platform/file/output_sink.h); null: written as it is again.
void EncryptOutput(const std::u16string& target, std::shared_ptr<const Recipients> to);

}  // namespace larkpost::age

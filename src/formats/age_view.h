// Encrypted inputs read by position (platform/file/input_view.h), in bounded memory and with no
// plaintext on the disk.
//
// An age payload is a row of 64 KiB chunks each sealed on its own (its nonce is its index and
// the last-chunk flag), so any chunk can be opened alone: a view reads the one or two chunks a
// read touches, through a cache of one chunk per reader. Before a view is made, the whole payload
// is read once and checked (every chunk's tag, the last chunk's flag, nothing after it), so a
// reader never meets a file whose end turns out damaged; a chunk that fails later (the file was
// changed while it was read) throws CFileException.
//
// What cannot be read by position is first put into an unnamed temporary file that holds only
// ciphertext: an armored age file its decoded (still encrypted) bytes; a plaintext that comes as
// a stream (the phone app's encrypted export, sealed as a stream that only opens from the
// start) is sealed again there in the same chunks, under a fresh random key only this process
// knows. A file on the disk costs the disk, not memory; the key never leaves memory.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "formats/age_keys.h"
#include "platform/file/input_view.h"
#include "platform/file/memory_files.h"

namespace larkpost::age {

// The plaintext of the age file at `path` (binary or armored), checked whole. Throws AgeError
// (a wrong key, a damaged header or payload), or CFileException naming `path`. With `damage`
// (for a salvage), a payload that is cut short or damaged gives what its chunks held up to the
// fault, every byte of it authentic, and the fault's text in `damage`.
std::shared_ptr<const InputView> DecryptedView(const std::u16string& path, const Keys& keys,
                                               std::string* damage = nullptr);

// A plaintext that `write` hands piece by piece to `put`, kept sealed in an unnamed temporary
// file under a fresh key; `name` names it in error texts. Throws what `write` throws, and
// CFileException naming `name`.
using PlainPieces = std::function<void(std::string_view piece)>;
std::shared_ptr<const InputView> SpooledView(const std::u16string& name,
                                             const std::function<void(const PlainPieces& put)>& write);

// Seals scratch files (platform/file/memory_files.h) under a fresh random key: XChaCha20-Poly1305,
// a random nonce stored with each chunk every time it is written (a chunk is written again as a
// spool changes), the chunk's index as additional data, so that no chunk takes another's place.
std::shared_ptr<const ScratchSealer> NewScratchSealer();

}  // namespace larkpost::age

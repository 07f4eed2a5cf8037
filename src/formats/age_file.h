// Encrypted files taken whole: telling one by its first bytes, and encrypting what a run writes
// as it goes to the disk (age_view.h reads them).
#pragma once

#include <memory>
#include <string>

#include "formats/age_keys.h"
#include "platform/file/byte_sink.h"

namespace larkpost::age {

// True when the file at `path` starts as an age file does (binary or armored), whatever its
// name; false also when it cannot be read (its reader then says why).
bool IsAgeFile(const std::u16string& path);

// From now on, what a run writes to `target` is encrypted for `to` as it goes to the disk, a
// chunk at a time (WrapOutput, platform/file/output_sink.h); null: written as it is again.
void EncryptOutput(const std::u16string& target, std::shared_ptr<const Recipients> to);

}  // namespace larkpost::age

// The property lists of an iPhone backup on any bytes: a file's `file` column (an archived
// dictionary naming its key and size) and Manifest.plist, binary or XML, each read to an answer
// without a read outside the bytes. (Unlocking is left out: its rounds come from the keybag, and
// a real one asks for ten million.)
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "formats/ios_encryption.h"
#include "scratch_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  larkpost::IosBackupKeys keys;
  std::string key;
  uint64_t fileSize = 0;
  // No class key is known, so no key can come out, whatever the archive says.
  if (keys.FileKey(bytes, key, fileSize) || !key.empty()) __builtin_trap();

  static const std::string root = [] {
    const std::string folder = ScratchPath("-backup");
    std::filesystem::create_directories(folder);
    return folder;
  }();
  std::ofstream(root + "/Manifest.plist", std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  (void)larkpost::IsEncryptedIosBackup(root);
  return 0;
}

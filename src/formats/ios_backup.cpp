#include "formats/ios_backup.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace larkpost {

namespace {

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HoldsManifest(const std::filesystem::path& folder) {
  return IsFile((folder / "Manifest.db").string()) || IsFile((folder / "Manifest.mbdb").string());
}

}  // namespace

std::string IosFileId(std::string_view domain, std::string_view relativePath) {
  const std::string name = std::string(domain) + "-" + std::string(relativePath);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(name.data(), name.size(), digest, &size, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string IosBackupRoot(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) return std::string();
  if (HoldsManifest(path)) return path;
  std::string found;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    if (!entry.is_directory(error) || !HoldsManifest(entry.path())) continue;
    if (!found.empty()) return std::string();
    found = entry.path().string();
  }
  return found;
}

std::string IosBackupFile(const std::string& root, std::string_view domain,
                          std::string_view relativePath) {
  return IosBackupFileById(root, IosFileId(domain, relativePath));
}

std::string IosBackupFileById(const std::string& root, const std::string& id) {
  // A fileID is 40 hex digits; anything else in a damaged Manifest.db names no file.
  if (id.size() != 40 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::string();
  }
  for (const std::string& path : {root + "/" + id.substr(0, 2) + "/" + id, root + "/" + id}) {
    if (IsFile(path)) return path;
  }
  return std::string();
}

std::string AttachmentBelowLibrary(std::string_view filename) {
  std::string_view below = filename;
  bool inLibrary = false;
  for (const std::string_view folder : {"Library/SMS/", "Library/Messages/"}) {
    const size_t at = filename.find(folder);
    if (at != std::string_view::npos && !inLibrary) {
      below = filename.substr(at + folder.size());
      inLibrary = true;
    }
  }
  if (below.starts_with("~/")) below.remove_prefix(2);
  while (below.starts_with("/")) below.remove_prefix(1);
  // The name comes from the database: it must not lead out of the folder it is looked for in.
  for (const auto& component : std::filesystem::path(below)) {
    if (component == "..") return std::string();
  }
  return std::string(below);
}

}  // namespace larkpost

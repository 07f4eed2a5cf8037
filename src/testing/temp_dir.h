// What every test program uses for its files: the whole content of a file, and the one
// temporary folder of every test program: made fresh below the system's temporary folder
// ($TMPDIR, else /tmp) when the holder is made, removed with everything in it when the holder
// goes. Tests put their stores, backups and other files in it, so runs never meet each other's
// files and leave nothing behind.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "platform/text/text.h"
#include "testing/app_import_check.h"

namespace larkpost::testing {

// The whole content of a file; empty when it cannot be read.
inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "larkpost-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern;
  }
  ~TempDir() {
    CheckPhoneFilesWritten();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of a file of that name in the folder, for the C library and the tests' own reads.
  std::string PathOf(const std::string& name) const { return path_ + "/" + name; }
  // The same path as the program's file layer takes it.
  std::u16string File(const std::string& name) const { return Utf8ToWide(PathOf(name)); }
  // The names in the folder, hidden ones included, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  // Every phone file this program wrote into the folder (its own mark inside) is checked the
  // way the phone apps import it (app_import_check.h); files the tests build are not.
  void CheckPhoneFilesWritten() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, error)) {
      const std::string name = entry.path().filename().string();
      const bool zip = name.ends_with(".zip"), xml = name.ends_with(".xml");
      if ((!zip && !xml) || !entry.is_regular_file(error)) continue;
      const std::string bytes = FileBytes(entry.path());
      std::vector<std::string> problems;
      if (xml && bytes.find("<!--Written by Larkpost") != std::string::npos) {
        problems = XmlImportProblems(bytes);
      } else if (zip && bytes.starts_with("PK\x03\x04") && IsOwnZip(bytes)) {
        problems = ZipImportProblems(bytes);
      }
      for (const std::string& problem : problems) ADD_FAILURE() << name << ": " << problem;
    }
  }

  std::string path_;
};

}  // namespace larkpost::testing

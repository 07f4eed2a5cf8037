// Scratch files of one fuzzing process: named by its process id in the temporary folder, and
// removed (with a store's -wal, -shm and -journal beside them) when the process ends normally,
// so runs leave nothing behind. A crash keeps them beside its finding.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

inline std::string ScratchPath(const std::string& suffix) {
  static std::vector<std::string>* const made = new std::vector<std::string>;
  if (made->empty()) {
    std::atexit([] {
      std::error_code ignored;
      for (const std::string& path : *made) {
        for (const char* extra : {"", "-wal", "-shm", "-journal"}) {
          std::filesystem::remove(path + extra, ignored);
        }
      }
    });
  }
  made->push_back((std::filesystem::temp_directory_path() /
                   ("larkpost-fuzz-" + std::to_string(getpid()) + suffix))
                      .string());
  return made->back();
}

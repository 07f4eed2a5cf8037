// What the store's connection and its paths share inside this library.
#pragma once

#include <string>

namespace larkpost::mapi {

// True when `path` is on a file system mounted read-only.
bool OnReadOnlyMount(const std::string& path);

// Creates every missing folder of `dir` with mode 0700 (the messages are private).
bool MakeFolders(const std::string& dir);

}  // namespace larkpost::mapi

// What a file that is not what its name says looks like, told from its first bytes: for the
// line after "File Validation Failed.", so that a user who gave the wrong file learns what it is
// and what reads it, rather than only that it is not a backup file.
#pragma once

#include <string>

namespace larkpost {

// One sentence ("It looks like a PNG picture, which a picture viewer opens.") or empty when the
// first bytes look like nothing known (or the file cannot be read).
std::string WhatTheFileLooksLike(const std::u16string& path);

}  // namespace larkpost

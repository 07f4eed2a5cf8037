// Texts a run adds to the system's own messages, and how a front end recognises them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace larkpost {

// Shown as a warning instead of "Backup Succeeded." when the walk finished but some folders or
// messages of the store could not be read, so the file lacks them:
// "Backup incomplete: 1 folder and 3 messages could not be read and are not in the file."
std::u16string IncompleteBackupText(uint32_t folders, uint32_t messages);
bool IsIncompleteBackupText(std::u16string_view text);

// The line added below a failure message when the run's partial output was kept:
// "Partial output: /home/ann/.sms.bak.Xa81Qz.part"
std::u16string PartialOutputLine(std::u16string_view path);

}  // namespace larkpost

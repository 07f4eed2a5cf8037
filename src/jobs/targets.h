// What the Backup and Restore commands of every front end derive from the user's choice of
// file: the name proposed for a new backup, the question that
// confirms a restore, and the filters of the file dialogs.
#pragma once

#include <string>

#include "jobs/job_records.h"
#include "platform/time/filetime.h"

namespace larkpost {

// "BAK_" followed by the local time as "%Y%m%d_%H%M.bak"; "BAK_" alone when the time cannot be
// formatted.
std::u16string DefaultBackupName(const CTime& now);

// "Are you sure to restore sms from file:" followed directly by the path.
std::u16string RestoreQuestion(const std::u16string& path);

// File-dialog filters in the framework's convention: description and pattern pairs, each part
// ended by "|".
inline constexpr const char16_t* kSaveDialogFilter =
    u"Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|";
inline constexpr const char16_t* kOpenDialogFilter = u"Larkpost File(*.bak)|*.bak|";
// Appended by both dialogs to a name typed without an extension.
inline constexpr const char16_t* kDefaultExtension = u"bak";

}  // namespace larkpost

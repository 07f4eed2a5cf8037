// What the Backup and Restore commands of every front end derive from the user's choice of
// file: the name proposed for a new backup, the format a chosen path selects, the question that
// confirms a restore, and the filters of the file dialogs.
#pragma once

#include <string>

#include "jobs/job_records.h"
#include "platform/time/filetime.h"

namespace larkpost {

// "BAK_" followed by the local time as "%Y%m%d_%H%M.bak"; "BAK_" alone when the time cannot be
// formatted.
std::u16string DefaultBackupName(const CTime& now);

// The format of the path's ending (formats/file_kind.h): the plain-text export for exactly
// ".txt" (case-sensitive), the phone XML, the phone ZIP or the HTML page for ".xml", ".zip",
// ".html"/".htm" in any letter case, a backup file otherwise.
BackupFormat FormatForPath(const std::u16string& path);

// "Are you sure to restore sms from file:" followed directly by the path.
std::u16string RestoreQuestion(const std::u16string& path);

// What a restore did, the line after "Restore Succeeded.":
// "Restored: 3, already present: 0, folders created: 1".
std::u16string RestoreSummaryLine(const RestoreCounts& counts);

// File-dialog filters in the framework's convention: description and pattern pairs, each part
// ended by "|". The save dialog offers every format a backup writes, the handheld's two first and
// in their order; the open dialog every format a restore reads. The format still follows the
// chosen path alone (FormatForPath), whichever filter was selected.
inline constexpr const char16_t* kSaveDialogFilter =
    u"Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|Phone XML(*.xml)|*.xml|"
    u"Phone ZIP(*.zip)|*.zip|HTML Page(*.html;*.htm)|*.html;*.htm|";
inline constexpr const char16_t* kOpenDialogFilter =
    u"Larkpost File(*.bak)|*.bak|Phone XML(*.xml)|*.xml|Phone ZIP(*.zip)|*.zip|";
// Appended by both dialogs to a name typed without an extension.
inline constexpr const char16_t* kDefaultExtension = u"bak";

}  // namespace larkpost

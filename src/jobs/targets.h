// What the Backup and Restore commands of every front end derive from the user's choice of
// file: the name proposed for a new backup, the question that confirms a restore and the line
// that tells what it did, and the filters of the file dialogs.
#pragma once

#include <string>

#include "formats/format_table.h"
#include "jobs/job_records.h"
#include "platform/time/filetime.h"

namespace larkpost {

// "BAK_" followed by the local time as "%Y%m%d_%H%M.bak"; "BAK_" alone when the time cannot be
// formatted.
std::u16string DefaultBackupName(const CTime& now);

// The name proposed for a new file of `kind`: DefaultBackupName for a backup file, and for the
// phone's XML "sms-" and the local time as "%Y%m%d%H%M%S.xml", the only names "SMS Backup &
// Restore" lists; for other kinds the backup name with the kind's ending.
std::u16string DefaultFileName(FileKind kind, const CTime& now);

// "Are you sure to restore sms from file:" followed directly by the path.
std::u16string RestoreQuestion(const std::u16string& path);

// What a restore did, the line after "Restore Succeeded.":
// "Restored: 3, already present: 0, folders created: 1".
// "Restored: 70 (55 SMS, 5 multimedia messages and 10 calls), already present: 0, folders
// created: 0"; the breakdown only where some are not SMS.
std::u16string RestoreSummaryLine(const RestoreCounts& counts);
// "55 SMS, 5 multimedia messages and 10 calls" ("55 SMS" alone when there are none of the others).
std::u16string EntryCountsText(uint64_t sms, uint64_t multimedia, uint64_t calls);

// File-dialog filters in the framework's convention: description and pattern pairs, each part
// ended by "|", made from the format table (formats/format_table.h) in its order. The save
// dialog offers every format a backup writes, the handheld's two ("Larkpost File(*.bak)",
// "Text File(*.txt)") first; the open dialog every format a restore reads, an input told by its
// content by the names its files usually have ("iPhone Messages(sms.db;chat.db)"). The format still
// follows the chosen path alone (FileKindForPath), whichever filter was selected.
std::u16string SaveDialogFilter();
std::u16string OpenDialogFilter();
// Appended by both dialogs to a name typed without an extension.
inline constexpr const char16_t* kDefaultExtension = u"bak";

}  // namespace larkpost

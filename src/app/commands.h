// The Backup and Restore commands: ask for a file, build the job and run it. Both return when
// the run, with its progress dialog, is over; a cancelled dialog or an unconfirmed restore does
// nothing. Encrypted files and iPhone backups ask for their keys first (sealed_files.h).
#pragma once

#include <QtCore/QString>

#include <cstdint>
#include <string>

#include "app/file_dialog.h"

namespace larkpost::app {

// "Message store: PATH", as the command line names the store a restore goes into.
std::string StoreLine(const std::string& database);
// The line after "Backup Succeeded.": "Backed up 1,250 messages into /home/ann/sms.bak".
std::u16string BackupSummaryLine(uint64_t written, const std::u16string& path);
// Where the warning about characters the code page lacks names the command line's option: the
// program's own setting.
std::u16string CodePageHint();
// The open dialog's filter: every pattern of `framework` together first ("Readable
// Files(*.bak;*.xml;*.zip)"), then `framework`'s own filters.
std::u16string ReadableFilter(const std::u16string& framework);

void OnBackupMessages(FileDialogs& dialogs);
void OnRestoreMessages(FileDialogs& dialogs);

}  // namespace larkpost::app

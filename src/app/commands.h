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
// The line after "Backup Succeeded.": "Backed up 1,250 messages into /home/ann/sms.bak", or with
// multimedia messages or calls among them "Backed up 55 SMS, 5 multimedia messages and 10 calls
// into /home/ann/sms.zip", and a line naming the call log written beside it.
std::u16string BackupSummaryLine(uint64_t written, const std::u16string& path,
                                 uint64_t multimedia = 0, uint64_t calls = 0,
                                 const std::u16string& callLog = {});
// Where the warning about characters the code page lacks names the command line's option: the
// program's own setting.
std::u16string CodePageHint();
// The open dialog's filter: every pattern of `framework` together first ("Readable
// Files(*.bak;*.xml;*.zip)"), then `framework`'s own filters.
std::u16string ReadableFilter(const std::u16string& framework);

void OnBackupMessages(FileDialogs& dialogs);
void OnRestoreMessages(FileDialogs& dialogs);

}  // namespace larkpost::app

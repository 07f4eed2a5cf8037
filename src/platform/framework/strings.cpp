#include "platform/framework/strings.h"

namespace {

struct StringEntry {
  unsigned id;
  const char16_t* text;
};

constexpr StringEntry kStringTable[] = {
    {IDS_DOC_TITLE, u"Quenby Larkpost"},
    {IDS_SELECT_SAVE_PATH_PROMPT, u"Please Select Save Path."},
    {IDS_SELECT_BACKUP_FOLDER, u"Please Select Folder for Backup."},
    {IDS_BACKUP_FAILED, u"Error occurred. Backup Failed."},
    {IDS_BACKUP_SUCCEEDED, u"Backup Succeeded."},
    {IDS_SAVE_DIALOG_TITLE, u"Select Save Path."},
    {IDS_OPEN_DIALOG_TITLE, u"Select File Path."},
    {IDS_SELECT_FILE_PATH_PROMPT, u"Please Select File Path."},
    {IDS_RESTORE_SUCCEEDED, u"Restore Succeeded."},
    {IDS_ACCOUNT_INIT_FAILED, u"SMS Account Initialization Failed."},
    {IDS_FILE_VALIDATION_FAILED, u"File Validation Failed."},
    {IDS_PROGRESS_TITLE, u"Quenby Larkpost"},
    {IDS_HOME_PAGE, u"https://larkpost.example.org/"},
    {IDS_EXIT, u"Exit"},
    {IDS_MENU, u"Menu"},
    {AFX_IDS_APP_TITLE, u"Quenby Larkpost"},
};

}  // namespace

std::u16string LoadString(unsigned id) {
  for (const StringEntry& entry : kStringTable) {
    if (entry.id == id) return entry.text;
  }
  return std::u16string();
}

// The program's string table: its user-visible texts by resource identifier. Pure data,
// callable from any thread.
#pragma once

#include <string>

constexpr unsigned IDS_DOC_TITLE = 128;            // document template string (window title)
constexpr unsigned IDS_SELECT_SAVE_PATH_PROMPT = 129;
constexpr unsigned IDS_SELECT_BACKUP_FOLDER = 130;
constexpr unsigned IDS_BACKUP_FAILED = 131;
constexpr unsigned IDS_BACKUP_SUCCEEDED = 132;
constexpr unsigned IDS_SAVE_DIALOG_TITLE = 133;
constexpr unsigned IDS_OPEN_DIALOG_TITLE = 134;
constexpr unsigned IDS_SELECT_FILE_PATH_PROMPT = 135;
constexpr unsigned IDS_RESTORE_SUCCEEDED = 136;
constexpr unsigned IDS_ACCOUNT_INIT_FAILED = 137;
constexpr unsigned IDS_FILE_VALIDATION_FAILED = 138;
constexpr unsigned IDS_PROGRESS_TITLE = 139;       // progress dialog's top label
constexpr unsigned IDS_HOME_PAGE = 140;            // the maker's web address
constexpr unsigned IDS_EXIT = 142;                 // left soft key
constexpr unsigned IDS_MENU = 302;                 // right soft key
constexpr unsigned AFX_IDS_APP_TITLE = 57344;      // application title

// The text of a string table entry; empty for an identifier the table does not hold.
std::u16string LoadString(unsigned id);

// The texts of what a restore step refuses, as a user sees them after "No.%d, ": the store's
// own refusals, whatever file the message came from. A backup file's records add the texts of
// their parsing (backupfile/record_codec.h).
#pragma once

#include <string>

namespace larkpost {

inline constexpr char16_t kCreateMessageError[] = u"Create message error!";
inline constexpr char16_t kSaveError[] = u"Save sms error!";

// "Create folder '%s' error!" with the message's folder path.
inline std::u16string CreateFolderError(const std::u16string& path) {
  return u"Create folder '" + path + u"' error!";
}

}  // namespace larkpost

// Small helpers shared by the store's source files; not part of the store's interface.
#pragma once

#include <string>
#include <string_view>

#include "platform/mapi/mapi.h"

namespace larkpost {

struct SmsFolder;

// Counts the folder in its session's unreadableFolders, once per wrapper.
void NoteUnreadableFolder(SmsFolder& folder);

// A wide text of the interface, or "" for null.
inline std::u16string_view TextOf(const char16_t* text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

}  // namespace larkpost

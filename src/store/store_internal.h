// Small helpers shared by the store's source files; not part of the store's interface.
#pragma once

#include <string>
#include <string_view>

#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"  // TextOf

namespace larkpost {

struct SmsFolder;

// Counts the folder in its session's unreadableFolders, once per wrapper.
void NoteUnreadableFolder(SmsFolder& folder);

}  // namespace larkpost

// Text from untrusted places (folder names, names and texts of a backup file, error messages
// that quote them) made safe to print: control characters are shown escaped, so a crafted name
// cannot move the cursor, retitle the window or clear the screen of the terminal it is shown on.
//
//   "Inbox\x1b[2J"  ->  "Inbox\x1b[2J" with the escape byte written as the four characters \x1b
//
// C0 controls, DEL and the C1 controls (U+0080 to U+009F, which some terminals obey as well) are
// written as \xNN (C1 as \u0085 and so on), and so is every byte that is not part of well-formed
// UTF-8 (a lone 0x9B is a CSI to 8-bit terminals); everything else, backslashes included, as it
// is. Every text that reaches the terminal from a file, a store or an error quoting them passes
// through here, whatever the command.
// JSON output needs none of this: its encoder escapes control characters itself.
#pragma once

#include <string>
#include <string_view>

#include "platform/time/filetime.h"

namespace larkpost {

// A message's time in a listing: local, "2024-05-03 18:02:00", and "no time" for none (a
// draft's zero). Files keep their own forms.
std::string ShownTime(const FILETIME& time);

// For text on one line: line feeds and tabs are escaped too.
std::string PrintableLine(std::string_view utf8);

// For text that may span lines (a message text, a multi-line message): line feeds and tabs stay.
std::string PrintableText(std::string_view utf8);

// As PrintableText, with `indent` after every line feed: a message text below its header.
std::string PrintableIndented(std::string_view utf8, std::string_view indent);

}  // namespace larkpost

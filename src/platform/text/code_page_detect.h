// Which Windows code page the narrow texts of an old file are in, when nobody knows: old
// handheld files come in many code pages, and their owners rarely know which.
#pragma once

#include <string_view>

namespace larkpost {

struct DetectedCodePage {
  unsigned codePage = 0;  // 0: nothing could be told
  bool ascii = true;      // the texts hold no byte above 0x7F: every code page reads them alike
  int confidence = 0;     // ICU's confidence, 0..100 (100 for valid UTF-8 beyond ASCII)
};

// CP_UTF8 when the texts are valid UTF-8 (ASCII alone included; a character cut off at the end,
// as a sample of a longer text may end, is left out), or UTF-8 but for a damaged byte among
// fifty UTF-8 characters and more (confidence 90); otherwise the code page that
// ICU's charset detection (ucsdet) finds most likely among the Windows code pages this text
// layer converts (ISO names mapped onto their Windows relatives: ISO-8859-1 as 1252, GB18030 as
// 936, Shift_JIS as 932, ...). `texts` is every text of the file, joined by line feeds.
DetectedCodePage DetectCodePage(std::string_view texts);

}  // namespace larkpost

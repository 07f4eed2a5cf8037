// Writing text into markup. The five markup characters always become references; the two kinds
// of output differ in the rest, and each keeps its own rule on purpose:
// - an HTML page writes the apostrophe as "&#39;" (HTML 4 has no "&apos;") and drops carriage
//   returns, so a message's "\r\n" shows as one line break in the page's pre-wrapped text;
// - an XML attribute writes the apostrophe as "&apos;" and every control character as a numeric
//   reference ("&#10;"), as the phone app writes them, so line breaks and tabs survive the
//   attribute-value normalisation of an XML reader.
#pragma once

#include <string>
#include <string_view>

namespace larkpost {

enum class Markup { kHtmlText, kXmlAttribute };

// Appends the UTF-8 text to `out`, escaped for `markup`.
void AppendEscaped(std::string& out, std::string_view utf8, Markup markup);
// The same for UTF-16 text.
void AppendEscaped(std::string& out, std::u16string_view text, Markup markup);

}  // namespace larkpost

#include "formats/markup.h"

#include "platform/text/text.h"

namespace larkpost {

void AppendEscaped(std::string& out, std::string_view utf8, Markup markup) {
  const bool html = markup == Markup::kHtmlText;
  for (const char c : utf8) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += html ? "&#39;" : "&apos;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) {
          out.push_back(c);
        } else if (!html) {
          out += "&#" + std::to_string(static_cast<int>(c)) + ";";
        } else if (c != '\r') {
          out.push_back(c);
        }
    }
  }
}

void AppendEscaped(std::string& out, std::u16string_view text, Markup markup) {
  AppendEscaped(out, WideToUtf8(text), markup);
}

}  // namespace larkpost

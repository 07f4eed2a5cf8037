#include "formats/markup.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

TEST(AppendEscaped, MarkupCharactersAlwaysAndTheRestByTheKindOfOutput) {
  struct Case {
    std::string_view text;
    Markup markup;
    std::string_view escaped;
  };
  const Case cases[] = {
      {"<a href=\"x\">&</a>", Markup::kHtmlText, "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;"},
      {"<a href=\"x\">&</a>", Markup::kXmlAttribute, "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;"},
      {"it's", Markup::kHtmlText, "it&#39;s"},
      {"it's", Markup::kXmlAttribute, "it&apos;s"},
      {"a\r\nb\tc\x01", Markup::kHtmlText, "a\nb\tc\x01"},
      {"a\r\nb\tc\x01", Markup::kXmlAttribute, "a&#13;&#10;b&#9;c&#1;"},
      {"Grüße 你好", Markup::kXmlAttribute, "Grüße 你好"},
  };
  for (const Case& c : cases) {
    std::string out = "kept ";
    AppendEscaped(out, c.text, c.markup);
    EXPECT_EQ(out, "kept " + std::string(c.escaped)) << c.text;
  }
  std::string wide;
  AppendEscaped(wide, u"\U0001F600 & 'x'", Markup::kXmlAttribute);
  EXPECT_EQ(wide, "\xF0\x9F\x98\x80 &amp; &apos;x&apos;");
}

}  // namespace
}  // namespace larkpost

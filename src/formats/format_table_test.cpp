#include "formats/format_table.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

TEST(FormatTable, TheLastEndingOfTheNameDecides) {
  EXPECT_EQ(FileKindForPath(u"/home/ann/sms-20240101.xml"), FileKind::kPhoneXml);
  EXPECT_EQ(FileKindForPath(u"SMS.XML"), FileKind::kPhoneXml);
  EXPECT_EQ(FileKindForPath(u"messages.Zip"), FileKind::kPhoneZip);
  EXPECT_EQ(FileKindForPath(u"archive.html"), FileKind::kHtml);
  EXPECT_EQ(FileKindForPath(u"archive.HTM"), FileKind::kHtml);
  EXPECT_EQ(FileKindForPath(u"notes.txt"), FileKind::kTextExport);
  EXPECT_EQ(FileKindForPath(u".txt"), FileKind::kTextExport);
  EXPECT_EQ(FileKindForPath(u"notes.TXT"), FileKind::kBackup);  // as the handheld compares
  EXPECT_EQ(FileKindForPath(u"sms.xml.bak"), FileKind::kBackup);
  EXPECT_EQ(FileKindForPath(u"/home/a.xml/sms"), FileKind::kBackup);  // a dot in a folder name
  EXPECT_EQ(FileKindForPath(u"sms.xml "), FileKind::kBackup);
  EXPECT_TRUE(IsReadable(FileKind::kPhoneZip));
  EXPECT_FALSE(IsReadable(FileKind::kHtml));
  EXPECT_FALSE(IsReadable(FileKind::kTextExport));
}

}  // namespace
}  // namespace larkpost

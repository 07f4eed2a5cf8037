#include "platform/framework/strings.h"

#include <gtest/gtest.h>

TEST(LoadString, HoldsTheProgramsTexts) {
  EXPECT_EQ(LoadString(128), u"Quenby Larkpost");
  EXPECT_EQ(LoadString(129), u"Please Select Save Path.");
  EXPECT_EQ(LoadString(130), u"Please Select Folder for Backup.");
  EXPECT_EQ(LoadString(131), u"Error occurred. Backup Failed.");
  EXPECT_EQ(LoadString(132), u"Backup Succeeded.");
  EXPECT_EQ(LoadString(133), u"Select Save Path.");
  EXPECT_EQ(LoadString(134), u"Select File Path.");
  EXPECT_EQ(LoadString(135), u"Please Select File Path.");
  EXPECT_EQ(LoadString(136), u"Restore Succeeded.");
  EXPECT_EQ(LoadString(137), u"SMS Account Initialization Failed.");
  EXPECT_EQ(LoadString(138), u"File Validation Failed.");
  EXPECT_EQ(LoadString(139), u"Quenby Larkpost");
  EXPECT_EQ(LoadString(140), u"https://larkpost.example.org/");
  EXPECT_EQ(LoadString(142), u"Exit");
  EXPECT_EQ(LoadString(302), u"Menu");
  EXPECT_EQ(LoadString(57344), u"Quenby Larkpost");
}

TEST(LoadString, UnknownIdentifierGivesEmptyText) {
  EXPECT_EQ(LoadString(0), u"");
  EXPECT_EQ(LoadString(141), u"");
  EXPECT_EQ(LoadString(127), u"");
  EXPECT_EQ(LoadString(0xFFFFFFFFu), u"");
}

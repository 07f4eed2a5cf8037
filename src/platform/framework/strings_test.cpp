#include "platform/framework/strings.h"

#include <gtest/gtest.h>

TEST(LoadString, UnknownIdentifierGivesEmptyText) {
  EXPECT_EQ(LoadString(0), u"");
  EXPECT_EQ(LoadString(141), u"");
  EXPECT_EQ(LoadString(127), u"");
  EXPECT_EQ(LoadString(0xFFFFFFFFu), u"");
}

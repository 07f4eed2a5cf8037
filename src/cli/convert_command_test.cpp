#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "cli/terminal_ui.h"
#include "formats/formats_test_util.h"

namespace larkpost {
namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Larkpost(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  const int status = RunCli(args, CliStreams{in, out, err, false, false});
  return {status, out.str(), err.str()};
}

TEST(ConvertCommand, ReportsWhatItReadWroteAndLeftOut) {
  testing::TempDir dir;
  const std::string xml = dir.path() + "/sms.xml";
  std::ofstream(xml) << testing::AppXml(testing::AppSms("+1", "1000", "1", "hi") +
                                            testing::AppMms("2000") +
                                            testing::InThread(testing::AppSms("+2", "3000", "2", "both"), "5") +
                                            testing::InThread(testing::AppSms("+3", "3000", "2", "both"), "5"),
                                        4);
  Outcome run = Larkpost({"convert", xml, dir.path() + "/out.zip"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Converted 3 messages from " + xml + " to " + dir.path() +
                         "/out.zip.\n"
                         "Read 4 entries.\n"
                         "Wrote 4 entries (one per recipient).\n");

  run = Larkpost({"verify", xml});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "OK: 3 messages (1 multimedia) in 4 entries\n");

  run = Larkpost({"convert", "--deleted-as", "bin", xml, dir.path() + "/x.bak"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "larkpost: --deleted-as: \"bin\" is not one of direction, received, sent\n");

  std::ofstream(dir.path() + "/bad.xml") << "<smses><sms date=\"1\" type=\"1\" body=\"x\"></smses>";
  run = Larkpost({"convert", dir.path() + "/bad.xml", dir.path() + "/x.bak"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "larkpost: convert: malformed XML at line 1, column 41 (at entry 1): mismatched tag\n"
            "Nothing was written.\n");
  run = Larkpost({"verify", dir.path() + "/bad.xml"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "malformed XML at line 1, column 41 (at entry 1): mismatched tag\n");
  run = Larkpost({"convert", dir.path() + "/missing.zip", dir.path() + "/x.bak"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, dir.path() + "/missing.zip was not found.\n");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"bad.xml", "out.zip", "sms.xml"}));
}

}  // namespace
}  // namespace larkpost

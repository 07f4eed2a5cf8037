// Known results of the matcher, run end to end through the larkpost-regex program: batch lines
// on its standard input, one JSON result a line on its standard output, and the single-match
// form with its output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Known {
  const char* input;     // one batch line
  const char* expected;  // the program's answer
};

// Runs `command` through the shell; returns its standard output and sets `status`.
std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

std::string ShellQuoted(const std::string& arg) {
  std::string out = "'";
  for (char ch : arg) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return out + "'";
}

std::vector<std::string> RunBatch(const std::vector<Known>& cases) {
  char path[] = "/tmp/larkpost-regex-known-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  {
    std::ofstream input(path);
    for (const Known& k : cases) input << k.input << "\n";
  }
  int status = -1;
  std::string out =
      RunCommand(ShellQuoted(LARKPOST_REGEX_PROGRAM) + " --batch < " + path, &status);
  std::remove(path);
  EXPECT_EQ(status, 0);
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t end; (end = out.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(out.substr(begin, end - begin));
  }
  return lines;
}

void ExpectKnown(const std::vector<Known>& cases) {
  std::vector<std::string> lines = RunBatch(cases);
  ASSERT_EQ(lines.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(lines[i], cases[i].expected) << "input: " << cases[i].input;
  }
}

std::string Repeated(char ch, int count) { return std::string(static_cast<size_t>(count), ch); }

TEST(KnownResults, AddressPatterns) {
  ExpectKnown({
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)>", "text": "\"Ann\" <123>"})j",
       R"({"matched":true,"result":[1,4,0,11,1,4,3,4,7,10,9,10]})"},
      // Greedy groups run to the last possible `" <` and the last `>`.
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)>", "text": "\"A\" <1> \"B\" <2>"})j",
       R"({"matched":true,"result":[1,4,0,15,1,10,9,10,13,14,13,14]})"},
      // No iteration took place: the inner groups report nothing.
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)>", "text": "\"\" <>"})j",
       R"({"matched":true,"result":[1,4,0,5,1,1,-1,-1,4,4,-1,-1]})"},
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)> (\\d*)", "text": "\"Bob\" <+441632960123> 1"})j",
       R"({"matched":true,"result":[1,5,0,23,1,4,3,4,7,20,19,20,22,23]})"},
  });
}

TEST(KnownResults, EmptyMatchesAndDegenerateQuantifiers) {
  std::string hundred = Repeated('a', 100);
  std::string line100 = R"({"pattern": "a{1000}", "text": ")" + hundred + "a\"}";
  std::string line99 = R"({"pattern": "a{1000}", "text": ")" + Repeated('a', 99) + "\"}";
  ExpectKnown({
      {R"({"pattern": "", "text": "abc"})", R"({"matched":true,"result":[1,0,0,0]})"},
      {R"({"pattern": "x*", "text": "abc"})", R"({"matched":true,"result":[1,0,0,0]})"},
      {line100.c_str(), R"({"matched":true,"result":[1,0,0,100]})"},
      {line99.c_str(), R"({"matched":false,"result":[]})"},
      {R"({"pattern": "a{,3}", "text": "aaa"})", R"({"matched":true,"result":[1,0,0,0]})"},
      {R"({"pattern": "a{x}", "text": "a{x}"})", R"({"matched":true,"result":[1,0,0,0]})"},
      {R"({"pattern": "a{3,1}", "text": "aaaa"})", R"({"matched":true,"result":[1,0,0,3]})"},
      {R"({"pattern": "a{3,1}", "text": "aa"})", R"({"matched":false,"result":[]})"},
      {R"({"pattern": "a**", "text": "aaa*"})", R"({"matched":true,"result":[1,0,0,4]})"},
      {R"({"pattern": "*a", "text": "x*a"})", R"({"matched":true,"result":[1,0,1,3]})"},
      {R"({"pattern": "a)b", "text": "xab"})", R"({"matched":true,"result":[1,0,1,2]})"},
  });
}

TEST(KnownResults, GroupsThatTookNoPart) {
  ExpectKnown({
      {R"({"pattern": "(a)|b", "text": "b"})", R"({"matched":true,"result":[1,1,0,1,-1,-1]})"},
      {R"({"pattern": "(a)?\\1", "text": "b"})", R"({"matched":false,"result":[]})"},
  });
}

TEST(KnownResults, CharactersAndEscapes) {
  ExpectKnown({
      // Characters compare signed: 0x01..0xFF is an empty range.
      {R"({"pattern": "[\\x01-\\xff]", "text": "a\u0001\u00ff"})",
       R"({"matched":false,"result":[]})"},
      {R"({"pattern": "\\Qa.b\\E", "text": "a.b"})", R"({"matched":true,"result":[1,0,0,3]})"},
      {R"({"pattern": "\\Qa.b\\E", "text": "axb"})", R"({"matched":false,"result":[]})"},
      {R"({"pattern": "\\LABC\\E", "text": "abc"})", R"({"matched":true,"result":[1,0,0,3]})"},
      {R"({"pattern": "\\x41", "text": "A"})", R"({"matched":true,"result":[1,0,0,1]})"},
      {R"({"pattern": "\\x{263A}", "text": "x:"})", R"({"matched":true,"result":[1,0,1,2]})"},
  });
}

TEST(KnownResults, CaseLineEndsAndNames) {
  ExpectKnown({
      {R"({"pattern": "(?i)abc", "text": "ABC"})", R"({"matched":true,"result":[1,0,0,3]})"},
      {R"({"pattern": "[a-c]", "text": "xB", "flags": 8})",
       R"({"matched":true,"result":[1,0,1,2]})"},
      {R"({"pattern": "$", "text": "a\n"})", R"({"matched":true,"result":[1,0,2,2]})"},
      {R"({"pattern": "\\Z", "text": "a\n"})", R"({"matched":true,"result":[1,0,1,1]})"},
      {R"({"pattern": "\\Z", "text": "a\r\n"})", R"({"matched":true,"result":[1,0,1,1]})"},
      // Multi-line in "a\r\nb": line starts at 0 and 3, line ends at 1 and 4, never at 2.
      {R"({"pattern": "^", "text": "a\r\nb", "flags": 2, "start": 1})",
       R"({"matched":true,"result":[1,0,3,3]})"},
      {R"({"pattern": "$", "text": "a\r\nb", "flags": 2, "start": 0})",
       R"({"matched":true,"result":[1,0,1,1]})"},
      {R"({"pattern": "$", "text": "a\r\nb", "flags": 2, "start": 2})",
       R"({"matched":true,"result":[1,0,4,4]})"},
      {R"({"pattern": "(?<n>a)\\k<N>", "text": "aa"})",
       R"({"matched":true,"result":[1,1,0,2,0,1]})"},
  });
}

// Right to left: the search starts at the end (or the given start) and moves towards 0; every
// element consumes leftwards, so greedy repeats grow to the left.
TEST(KnownResults, RightToLeft) {
  ExpectKnown({
      {R"({"pattern": "a+", "text": "baab", "flags": 16})",
       R"({"matched":true,"result":[1,0,1,3]})"},
      {R"j({"pattern": "(\\d+)-(\\d+)", "text": "12-345", "flags": 16})j",
       R"({"matched":true,"result":[1,2,0,6,0,2,3,6]})"},
      {R"({"pattern": "b", "text": "abab", "flags": 16, "start": 99})",
       R"({"matched":true,"result":[1,0,3,4]})"},
      {R"({"pattern": "b", "text": "abab", "flags": 16, "start": 3})",
       R"({"matched":true,"result":[1,0,1,2]})"},
  });
}

TEST(KnownResults, NoPatternAndStartBeyondTheEnd) {
  ExpectKnown({
      {R"({"pattern": null, "text": "abc"})", R"({"matched":false,"result":[]})"},
      {R"({"pattern": "", "text": "abc", "start": 4})", R"({"matched":false,"result":[]})"},
      {R"({"pattern": "", "text": "abc", "start": 3})", R"({"matched":true,"result":[1,0,3,3]})"},
  });
}

TEST(ProgramSingleMatch, PrintsResultAndExitStatus) {
  const std::string program = ShellQuoted(LARKPOST_REGEX_PROGRAM);
  int status = -1;
  EXPECT_EQ(RunCommand(program + " -f 8 '(b)+' xBb", &status), "matched\n1\n1\n1\n3\n2\n3\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(RunCommand(program + " -s 2 a aba", &status), "matched\n1\n0\n2\n3\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(RunCommand(program + " z abc", &status), "not matched\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(RunCommand(program + " onlypattern 2>/dev/null", &status), "");
  EXPECT_EQ(status, 2);
  EXPECT_EQ(RunCommand(program + " -f nine a a 2>/dev/null", &status), "");
  EXPECT_EQ(status, 2);
}

}  // namespace

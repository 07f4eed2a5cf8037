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
       R"j({"matched":true,"result":[1,4,0,11,1,4,3,4,7,10,9,10]})j"},
      // Greedy groups run to the last possible `" <` and the last `>`.
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)>", "text": "\"A\" <1> \"B\" <2>"})j",
       R"j({"matched":true,"result":[1,4,0,15,1,10,9,10,13,14,13,14]})j"},
      // No iteration took place: the inner groups report nothing.
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)>", "text": "\"\" <>"})j",
       R"j({"matched":true,"result":[1,4,0,5,1,1,-1,-1,4,4,-1,-1]})j"},
      {R"j({"pattern": "\"((\\w|\\W)*)\" <((\\w|\\W)*)> (\\d*)", "text": "\"Bob\" <+441632960123> 1"})j",
       R"j({"matched":true,"result":[1,5,0,23,1,4,3,4,7,20,19,20,22,23]})j"},
  });
}

TEST(KnownResults, EmptyMatchesAndDegenerateQuantifiers) {
  std::string hundred = Repeated('a', 100);
  std::string line100 = R"j({"pattern": "a{1000}", "text": ")j" + hundred + "a\"}";
  std::string line99 = R"j({"pattern": "a{1000}", "text": ")j" + Repeated('a', 99) + "\"}";
  ExpectKnown({
      {R"j({"pattern": "", "text": "abc"})j", R"j({"matched":true,"result":[1,0,0,0]})j"},
      {R"j({"pattern": "x*", "text": "abc"})j", R"j({"matched":true,"result":[1,0,0,0]})j"},
      {line100.c_str(), R"j({"matched":true,"result":[1,0,0,100]})j"},
      {line99.c_str(), R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "a{,3}", "text": "aaa"})j", R"j({"matched":true,"result":[1,0,0,0]})j"},
      {R"j({"pattern": "a{x}", "text": "a{x}"})j", R"j({"matched":true,"result":[1,0,0,0]})j"},
      {R"j({"pattern": "a{3,1}", "text": "aaaa"})j", R"j({"matched":true,"result":[1,0,0,3]})j"},
      {R"j({"pattern": "a{3,1}", "text": "aa"})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "a**", "text": "aaa*"})j", R"j({"matched":true,"result":[1,0,0,4]})j"},
      {R"j({"pattern": "*a", "text": "x*a"})j", R"j({"matched":true,"result":[1,0,1,3]})j"},
      {R"j({"pattern": "a)b", "text": "xab"})j", R"j({"matched":true,"result":[1,0,1,2]})j"},
  });
}

TEST(KnownResults, GroupsThatTookNoPart) {
  ExpectKnown({
      {R"j({"pattern": "(a)|b", "text": "b"})j", R"j({"matched":true,"result":[1,1,0,1,-1,-1]})j"},
      {R"j({"pattern": "(a)?\\1", "text": "b"})j", R"j({"matched":false,"result":[]})j"},
  });
}

TEST(KnownResults, CharactersAndEscapes) {
  ExpectKnown({
      // Characters compare signed: 0x01..0xFF is an empty range.
      {R"j({"pattern": "[\\x01-\\xff]", "text": "a\u0001\u00ff"})j",
       R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "\\Qa.b\\E", "text": "a.b"})j", R"j({"matched":true,"result":[1,0,0,3]})j"},
      {R"j({"pattern": "\\Qa.b\\E", "text": "axb"})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "\\LABC\\E", "text": "abc"})j", R"j({"matched":true,"result":[1,0,0,3]})j"},
      {R"j({"pattern": "\\x41", "text": "A"})j", R"j({"matched":true,"result":[1,0,0,1]})j"},
      {R"j({"pattern": "\\x{263A}", "text": "x:"})j", R"j({"matched":true,"result":[1,0,1,2]})j"},
  });
}

TEST(KnownResults, CaseLineEndsAndNames) {
  ExpectKnown({
      {R"j({"pattern": "(?i)abc", "text": "ABC"})j", R"j({"matched":true,"result":[1,0,0,3]})j"},
      {R"j({"pattern": "[a-c]", "text": "xB", "flags": 8})j",
       R"j({"matched":true,"result":[1,0,1,2]})j"},
      {R"j({"pattern": "$", "text": "a\n"})j", R"j({"matched":true,"result":[1,0,2,2]})j"},
      {R"j({"pattern": "\\Z", "text": "a\n"})j", R"j({"matched":true,"result":[1,0,1,1]})j"},
      {R"j({"pattern": "\\Z", "text": "a\r\n"})j", R"j({"matched":true,"result":[1,0,1,1]})j"},
      // Multi-line in "a\r\nb": line starts at 0 and 3, line ends at 1 and 4, never at 2.
      {R"j({"pattern": "^", "text": "a\r\nb", "flags": 2, "start": 1})j",
       R"j({"matched":true,"result":[1,0,3,3]})j"},
      {R"j({"pattern": "$", "text": "a\r\nb", "flags": 2, "start": 0})j",
       R"j({"matched":true,"result":[1,0,1,1]})j"},
      {R"j({"pattern": "$", "text": "a\r\nb", "flags": 2, "start": 2})j",
       R"j({"matched":true,"result":[1,0,4,4]})j"},
      {R"j({"pattern": "(?<n>a)\\k<N>", "text": "aa"})j",
       R"j({"matched":true,"result":[1,1,0,2,0,1]})j"},
  });
}

// An extra iteration that cannot move the position does not count (and keeps no capture);
// one that can, after trying the empty way first, does.
TEST(KnownResults, EmptyIterations) {
  ExpectKnown({
      {R"j({"pattern": "(a|)*", "text": "b"})j", R"j({"matched":true,"result":[1,1,0,0,-1,-1]})j"},
      {R"j({"pattern": "(a|)*", "text": "aab"})j", R"j({"matched":true,"result":[1,1,0,2,1,2]})j"},
      {R"j({"pattern": "(a*)*", "text": "b"})j", R"j({"matched":true,"result":[1,1,0,0,-1,-1]})j"},
      {R"j({"pattern": "(|a)*", "text": "a"})j", R"j({"matched":true,"result":[1,1,0,1,0,1]})j"},
      // The minimum counts even when it is empty.
      {R"j({"pattern": "(a*)+", "text": "b"})j", R"j({"matched":true,"result":[1,1,0,0,0,0]})j"},
  });
}

// A reference or condition naming a group that is still open sees the text so far.
TEST(KnownResults, OpenGroupsAndRecursion) {
  ExpectKnown({
      {R"j({"pattern": "(a\\1)", "text": "aa"})j", R"j({"matched":true,"result":[1,1,0,2,0,2]})j"},
      {R"j({"pattern": "a\\k", "text": "aa"})j", R"j({"matched":true,"result":[1,0,0,2]})j"},
      {R"j({"pattern": "(a(?(1)b|c))", "text": "ab"})j",
       R"j({"matched":true,"result":[1,1,0,2,0,2]})j"},
      // The outer capture is the one reported.
      {R"j({"pattern": "(a(?1)?b)", "text": "aabb"})j", R"j({"matched":true,"result":[1,1,0,4,0,4]})j"},
      // A recursion into a group that does not exist matches the empty string.
      {R"j({"pattern": "a(?5)b", "text": "ab"})j", R"j({"matched":true,"result":[1,0,0,2]})j"},
  });
}

// Named groups come after the plain ones; a numeric name gives the number; a repeated name
// shares the first one's number.
TEST(KnownResults, GroupNumbering) {
  ExpectKnown({
      {R"j({"pattern": "(?<x>a)(b)", "text": "ab"})j",
       R"j({"matched":true,"result":[1,2,0,2,1,2,0,1]})j"},
      {R"j({"pattern": "(?<2>a)(b)", "text": "ab"})j",
       R"j({"matched":true,"result":[1,2,0,2,1,2,0,1]})j"},
      {R"j({"pattern": "(?<x>a)|(?<X>b)", "text": "b"})j", R"j({"matched":true,"result":[1,1,0,1,0,1]})j"},
      {R"j({"pattern": "(a)\\1", "text": "aA", "flags": 8})j",
       R"j({"matched":true,"result":[1,1,0,2,0,1]})j"},
  });
}

TEST(KnownResults, ClassesEscapesAndLayout) {
  ExpectKnown({
      {R"j({"pattern": "[^]", "text": "\n"})j", R"j({"matched":true,"result":[1,0,0,1]})j"},
      {R"j({"pattern": "a[]|b", "text": "ab"})j", R"j({"matched":true,"result":[1,0,1,2]})j"},
      {R"j({"pattern": "[\\A]", "text": "xA"})j", R"j({"matched":true,"result":[1,0,1,2]})j"},
      {R"j({"pattern": "[\\b]", "text": "b\b"})j", R"j({"matched":true,"result":[1,0,1,2]})j"},
      {R"j({"pattern": "\\x", "text": "x"})j", R"j({"matched":true,"result":[1,0,0,1]})j"},
      {R"j({"pattern": "\\u0041", "text": "A"})j", R"j({"matched":true,"result":[1,0,0,1]})j"},
      {R"j({"pattern": "a(?#note)b", "text": "ab"})j", R"j({"matched":true,"result":[1,0,0,2]})j"},
      // Under the extended flag white space is skipped inside brackets too.
      {R"j({"pattern": "[a b]", "text": " ", "flags": 32})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "a b # note", "text": "ab", "flags": 32})j",
       R"j({"matched":true,"result":[1,0,0,2]})j"},
      // Form feed is white space only under right to left.
      {R"j({"pattern": "\\s", "text": "\f"})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "\\s", "text": "\f", "flags": 16})j", R"j({"matched":true,"result":[1,0,0,1]})j"},
      // Options set in one branch hold for the later branches.
      {R"j({"pattern": "a(?i)b|c", "text": "C"})j", R"j({"matched":true,"result":[1,0,0,1]})j"},
      // Look-behind of any length.
      {R"j({"pattern": "(?<=a+)b", "text": "aab"})j", R"j({"matched":true,"result":[1,0,2,3]})j"},
      // \G only counts under the global flag.
      {R"j({"pattern": "\\Ga", "text": "ba"})j", R"j({"matched":true,"result":[1,0,1,2]})j"},
      {R"j({"pattern": "\\Ga", "text": "ba", "flags": 4})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "(?g)\\Ga", "text": "ba"})j", R"j({"matched":false,"result":[]})j"},
  });
}

// Right to left: the search starts at the end (or the given start) and moves towards 0; every
// element consumes leftwards, so greedy repeats grow to the left.
TEST(KnownResults, RightToLeft) {
  ExpectKnown({
      {R"j({"pattern": "a+", "text": "baab", "flags": 16})j",
       R"j({"matched":true,"result":[1,0,1,3]})j"},
      {R"j({"pattern": "(\\d+)-(\\d+)", "text": "12-345", "flags": 16})j",
       R"j({"matched":true,"result":[1,2,0,6,0,2,3,6]})j"},
      {R"j({"pattern": "b", "text": "abab", "flags": 16, "start": 99})j",
       R"j({"matched":true,"result":[1,0,3,4]})j"},
      {R"j({"pattern": "b", "text": "abab", "flags": 16, "start": 3})j",
       R"j({"matched":true,"result":[1,0,1,2]})j"},
  });
}

TEST(KnownResults, NoPatternAndStartBeyondTheEnd) {
  ExpectKnown({
      {R"j({"pattern": null, "text": "abc"})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "", "text": "abc", "start": 4})j", R"j({"matched":false,"result":[]})j"},
      {R"j({"pattern": "", "text": "abc", "start": 3})j", R"j({"matched":true,"result":[1,0,3,3]})j"},
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

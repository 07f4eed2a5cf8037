// Random cases for the differential test of the pattern matcher against PCRE2: patterns from
// the syntax both engines understand, each spelt twice (ours and PCRE2's, which differ in a few
// spellings), with texts and start positions to run them on. Wherever a case can reach a rule on
// which the engines deliberately differ, the generator keeps it out (the list is at the top of
// differential_generator.cpp); the test then demands the same results from both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace larkpost::differential {

struct GroupInfo {
  bool named = false;
  std::string name;
  int pcre_number = 0;  // order of opening parenthesis
  int index = 0;        // plain: its number; named: position among the named groups (0-based)
  bool closed = false;
  bool soft = false;    // inside a look-around, atomic group or possessive repeat
  std::string pcre_body;  // what is between its parentheses, in PCRE2's spelling
  bool negative = false;  // inside a negative look-around (PCRE2 never reports those)
};

// Where the recursion stands in the PCRE2 spelling until it is spelt out.
constexpr char kCallMark = '\x01';

struct Case {
  std::string ours;
  std::string pcre;
  int flags = 0;
  bool no_cr = false;       // texts must not hold "\r" (multi-line or \Z may be in force)
  bool recursion = false;   // compare matched/not and group 0 only
  bool right_to_left = false;  // `pcre` is the mirrored pattern, run over the reversed text
  std::string recursion_body;  // the called text in PCRE2's spelling, holding the call mark
  std::vector<GroupInfo> groups;
  std::string alphabet;     // characters the pattern mentions, to bias the texts
};

// The random stream of cases. One seed gives the same cases every run.
class Generator {
 public:
  // `extended`: anchors, options, look-arounds, references, recursion and the rest beside the
  // core syntax. `right_to_left`: right-to-left cases, for PCRE2 as their mirror image.
  Generator(uint32_t seed, bool extended, bool right_to_left = false);
  ~Generator();
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  // A new pattern (the random stream goes on).
  Case Make();
  // A text to run `c` on, biased towards the characters its pattern mentions.
  std::string MakeText(const Case& c);
  // A start position for `text`: mostly -1 (the search's own), else 0 to one past its end.
  int MakeStart(const std::string& text);

 private:
  class Maker;
  std::unique_ptr<Maker> maker_;
};

}  // namespace larkpost::differential

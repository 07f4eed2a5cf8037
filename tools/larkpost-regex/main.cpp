// larkpost-regex: runs the pattern matcher from the command line, for people and for tests.
#include <iostream>
#include <string>
#include <vector>

#include "regex_tool.h"

int main(int argc, char** argv) {
  using namespace larkpost::regex_tool;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  std::optional<Options> options = ParseArguments(args, &error);
  if (!options) {
    std::cerr << "larkpost-regex: " << error << "\n" << UsageText();
    return kExitUsage;
  }
  if (options->help) {
    std::cout << UsageText();
    return 0;
  }
  if (options->batch) {
    std::ios::sync_with_stdio(false);
    RunBatch(std::cin, std::cout);
    return 0;
  }
  larkpost::Pattern pattern;
  pattern.Compile(options->pattern.data(), static_cast<int>(options->pattern.size()),
                  options->flags);
  larkpost::PatternMatch match = pattern.Match(options->text.c_str(), options->start);
  std::cout << FormatResult(match);
  return match.Matched() ? kExitMatched : kExitNotMatched;
}

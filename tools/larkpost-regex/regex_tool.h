// Argument and line handling of the larkpost-regex program, kept apart from main() so that tests
// can drive it without starting a process.
//
// Two ways of use:
//   larkpost-regex [-f FLAGS] [-s START] PATTERN TEXT
//       compiles PATTERN with the PatternFlag bits FLAGS (decimal or 0x hex, default 0), matches
//       TEXT from START (default -1) and prints "matched" or "not matched", then the result list
//       one integer a line.
//   larkpost-regex --batch
//       reads one JSON object a line, {"pattern": "...", "text": "...", "flags": 0, "start": -1}
//       (flags and start optional; "pattern": null compiles without a pattern text), and writes
//       one JSON line each, {"matched": true, "result": [...]}, or {"error": "..."} for a line it
//       cannot use. JSON strings are byte strings: U+0000..U+00FF stand for the bytes 0x00..0xFF.
//
// Nothing here exits or touches the process's standard streams: results come back as values and
// the caller decides what to print.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "regex/pattern.h"

namespace larkpost::regex_tool {

// Exit statuses of the program: like grep, 1 says "ran fine, no match".
inline constexpr int kExitMatched = 0;
inline constexpr int kExitNotMatched = 1;
inline constexpr int kExitUsage = 2;

struct Options {
  bool batch = false;
  bool help = false;
  int flags = 0;
  int start = -1;
  std::string pattern;
  std::string text;
};

// Parses the arguments after the program name. Returns nullopt and sets `error` to a one-line
// reason on bad usage. "--" ends the options, so a PATTERN may begin with "-".
std::optional<Options> ParseArguments(const std::vector<std::string>& args, std::string* error);

// Reads a whole decimal or 0x-hexadecimal integer with an optional leading "-" that fits an int.
std::optional<int> ParseInteger(std::string_view text);

std::string UsageText();

// "matched" or "not matched", then every element of the result list, one a line.
std::string FormatResult(const PatternMatch& match);

// Turns a JSON string (UTF-8) into bytes: each character must be at most U+00FF. Returns nullopt
// and sets `error` for a character above it.
std::optional<std::string> DecodeByteString(std::string_view utf8, std::string* error);

// Handles one input line of batch mode and returns the output line (without line feed).
std::string RunBatchLine(std::string_view line);

// Runs batch mode over every line of `in`, writing one line to `out` each; blank lines are skipped.
void RunBatch(std::istream& in, std::ostream& out);

}  // namespace larkpost::regex_tool

#include "regex_tool.h"

#include <charconv>
#include <istream>
#include <limits>
#include <ostream>

#include <nlohmann/json.hpp>

namespace larkpost::regex_tool {
namespace {

using Json = nlohmann::ordered_json;

// Reads one integer member of a batch object into `out`; a missing member keeps the default.
bool ReadIntMember(const Json& object, const char* key, int* out, std::string* error) {
  auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_number_integer()) {
    *error = std::string("\"") + key + "\" must be an integer";
    return false;
  }
  if (it->is_number_unsigned()) {
    auto value = it->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
      *error = std::string("\"") + key + "\" is out of range";
      return false;
    }
    *out = static_cast<int>(value);
    return true;
  }
  auto value = it->get<std::int64_t>();
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    *error = std::string("\"") + key + "\" is out of range";
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

std::string ErrorLine(const std::string& message) {
  Json out;
  out["error"] = message;
  // The message may quote undecodable input; replace such bytes rather than fail to report.
  return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::optional<int> ParseInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  // Parsed as a wider value so that "-2147483648" and "0xffffffff"-style overflows are told apart.
  long long magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size() || magnitude < 0) return std::nullopt;
  long long value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

std::string UsageText() {
  return "usage: larkpost-regex [-f FLAGS] [-s START] [--] PATTERN TEXT\n"
         "       larkpost-regex --batch\n"
         "FLAGS: PatternFlag bits, decimal or 0x hex (1 single-line, 2 multi-line, 4 global,\n"
         "       8 ignore case, 0x10 right to left, 0x20 extended); START: -1 for the default.\n"
         "Prints \"matched\" or \"not matched\", then the result list one integer a line.\n"
         "--batch reads JSON lines {\"pattern\": ..., \"text\": ..., \"flags\": 0, \"start\": -1}\n"
         "and writes {\"matched\": ..., \"result\": [...]} or {\"error\": ...} for each.\n"
         "Exit status: 0 matched, 1 not matched, 2 bad usage.\n";
}

std::optional<Options> ParseArguments(const std::vector<std::string>& args, std::string* error) {
  Options options;
  std::vector<std::string> positional;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
    } else if (arg == "--batch") {
      options.batch = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "-f" || arg == "-s") {
      if (i + 1 >= args.size()) {
        *error = "option " + arg + " needs a value";
        return std::nullopt;
      }
      const std::string& value = args[++i];
      std::optional<int> number = ParseInteger(value);
      if (!number) {
        *error = "option " + arg + ": not an integer: " + value;
        return std::nullopt;
      }
      (arg == "-f" ? options.flags : options.start) = *number;
    } else {
      *error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  if (options.help) return options;
  if (options.batch) {
    if (!positional.empty()) {
      *error = "--batch takes no PATTERN or TEXT (it reads them from standard input)";
      return std::nullopt;
    }
    return options;
  }
  if (positional.size() != 2) {
    *error = positional.size() < 2 ? "PATTERN and TEXT are required" : "too many arguments";
    return std::nullopt;
  }
  options.pattern = positional[0];
  options.text = positional[1];
  return options;
}

std::string FormatResult(const PatternMatch& match) {
  std::string out = match.Matched() ? "matched\n" : "not matched\n";
  for (int value : match.values) out += std::to_string(value) + "\n";
  return out;
}

std::optional<std::string> DecodeByteString(std::string_view utf8, std::string* error) {
  std::string bytes;
  bytes.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      bytes.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Only two-byte sequences can encode U+0080..U+00FF (lead bytes 0xC2 and 0xC3).
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    bool continuation_ok = length > 1 && i + length <= utf8.size();
    for (size_t k = 1; continuation_ok && k < length; ++k) {
      continuation_ok = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
    }
    if (!continuation_ok || length > 4 || lead < 0xC2) {
      *error = "malformed UTF-8 at byte " + std::to_string(i);
      return std::nullopt;
    }
    if (length > 2 || lead > 0xC3) {
      *error = "character above U+00FF at byte " + std::to_string(i) +
               " (strings are byte strings: U+0000..U+00FF only)";
      return std::nullopt;
    }
    auto second = static_cast<unsigned char>(utf8[i + 1]);
    bytes.push_back(static_cast<char>(((lead & 0x1F) << 6) | (second & 0x3F)));
    i += 2;
  }
  return bytes;
}

std::string RunBatchLine(std::string_view line) {
  Json input;
  try {
    input = Json::parse(line);
  } catch (const Json::parse_error& e) {
    return ErrorLine(std::string("not a JSON line: ") + e.what());
  }
  if (!input.is_object()) return ErrorLine("a line must be a JSON object");
  for (const auto& item : input.items()) {
    const std::string& key = item.key();
    if (key != "pattern" && key != "text" && key != "flags" && key != "start") {
      return ErrorLine("unknown key \"" + key + "\"");
    }
  }

  std::string error;
  auto pattern_it = input.find("pattern");
  if (pattern_it == input.end()) return ErrorLine("\"pattern\" is required");
  std::optional<std::string> pattern;  // stays empty for "pattern": null (no pattern text)
  if (pattern_it->is_string()) {
    pattern = DecodeByteString(pattern_it->get_ref<const std::string&>(), &error);
    if (!pattern) return ErrorLine("\"pattern\": " + error);
  } else if (!pattern_it->is_null()) {
    return ErrorLine("\"pattern\" must be a string or null");
  }

  auto text_it = input.find("text");
  if (text_it == input.end() || !text_it->is_string()) {
    return ErrorLine("\"text\" is required and must be a string");
  }
  std::optional<std::string> text =
      DecodeByteString(text_it->get_ref<const std::string&>(), &error);
  if (!text) return ErrorLine("\"text\": " + error);

  int flags = 0;
  int start = -1;
  if (!ReadIntMember(input, "flags", &flags, &error) ||
      !ReadIntMember(input, "start", &start, &error)) {
    return ErrorLine(error);
  }

  Pattern compiled;
  if (pattern) {
    compiled.Compile(pattern->data(), static_cast<int>(pattern->size()), flags);
  } else {
    compiled.Compile(nullptr, 0, flags);
  }
  // The explicit-length form, so that a text may hold zero bytes.
  PatternMatch match = compiled.Match(std::string_view(*text), start);

  Json out;
  out["matched"] = match.Matched();
  out["result"] = match.values;
  return out.dump();
}

void RunBatch(std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    out << RunBatchLine(line) << '\n' << std::flush;
  }
}

}  // namespace larkpost::regex_tool

// Checks for the tests: reads a ZIP or XML this program wrote the way the phone apps' imports
// read them, and lists every place where the import would stop, lose something or take a value
// wrongly. The ZIP as the "SMS Import / Export" app reads it: the archive front to back, the
// lines of messages.ndjson with Android's org.json (getString turns a null into the text
// "null"), a conversation per thread_id as the first line with that id made it, and only the
// data/ entries after messages.ndjson, each for one part. The XML as "SMS Backup & Restore"
// writes and reads it: one element per line, a plain count, "(Unknown)" for a missing name.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace larkpost::testing {

namespace app_check {

inline uint32_t Le(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

inline std::string Inflate(const std::string& packed) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return {};
  std::string out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  int result = Z_OK;
  while (result == Z_OK) {
    char buffer[65536];
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END ? out : std::string();
}

inline bool IsTextType(std::string type) {
  type = type.substr(0, type.find(';'));
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type.rfind("text/", 0) == 0 || type == "application/smil";
}

inline std::string LastSegment(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// No value of an object may be null, a number or a boolean where the app reads a text.
inline void CheckStrings(const nlohmann::json& object, const std::string& where,
                         std::vector<std::string>& problems) {
  for (const auto& [key, value] : object.items()) {
    if (key == "larkpost" || key == "__sender_address" || key == "__recipient_addresses" ||
        key == "__parts") {
      continue;
    }
    if (!value.is_string()) {
      problems.push_back(where + ": \"" + key + "\" is " + value.dump());
    } else if (value.get<std::string>() == "null" && key != "body" && key != "text") {
      problems.push_back(where + ": \"" + key + "\" is \"null\"");
    }
  }
}

}  // namespace app_check

// The lines of messages.ndjson, when it is the archive's first entry.
inline std::vector<std::string> ZipLines(const std::string& zip) {
  std::vector<std::string> lines;
  if (zip.size() < 30 || zip.compare(30, 15, "messages.ndjson") != 0) return lines;
  const size_t data = 30 + app_check::Le(zip, 26, 2) + app_check::Le(zip, 28, 2);
  const std::string text = app_check::Inflate(zip.substr(data, app_check::Le(zip, 18, 4)));
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// A ZIP this program wrote: its lines carry "larkpost".
inline bool IsOwnZip(const std::string& zip) {
  if (zip.size() < 30 || zip.compare(30, 15, "messages.ndjson") != 0) return false;
  const size_t data = 30 + app_check::Le(zip, 26, 2) + app_check::Le(zip, 28, 2);
  const std::string head = app_check::Le(zip, 8, 2) == 0 ? zip.substr(data, 4096)
                                                         : app_check::Inflate(zip.substr(data, app_check::Le(zip, 18, 4)));
  return head.find("\"larkpost\":") != std::string::npos;
}

inline std::vector<std::string> ZipImportProblems(const std::string& zip) {
  using nlohmann::json;
  std::vector<std::string> problems;
  // The entries in the order a reader from the front meets them.
  std::vector<std::string> order;
  std::string lines;
  for (size_t at = 0; at + 30 <= zip.size() && app_check::Le(zip, at, 4) == 0x04034b50;) {
    const uint32_t flags = app_check::Le(zip, at + 6, 2);
    const uint32_t method = app_check::Le(zip, at + 8, 2);
    uint64_t packed = app_check::Le(zip, at + 18, 4);
    const uint32_t nameLength = app_check::Le(zip, at + 26, 2);
    const uint32_t extraLength = app_check::Le(zip, at + 28, 2);
    const std::string name = zip.substr(at + 30, nameLength);
    if ((flags & 8) != 0) {
      problems.push_back(name + ": a data descriptor" +
                         std::string(method == 0 ? " on a stored entry, which the app cannot read" : ""));
      if (method == 0) return problems;
    }
    if (packed == 0xFFFFFFFF) packed = app_check::Le(zip, at + 30 + nameLength + 12, 4) |
                                       uint64_t{app_check::Le(zip, at + 30 + nameLength + 16, 4)} << 32;
    order.push_back(name);
    const size_t data = at + 30 + nameLength + extraLength;
    if (name == "messages.ndjson" && data + packed <= zip.size()) {
      lines = method == 0 ? zip.substr(data, packed) : app_check::Inflate(zip.substr(data, packed));
    }
    at = data + packed;
  }
  if (order.empty() || order.front() != "messages.ndjson") {
    problems.push_back("messages.ndjson is not the first entry");
  }
  std::multiset<std::string> dataAfter;
  bool seenLines = false;
  for (const std::string& name : order) {
    if (name == "messages.ndjson") seenLines = true;
    if (name.rfind("data/", 0) == 0) {
      if (!seenLines) problems.push_back(name + " comes before messages.ndjson: the app skips it");
      dataAfter.insert(name.substr(5));
    }
  }
  if (lines.empty() && !order.empty() && order.front() == "messages.ndjson") {
    problems.push_back("messages.ndjson cannot be inflated");
  }
  std::map<std::string, std::set<std::string>> threads;  // thread_id -> the first line's addresses
  std::multiset<std::string> named;
  size_t number = 0;
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find('\n', at);
    const std::string text = lines.substr(at, end - at);
    at = end == std::string::npos ? lines.size() : end + 1;
    const std::string where = "line " + std::to_string(++number);
    const json line = json::parse(text, nullptr, false);
    if (!line.is_object()) {
      problems.push_back(where + ": not a JSON object");
      continue;
    }
    app_check::CheckStrings(line, where, problems);
    std::set<std::string> addresses;
    if (!line.contains("m_type")) {
      if (line.contains("address") && line["address"].is_string()) addresses.insert(line["address"].get<std::string>());
    } else {
      const auto addressOf = [&](const json& object, const std::string& what) {
        if (!object.is_object()) {
          problems.push_back(where + ": " + what + " is not an object");
          return;
        }
        app_check::CheckStrings(object, where + " " + what, problems);
        if (object.contains("address") && object["address"].is_string()) {
          addresses.insert(object["address"].get<std::string>());
        }
      };
      if (line.contains("__sender_address")) addressOf(line["__sender_address"], "__sender_address");
      if (line.contains("__recipient_addresses")) {
        if (!line["__recipient_addresses"].is_array()) problems.push_back(where + ": __recipient_addresses is not a list");
        else for (const json& item : line["__recipient_addresses"]) addressOf(item, "recipient");
      }
      if (addresses.empty()) problems.push_back(where + ": a multimedia message without any address stops the import");
      if (line.contains("__parts")) {
        if (!line["__parts"].is_array()) {
          problems.push_back(where + ": __parts is not a list");
        } else {
          for (const json& part : line["__parts"]) {
            if (!part.is_object()) {
              problems.push_back(where + ": a part is not an object");
              continue;
            }
            app_check::CheckStrings(part, where + " part", problems);
            if (!part.contains("_data")) continue;
            const std::string file = app_check::LastSegment(part["_data"].get<std::string>());
            if (part.contains("ct") && app_check::IsTextType(part["ct"].get<std::string>())) {
              problems.push_back(where + ": the text part names the file " + file + ", which stops the import");
            }
            named.insert(file);
            if (dataAfter.count(file) != 1) {
              problems.push_back(where + ": the part's file data/" + file + " is not once after messages.ndjson");
            }
          }
        }
      }
    }
    if (line.contains("thread_id") && line["thread_id"].is_string()) {
      const auto [it, first] = threads.emplace(line["thread_id"].get<std::string>(), addresses);
      if (!first && it->second != addresses) {
        problems.push_back(where + ": thread_id " + it->first + " joins it to another conversation");
      }
    }
  }
  for (const std::string& file : named) {
    if (named.count(file) > 1) problems.push_back("data/" + file + " is named by more than one part");
  }
  return problems;
}

// The XML: each <sms>/<mms> starts its own line, the root's count is the number of entries, as
// a plain number, and no party goes without its "(Unknown)".
inline std::vector<std::string> XmlImportProblems(const std::string& xml) {
  std::vector<std::string> problems;
  const size_t root = xml.find("<smses count=\"");
  if (root == std::string::npos) return {"no <smses count=\"...\">"};
  const size_t value = root + 14;
  const std::string count = xml.substr(value, xml.find('"', value) - value);
  if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) {
    problems.push_back("count=\"" + count + "\" is not a plain number");
  }
  if (xml.compare(value + count.size(), 3, "\"  ") == 0 || xml.compare(value + count.size(), 3, "\" >") == 0) {
    problems.push_back("the root tag is padded after its count");
  }
  uint64_t entries = 0;
  for (size_t at = 0; (at = xml.find('<', at)) != std::string::npos; ++at) {
    const bool entry = xml.compare(at, 5, "<sms ") == 0 || xml.compare(at, 5, "<mms ") == 0;
    if (!entry) continue;
    ++entries;
    if (at == 0 || xml.find_last_not_of(' ', at - 1) == std::string::npos ||
        xml[xml.find_last_not_of(' ', at - 1)] != '\n') {
      problems.push_back("entry " + std::to_string(entries) + " does not start a line");
    }
    const std::string tag = xml.substr(at, xml.find('>', at) - at);
    if (tag.find(" contact_name=\"null\"") != std::string::npos) {
      problems.push_back("entry " + std::to_string(entries) + ": contact_name \"null\"");
    }
  }
  if (std::to_string(entries) != count) {
    problems.push_back("count " + count + " for " + std::to_string(entries) + " entries");
  }
  return problems;
}

}  // namespace larkpost::testing

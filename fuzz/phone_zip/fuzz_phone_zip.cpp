// The phone ZIP reader on any bytes: every message it yields, until the end or its error; and
// each line of the input on its own as a line of messages.ndjson.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/message_record.h"
#include "formats/message_stream.h"
#include "formats/phone_entry.h"
#include "formats/phone_json_line.h"
#include "formats/phone_zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto reader = larkpost::JoinedReader(larkpost::ZipEntriesInBuffer(bytes));
  larkpost::MessageRecord record;
  while (reader->Next(record)) {
  }
  size_t start = 0;
  larkpost::OwnerFinder owners;
  while (start <= bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    larkpost::PhoneEntry entry;
    std::string error;
    // A line naming an attachment finds none: the archive of a bare line holds no files.
    const larkpost::PartFileLookup noFiles = [](const std::string&,
                                                std::shared_ptr<const larkpost::PartBytes>&,
                                                std::string& why) {
      why = "no such file";
      return false;
    };
    // The owner is found from the lines themselves, as the first pass over a file finds it.
    const larkpost::OwnerLookup owner = [&owners]() -> const std::unordered_set<std::u16string>& {
      return owners.numbers();
    };
    owners.Take(bytes.substr(start, end - start));
    larkpost::EntryFromJsonLine(bytes.substr(start, end - start), entry, noFiles, error, owner);
    start = end + 1;
  }
  return 0;
}

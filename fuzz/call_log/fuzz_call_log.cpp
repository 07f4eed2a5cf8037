// The call log reader on any bytes: every call it yields, until the end or its error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "formats/message_stream.h"
#include "formats/phone_calls.h"
#include "message/message_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto reader = larkpost::CallLogReader(larkpost::BufferByteSource(bytes));
  larkpost::MessageRecord record;
  while (reader->Next(record)) {
  }
  return 0;
}

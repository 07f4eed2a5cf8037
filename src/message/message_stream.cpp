#include "message/message_stream.h"

#include <cstdio>

#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost {

bool MessageWriter::Prepare(const MessageRecord& record, PreparedMessage& prepared,
                            std::string&) const {
  prepared.record = &record;
  return true;
}

bool MessageWriter::WritePrepared(const PreparedMessage& prepared, std::string& error) {
  return Write(*prepared.record, error);
}

void MessageWriter::LeaveOutUnaddressed(const MessageRecord& record) {
  if (unaddressed_++ > 0) return;
  firstUnaddressed_ = WideToUtf8(record.folderPath);
  FILETIME local{};
  SYSTEMTIME time{};
  if (FileTimeToUInt64(record.deliveryTime) != 0 &&
      FileTimeToLocalFileTime(&record.deliveryTime, &local) && FileTimeToSystemTime(&local, &time)) {
    char text[64];
    std::snprintf(text, sizeof text, ", %04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond);
    firstUnaddressed_ += text;
  }
}

}  // namespace larkpost

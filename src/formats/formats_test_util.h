// Files as the phone apps write them, built from their field lists, and helpers to read messages
// back through the formats' readers.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <string>
#include <utility>
#include <vector>

#include "formats/message_stream.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace larkpost::testing {

// One <sms> element with every attribute the app writes, in its order; `null` values as the app
// writes them. Text arguments must already be escaped as the app escapes them.
inline std::string AppSms(const std::string& address, const std::string& date,
                          const std::string& type, const std::string& body,
                          const std::string& contact = "null") {
  return "  <sms protocol=\"0\" address=\"" + address + "\" date=\"" + date + "\" type=\"" + type +
         "\" subject=\"null\" body=\"" + body +
         "\" toa=\"null\" sc_toa=\"null\" service_center=\"+491770610000\" read=\"1\" "
         "status=\"-1\" locked=\"0\" date_sent=\"" + date +
         "\" sub_id=\"1\" readable_date=\"1 Jan 2024 11:07:06\" contact_name=\"" + contact +
         "\" />\n";
}

// An <mms> element with a part carrying an attachment, as the app writes it.
inline std::string AppMms(const std::string& date, size_t attachmentBytes = 3000) {
  return "  <mms date=\"" + date +
         "\" ct_t=\"application/vnd.wap.multipart.related\" msg_box=\"1\" "
         "address=\"+4915112345678\" m_type=\"132\" contact_name=\"Ann\">\n"
         "    <parts>\n      <part seq=\"0\" ct=\"image/jpeg\" name=\"a.jpg\" text=\"null\" data=\"" +
         std::string(attachmentBytes, 'Q') +
         "\" />\n    </parts>\n    <addrs>\n      <addr address=\"+4915112345678\" type=\"137\" "
         "charset=\"106\" />\n    </addrs>\n  </mms>\n";
}

inline std::string AppXml(const std::string& elements, int count) {
  return "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n"
         "<!--File Created By SMS Backup & Restore v10.20.002 on 01/01/2024 12:00:00-->\n"
         "<?xml-stylesheet type=\"text/xsl\" href=\"sms.xsl\"?>\n"
         "<smses count=\"" + std::to_string(count) + "\" backup_set=\"6f1c\" backup_date=\"1704106800000\" type=\"full\">\n" +
         elements + "</smses>\n";
}

// A ZIP holding the given files, built with the ZIP library as the app's archive is.
inline std::string ZipOf(const std::vector<std::pair<std::string, std::string>>& files) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_source_keep(target);
  zip_t* archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
  for (const auto& [name, content] : files) {
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  }
  EXPECT_EQ(zip_close(archive), 0);
  zip_source_open(target);
  zip_source_seek(target, 0, SEEK_END);
  std::string bytes(static_cast<size_t>(zip_source_tell(target)), '\0');
  zip_source_seek(target, 0, SEEK_SET);
  zip_source_read(target, bytes.data(), bytes.size());
  zip_source_close(target);
  zip_source_free(target);
  zip_error_fini(&error);
  return bytes;
}

// One line as the app writes it: Android's columns, every value a string or null.
inline std::string AppLine(const std::string& address, const std::string& date, const std::string& type,
                    const std::string& body, const std::string& name = "null") {
  return R"({"_id":"12","thread_id":"3","address":)" + address + R"(,"date":")" + date +
         R"(","date_sent":"0","protocol":"0","read":"1","status":"-1","type":")" + type +
         R"(","reply_path_present":"0","subject":null,"body":)" + body +
         R"(,"service_center":null,"locked":"0","sub_id":"1","error_code":"-1","creator":"com.google.android.apps.messaging","seen":"1","__display_name":)" +
         name + "}\n";
}

// Every message of a reader; the reader's error (empty when none) in `error`.
inline std::vector<MessageRecord> ReadAll(MessageReader& reader, std::string& error) {
  std::vector<MessageRecord> records;
  MessageRecord record;
  while (reader.Next(record)) records.push_back(record);
  error = reader.error();
  return records;
}

// TempDir: testing/temp_dir.h.

}  // namespace larkpost::testing

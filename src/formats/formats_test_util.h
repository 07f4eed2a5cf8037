// Files as the phone apps write them, built from their field lists, and helpers to read messages
// back through the formats' readers.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>
#include <zip.h>

#include <cstring>
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

// The <sms> of AppSms in the conversation `thread`, as versions of the app that write thread_id
// put it (after locked), or a line of AppLine in that conversation: the grouping that marks
// entries of one message sent to several people.
inline std::string InThread(std::string sms, const std::string& thread) {
  // A line of the other app (AppLine) names its thread already.
  const size_t named = sms.find(R"("thread_id":")");
  if (named != std::string::npos) {
    const size_t value = named + 13;
    return sms.replace(value, sms.find('"', value) - value, thread);
  }
  return sms.insert(sms.find(" date_sent="), " thread_id=\"" + thread + "\"");
}

// One <call> element with the attributes the XML app writes for a call, in its order.
inline std::string AppCall(const std::string& number, const std::string& date,
                           const std::string& type, const std::string& duration,
                           const std::string& contact = "(Unknown)") {
  return "  <call number=\"" + number + "\" duration=\"" + duration + "\" date=\"" + date +
         "\" type=\"" + type + "\" presentation=\"1\" subscription_id=\"-1\" post_dial_digits=\"\""
         " subscription_component_name=\"null\" readable_date=\"Jan 1, 2024 11:07:06 AM\""
         " contact_name=\"" + contact + "\" />\n";
}

// The XML app's call log, calls-<date>.xml, around its <call> elements.
inline std::string AppCallsXml(const std::string& calls, int count) {
  return "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n"
         "<?xml-stylesheet type=\"text/xsl\" href=\"calls.xsl\"?>\n"
         "<calls count=\"" + std::to_string(count) +
         "\" backup_set=\"6f1c\" backup_date=\"1704106800000\" type=\"full\">\n" + calls +
         "</calls>\n";
}

// One call of the other app's call log (calls-<date>.json): Android's call_log columns, every
// value a string, as it exports them. `name` is escaped for JSON already.
inline std::string AppCallLogEntry(const std::string& id, const std::string& number,
                                   const std::string& date, const std::string& type,
                                   const std::string& duration, const std::string& name) {
  return "{\"_id\":\"" + id + "\",\"number\":\"" + number + "\",\"presentation\":\"1\",\"date\":\"" +
         date + "\",\"duration\":\"" + duration + "\",\"subscription_id\":\"1\",\"type\":\"" +
         type + "\",\"new\":\"1\",\"is_read\":\"1\",\"countryiso\":\"US\",\"features\":\"0\"," +
         (name.empty() ? "" : "\"name\":\"" + name + "\",") +
         "\"numbertype\":\"2\",\"last_modified\":\"" + date + "\"}";
}

// The call log around its calls: one JSON array, as the app writes the file.
inline std::string AppCallLog(const std::vector<std::string>& calls) {
  std::string text = "[";
  for (size_t i = 0; i < calls.size(); ++i) text += (i == 0 ? "" : ",") + calls[i];
  return text + "]";
}

// Base64 as the app writes it (one line, "=" padding), written out here from the alphabet so
// that a test never checks the decoder against its own encoder.
inline std::string AppBase64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    text += kAlphabet[v >> 18];
    text += kAlphabet[v >> 12 & 63];
    text += i + 1 < bytes.size() ? kAlphabet[v >> 6 & 63] : '=';
    text += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return text;
}

// Small pictures as cameras and keyboards make them: the format's real header, then bytes of
// every value.
inline std::string Picture(const std::string& kind, size_t size) {
  std::string bytes = kind == "png"   ? std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16)
                      : kind == "gif" ? std::string("GIF89a\x10\0\x10\0\x80\0\0", 13)
                                      : std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01\x01", 13);
  for (size_t i = 0; bytes.size() < size; ++i) bytes.push_back(static_cast<char>(i * 31 + i / 256));
  return bytes;
}

// One part of a multimedia message as both apps list it; "null" for an absent value. `data` is
// the raw bytes of an attachment (none for a text or SMIL part).
struct AppPart {
  std::string seq = "0";
  std::string ct = "text/plain";
  std::string name = "null";
  std::string chset = "null";
  std::string cid = "null";
  std::string cl = "null";
  std::string text = "null";  // escaped as the file needs it
  std::string data;
  bool hasData = false;
};

inline AppPart TextPart(const std::string& text, const std::string& chset = "106") {
  AppPart part;
  part.chset = chset;
  part.cl = "text_0.txt";
  part.text = text;
  return part;
}

inline AppPart SmilPart() {
  AppPart part;
  part.seq = "-1";
  part.ct = "application/smil";
  part.cid = "&lt;smil&gt;";
  part.cl = "smil.xml";
  part.text = "&lt;smil&gt;&lt;body&gt;&lt;par dur=&quot;5000ms&quot;&gt;&lt;img src=&quot;"
              "image000000.jpg&quot;/&gt;&lt;/par&gt;&lt;/body&gt;&lt;/smil&gt;";
  return part;
}

inline AppPart PicturePart(const std::string& ct, const std::string& file, std::string bytes) {
  AppPart part;
  part.ct = ct;
  part.name = file;
  part.cid = "&lt;" + file.substr(0, file.find('.')) + "&gt;";
  part.cl = file;
  part.data = std::move(bytes);
  part.hasData = true;
  return part;
}

// An <mms> element with every attribute the app writes, in its order: `box` is msg_box,
// `address` the other parties joined by "~", `contact` their names joined by ", ", `addrs` the
// addresses with their types (137 from, 151 to, 130 cc, 129 bcc).
inline std::string AppMmsOf(const std::string& date, const std::string& box,
                            const std::string& address, const std::string& contact,
                            const std::vector<AppPart>& parts,
                            const std::vector<std::pair<std::string, int>>& addrs) {
  std::string xml = "  <mms date=\"" + date +
                    "\" spam_report=\"0\" ct_t=\"application/vnd.wap.multipart.related\" msg_box=\"" +
                    box + "\" address=\"" + address +
                    "\" sub_cs=\"null\" re_type=\"0\" retr_st=\"null\" d_tm=\"null\" exp=\"null\" "
                    "locked=\"0\" m_id=\"mid" + date + "@mms.example\" retr_txt=\"null\" date_sent=\"" +
                    date.substr(0, date.size() > 3 ? date.size() - 3 : 0) +
                    "\" read=\"1\" rpt_a=\"null\" ct_cls=\"null\" pri=\"129\" sub_id=\"1\" "
                    "resp_txt=\"null\" ct_l=\"null\" d_rpt=\"129\" m_cls=\"personal\" m_type=\"" +
                    std::string(box == "1" ? "132" : "128") +
                    "\" v=\"18\" text_only=\"0\" st=\"null\" seen=\"1\" m_size=\"0\" resp_st=\"null\" "
                    "tr_id=\"T" + date + "\" rr=\"129\" readable_date=\"Jan 1, 2024 11:07:07 AM\" "
                    "contact_name=\"" + contact + "\" sub=\"null\" creator=\"com.google.android.apps.messaging\">\n"
                    "    <parts>\n";
  for (const AppPart& part : parts) {
    xml += "      <part seq=\"" + part.seq + "\" ct=\"" + part.ct + "\" name=\"" + part.name +
           "\" chset=\"" + part.chset + "\" cd=\"null\" fn=\"null\" cid=\"" + part.cid + "\" cl=\"" +
           part.cl + "\" ctt_s=\"null\" ctt_t=\"null\" text=\"" + part.text + "\"";
    if (part.hasData) xml += " data=\"" + AppBase64(part.data) + "\"";
    xml += " />\n";
  }
  xml += "    </parts>\n    <addrs>\n";
  for (const auto& [number, type] : addrs) {
    xml += "      <addr address=\"" + number + "\" type=\"" + std::to_string(type) +
           "\" charset=\"106\" />\n";
  }
  return xml + "    </addrs>\n  </mms>\n";
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

// An export encrypted as "SMS Import / Export" writes it: its 36-byte header (magic, version,
// Argon2id passes and KiB, salt, chunk size, big-endian), then a libsodium secretstream of
// `chunkSize` chunks, the last one tagged FINAL (none when `finalTag` is off). The app's own
// key derivation work by default.
inline std::string AppEncryptedExport(const std::string& plain, const std::string& passphrase,
                                      uint32_t chunkSize = 65536, bool finalTag = true,
                                      uint32_t passes = 3, uint32_t memoryKiB = 65536) {
  EXPECT_GE(sodium_init(), 0);
  std::string file("SSEF\0\xFF\0\x01", 8);
  auto bigEndian = [&file](uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) file.push_back(static_cast<char>(value >> shift));
  };
  bigEndian(passes);
  bigEndian(memoryKiB);
  unsigned char salt[16];
  randombytes_buf(salt, sizeof salt);
  file.append(reinterpret_cast<const char*>(salt), sizeof salt);
  bigEndian(chunkSize);
  unsigned char key[crypto_secretstream_xchacha20poly1305_KEYBYTES];
  EXPECT_EQ(crypto_pwhash(key, sizeof key, passphrase.data(), passphrase.size(), salt, passes,
                          size_t{memoryKiB} * 1024, crypto_pwhash_ALG_ARGON2ID13), 0);
  crypto_secretstream_xchacha20poly1305_state state;
  unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
  crypto_secretstream_xchacha20poly1305_init_push(&state, header, key);
  file.append(reinterpret_cast<const char*>(header), sizeof header);
  size_t at = 0;
  do {
    const size_t size = std::min<size_t>(chunkSize, plain.size() - at);
    const bool last = at + size == plain.size();
    std::string sealed(size + crypto_secretstream_xchacha20poly1305_ABYTES, '\0');
    crypto_secretstream_xchacha20poly1305_push(
        &state, reinterpret_cast<unsigned char*>(sealed.data()), nullptr,
        reinterpret_cast<const unsigned char*>(plain.data() + at), size, nullptr, 0,
        last && finalTag ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                         : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    file += sealed;
    at += size;
  } while (at < plain.size());
  return file;
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

// A JSON string ("...") or null for the "null" of AppPart, whose texts are escaped for XML.
inline std::string JsonText(const std::string& xmlText) {
  if (xmlText == "null") return "null";
  std::string text;
  for (size_t i = 0; i < xmlText.size(); ++i) {
    const std::pair<const char*, char> entities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&amp;", '&'}};
    bool replaced = false;
    for (const auto& [entity, c] : entities) {
      if (xmlText.compare(i, std::strlen(entity), entity) == 0) {
        text += c;
        i += std::strlen(entity) - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) text += xmlText[i];
  }
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// A multimedia line as the Import / Export app writes it: the mms columns (date in seconds),
// the sender and recipients as addr objects, the parts with their _data paths on the phone.
// The attachments go into `files` as data/<name> for ZipOf. `parts` texts are unescaped here.
inline std::string AppMmsLine(const std::string& seconds, const std::string& box,
                              const std::string& displayName, const std::vector<AppPart>& parts,
                              const std::vector<std::pair<std::string, int>>& addrs,
                              std::vector<std::pair<std::string, std::string>>& files) {
  static int partId = 100;
  std::string line = R"({"_id":"41","thread_id":"7","date":")" + seconds +
                     R"(","date_sent":")" + seconds + R"(","msg_box":")" + box +
                     R"(","read":"1","m_id":"mid)" + seconds +
                     R"(","sub":null,"sub_cs":null,"ct_t":"application/vnd.wap.multipart.related","exp":null,"m_cls":"personal","m_type":")" +
                     (box == "1" ? "132" : "128") +
                     R"(","v":"18","m_size":"0","pri":"129","rr":"129","tr_id":"T)" + seconds +
                     R"(","d_rpt":"129","locked":"0","sub_id":"1","seen":"1","creator":"com.google.android.apps.messaging","text_only":"0")";
  std::string recipients;
  for (const auto& [number, type] : addrs) {
    const std::string object = R"({"_id":")" + std::to_string(++partId) + R"(","msg_id":"41","contact_id":null,"address":")" +
                               number + R"(","type":")" + std::to_string(type) + R"(","charset":"106"})";
    if (type == 137) {
      line += R"(,"__sender_address":)" + object;
    } else {
      recipients += (recipients.empty() ? "" : ",") + object;
    }
  }
  line += R"(,"__recipient_addresses":[)" + recipients + "]";
  line += R"(,"__parts":[)";
  for (size_t i = 0; i < parts.size(); ++i) {
    const AppPart& part = parts[i];
    const std::string id = std::to_string(++partId);
    std::string data = "null";
    if (part.hasData) {
      const std::string file = "PART_" + seconds + id + "_" + part.cl;
      data = "\"/data/user/0/com.android.providers.telephony/app_parts/" + file + "\"";
      files.emplace_back("data/" + file, part.data);
    }
    line += (i == 0 ? "" : ",") + std::string(R"({"_id":")") + id + R"(","mid":"41","seq":")" +
            part.seq + R"(","ct":")" + part.ct + R"(","name":)" + JsonText(part.name) +
            R"(,"chset":)" + JsonText(part.chset) + R"(,"cd":null,"fn":null,"cid":)" +
            JsonText(part.cid) + R"(,"cl":)" + JsonText(part.cl) +
            R"(,"ctt_s":null,"ctt_t":null,"_data":)" + data + R"(,"text":)" + JsonText(part.text) + "}";
  }
  return line + R"(],"__display_name":)" + JsonText(displayName) + "}\n";
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

#include "formats/phone_xml.h"

#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <cctype>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "formats/markup.h"
#include "formats/xml_prefilter.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;

bool IsNull(std::string_view value) { return value == "null"; }

std::u16string Text(std::string_view utf8) {
  std::u16string text = Utf8ToWide(utf8);
  RestoreControls(text);
  return text;
}

// An attribute's value as the file means it (the filter's private characters mapped back), cut
// to a length an error message can show.
std::string Quoted(std::string_view value) {
  constexpr size_t kShown = 40;
  std::u16string text = Text(value.substr(0, kShown * 4));
  const bool cut = text.size() > kShown || value.size() > kShown * 4;
  if (text.size() > kShown) {
    text.resize(kShown);
    if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  }
  return "\"" + WideToUtf8(text) + (cut ? "..." : "") + "\"";
}

class XmlSource : public EntrySource {
 public:
  explicit XmlSource(ByteSource source)
      : source_(std::move(source)), parser_(XML_ParserCreate("UTF-8")), chunk_(kChunkBytes) {
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlSource::Start, &XmlSource::End);
    XML_SetCharacterDataHandler(parser_, &XmlSource::Characters);
    XML_SetStartDoctypeDeclHandler(parser_, &XmlSource::Doctype);
  }
  ~XmlSource() override { XML_ParserFree(parser_); }
  XmlSource(const XmlSource&) = delete;
  XmlSource& operator=(const XmlSource&) = delete;

  bool NextEntry(PhoneEntry& entry, std::string& error) override {
    while (ready_.empty()) {
      if (!error_.empty()) {
        error = error_;
        return false;
      }
      if (ended_) return false;
      Parse();
    }
    entry = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }

 private:
  void Parse() {
    const size_t got = source_(chunk_.data(), chunk_.size());
    const bool last = got == 0;
    if (last && read_ == 0) {
      error_ = "not an XML file of messages: it is empty";
      ended_ = true;
      return;
    }
    if (read_ == 0 && !TakeEncoding(std::string_view(chunk_.data(), got))) return;
    read_ += got;
    filtered_.clear();
    std::string_view bytes(chunk_.data(), got);
    if (latin1_) {
      // Each byte is the character of its value: two UTF-8 bytes for those from 0x80 on.
      latin1Utf8_.clear();
      for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
          latin1Utf8_.push_back(c);
        } else {
          latin1Utf8_.push_back(static_cast<char>(0xC0 | (byte >> 6)));
          latin1Utf8_.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
      }
      bytes = latin1Utf8_;
    }
    filter_.Feed(bytes, last, filtered_);
    fed_ += filtered_.size();
    if (XML_Parse(parser_, filtered_.data(), static_cast<int>(filtered_.size()), last) ==
            XML_STATUS_ERROR &&
        error_.empty()) {
      error_ = "malformed XML at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) +
               ", column " + std::to_string(XML_GetCurrentColumnNumber(parser_)) + Within() +
               ": " + XML_ErrorString(XML_GetErrorCode(parser_));
    }
    if (last) ended_ = true;
    if (error_.empty() && fed_ - lastEvent_ > kMaxEntryBytes) {
      error_ = "entry " + std::to_string(elements_ + 1) + " (from line " +
               std::to_string(lastEventLine_) + ") is larger than " +
               std::to_string(kMaxEntryBytes >> 20) + " MiB; no message is that long";
    }
  }

  // The encoding the XML declaration names, from the file's first bytes. The parser reads UTF-8
  // (the app's encoding); an ISO-8859-1 file is turned into UTF-8 on the way in. Any other is
  // refused by name rather than misread.
  bool TakeEncoding(std::string_view head) {
    if (!head.starts_with("<?xml")) return true;
    const std::string_view declaration = head.substr(0, head.find("?>"));
    const size_t key = declaration.find("encoding");
    if (key == std::string_view::npos) return true;
    const size_t open = declaration.find_first_of("\"'", key);
    if (open == std::string_view::npos) return true;
    const size_t close = declaration.find(declaration[open], open + 1);
    if (close == std::string_view::npos) return true;
    std::string name(declaration.substr(open + 1, close - open - 1));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "UTF-8" || name == "UTF8" || name == "US-ASCII" || name == "ASCII") return true;
    if (name == "ISO-8859-1" || name == "ISO8859-1" || name == "LATIN1" || name == "LATIN-1") {
      latin1_ = true;
      return true;
    }
    error_ = "the file is in the encoding \"" + name.substr(0, 40) +
             "\"; only UTF-8 and ISO-8859-1 files are read";
    ended_ = true;
    return false;
  }

  // " (at entry 7)": inside an entry, or between the root's children, where the next entry is
  // the one being read.
  std::string Within() const {
    if (depth_ >= 2) return " (at entry " + std::to_string(elements_) + ")";
    if (depth_ == 1) return " (at entry " + std::to_string(elements_ + 1) + ")";
    return std::string();
  }

  void Mark() {
    lastEvent_ = static_cast<uint64_t>(XML_GetCurrentByteIndex(parser_));
    lastEventLine_ = XML_GetCurrentLineNumber(parser_);
  }

  void Fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    XML_StopParser(parser_, XML_FALSE);
  }

  static void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<XmlSource*>(data);
    self->Mark();
    ++self->depth_;
    if (self->depth_ == 1) {
      if (std::strcmp(name, "smses") != 0) {
        self->Fail(std::string("not an SMS Backup & Restore file: its root element is <") + name +
                   ">, not <smses>");
      }
      return;
    }
    if (self->depth_ != 2) return;
    if (std::strcmp(name, "mms") == 0) {
      ++self->elements_;
      ++self->mmsSkipped;
    } else if (std::strcmp(name, "sms") == 0) {
      ++self->elements_;
      self->TakeSms(attributes);
    }
  }

  // The app's files declare no document type. One could declare entities, which expand a small
  // file into gigabytes of text; the file is refused before any is read.
  static void XMLCALL Doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<XmlSource*>(data)->Fail(
        "the file declares a document type (<!DOCTYPE>), which SMS Backup & Restore files never "
        "do; it is not read, as its entities could expand without bound");
  }

  static void XMLCALL End(void* data, const XML_Char*) {
    auto* self = static_cast<XmlSource*>(data);
    self->Mark();
    --self->depth_;
  }

  static void XMLCALL Characters(void* data, const XML_Char*, int) {
    static_cast<XmlSource*>(data)->Mark();
  }

  void TakeSms(const XML_Char** attributes) {
    const std::string where = "sms entry " + std::to_string(elements_) + " (line " +
                              std::to_string(XML_GetCurrentLineNumber(parser_)) + "): ";
    // What the parser hands over is expanded already (entities, references): its size is what
    // holds the limit, whatever the file's bytes.
    size_t expanded = 0;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      expanded += std::strlen(a[0]) + std::strlen(a[1]);
    }
    if (expanded > kMaxEntryBytes) {
      return Fail(where + "it is larger than " + std::to_string(kMaxEntryBytes >> 20) +
                  " MiB; no message is that long");
    }
    PhoneEntry entry;
    bool haveDate = false, haveType = false;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      const std::string_view key = a[0];
      const std::string_view value = a[1];
      int64_t number = 0;
      if (key == "address") {
        if (!IsNull(value)) entry.address = Text(value);
      } else if (key == "contact_name") {
        if (!IsNull(value) && value != "(Unknown)") entry.contactName = Text(value);
      } else if (key == "body") {
        entry.body = Text(value);
      } else if (key == "date") {
        if (!ParseInteger(value, number) || number < kMinPhoneDate || number > kMaxPhoneDate) {
          return Fail(where + "date " + Quoted(value) + " " + kPhoneDateRange);
        }
        entry.date = number;
        haveDate = true;
      } else if (key == "type") {
        if (!ParseInteger(value, number) || number < kPhoneReceived || number > kPhoneQueued) {
          return Fail(where + "type " + Quoted(value) + " is not a message type (1 to 6)");
        }
        entry.type = static_cast<int>(number);
        haveType = true;
      } else if (key == "read") {
        entry.read = value != "0";
      } else if (key == "date_sent") {
        if (ParseInteger(value, number)) entry.dateSent = number;
      } else if (key == "status") {
        if (ParseInteger(value, number) && number >= -1 && number <= 255) {
          entry.status = static_cast<int>(number);
        }
      }
    }
    if (!haveDate) return Fail(where + "it has no date");
    if (!haveType) return Fail(where + "it has no type");
    std::string problem;
    if (!EntryWithinLimits(entry, problem)) return Fail(where + problem);
    ready_.push_back(std::move(entry));
  }

  ByteSource source_;
  XML_Parser parser_;
  XmlPrefilter filter_;
  std::vector<char> chunk_;
  std::string filtered_;
  bool latin1_ = false;     // the file is ISO-8859-1, turned into UTF-8 chunk by chunk
  std::string latin1Utf8_;
  std::deque<PhoneEntry> ready_;
  std::string error_;
  bool ended_ = false;
  int depth_ = 0;
  uint64_t elements_ = 0;  // <sms> and <mms> elements so far
  uint64_t read_ = 0;      // bytes of the file
  uint64_t fed_ = 0;       // filtered bytes handed to the parser
  uint64_t lastEvent_ = 0;
  uint64_t lastEventLine_ = 1;
};

void AppendAttribute(std::string& out, const char* name, std::u16string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  if (value.empty()) {
    out += "null";
  } else {
    AppendEscaped(out, value, Markup::kXmlAttribute);
  }
  out += '"';
}

void AppendNumber(std::string& out, const char* name, int64_t value) {
  out += ' ';
  out += name;
  out += "=\"";
  out += std::to_string(value);
  out += '"';
}

// "Jan 1, 2024 11:07:06 AM" in local time, as the app shows it.
std::string ReadableDate(int64_t date) {
  const time_t seconds = static_cast<time_t>(date / 1000);
  struct tm local {};
  char text[64];
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof text, "%b %-d, %Y %-I:%M:%S %p", &local) == 0) {
    return "null";
  }
  return text;
}

// The root's count is not known until the end: it is written with room to spare and filled in.
constexpr char kRootStart[] = "<smses count=\"";
constexpr size_t kCountRoom = 24;

class Writer : public MessageWriter {
 public:
  Writer(CFile& file, DeletedAs deletedAs) : file_(file), deletedAs_(deletedAs) {
    // A pipe cannot be gone back in for the count: the file is put together beside it and sent
    // whole at the end, so a reader never gets a file that looks complete and is not.
    if (lseek(file_.GetHandle(), 0, SEEK_CUR) < 0 && errno == ESPIPE) {
      spool_ = OpenUnnamedFileBeside(file_.GetFilePath());
    }
    std::string head =
        "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n"
        "<!--Written by Larkpost-->\n";
    countAt_ = head.size() + std::strlen("<smses ");
    head += RootStart(0);
    Put(head.data(), head.size());
  }
  ~Writer() override {
    if (spool_ != nullptr) std::fclose(spool_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Write(const MessageRecord& record, std::string& error) override {
    if (!EntriesOf(record, deletedAs_, entries_list_, error)) return false;
    line_.clear();
    for (const PhoneEntry& entry : entries_list_) {
      line_ += "  <sms protocol=\"0\"";
      AppendAttribute(line_, "address", entry.address);
      AppendNumber(line_, "date", entry.date);
      AppendNumber(line_, "type", entry.type);
      line_ += " subject=\"null\"";
      line_ += " body=\"";
      AppendEscaped(line_, entry.body, Markup::kXmlAttribute);
      line_ += "\" toa=\"null\" sc_toa=\"null\" service_center=\"null\"";
      AppendNumber(line_, "read", entry.read ? 1 : 0);
      AppendNumber(line_, "status", entry.status);
      line_ += " locked=\"0\"";
      AppendNumber(line_, "date_sent", entry.dateSent);
      line_ += " sub_id=\"-1\" readable_date=\"" + ReadableDate(entry.date) + "\"";
      AppendAttribute(line_, "contact_name", entry.contactName);
      line_ += " />\n";
      ++entries_;
    }
    Put(line_.data(), line_.size());
    return true;
  }

  void Finish() override {
    Put("</smses>\n", 9);
    const std::string root = RootStart(entries_).substr(std::strlen("<smses "));
    if (spool_ == nullptr) {
      file_.Seek(static_cast<int64_t>(countAt_), CFile::begin);
      file_.Write(root.data(), static_cast<unsigned>(root.size()));
      file_.Seek(0, CFile::end);
      file_.Flush();
      return;
    }
    if (std::fseek(spool_, static_cast<long>(countAt_), SEEK_SET) != 0 ||
        std::fwrite(root.data(), 1, root.size(), spool_) != root.size() ||
        std::fflush(spool_) != 0 || std::fseek(spool_, 0, SEEK_SET) != 0) {
      SpoolFailed();
    }
    std::vector<char> buffer(kChunkBytes);
    while (const size_t got = std::fread(buffer.data(), 1, buffer.size(), spool_)) {
      file_.Write(buffer.data(), static_cast<unsigned>(got));
    }
    if (std::ferror(spool_)) SpoolFailed();
    file_.Flush();
  }

 private:
  void Put(const char* data, size_t length) {
    if (spool_ == nullptr) {
      file_.Write(data, static_cast<unsigned>(length));
    } else if (std::fwrite(data, 1, length, spool_) != length) {
      SpoolFailed();
    }
  }

  [[noreturn]] void SpoolFailed() {
    const int osError = errno;
    throw CFileException(CFileException::CauseFromErrno(osError), osError, file_.GetFilePath());
  }

  // `<smses count="N"` padded with blanks to a fixed width, then ">".
  static std::string RootStart(uint64_t count) {
    std::string root = kRootStart + std::to_string(count) + "\"";
    root.append(std::strlen(kRootStart) + kCountRoom - root.size(), ' ');
    return root + ">\n";
  }

  CFile& file_;
  DeletedAs deletedAs_;
  FILE* spool_ = nullptr;  // the whole file, when `file_` is a pipe
  size_t countAt_ = 0;
  std::vector<PhoneEntry> entries_list_;
  std::string line_;
};

}  // namespace

std::unique_ptr<EntrySource> XmlEntries(ByteSource source) {
  return std::make_unique<XmlSource>(std::move(source));
}

std::unique_ptr<MessageWriter> XmlWriter(CFile& file, DeletedAs deletedAs) {
  return std::make_unique<Writer>(file, deletedAs);
}

}  // namespace larkpost

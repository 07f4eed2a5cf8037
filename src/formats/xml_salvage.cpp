// The XML half of phone_salvage.h.
#include <algorithm>
#include <deque>

#include "formats/file_window.h"
#include "formats/phone_salvage.h"
#include "formats/phone_xml.h"
#include "platform/file/file.h"

namespace larkpost {

namespace {

constexpr size_t kMaxDeclarationBytes = 512;
constexpr size_t kMaxRootTagBytes = 4096;
// Candidates up to this size are copied out of the file to be read; a larger one is streamed.
// Whole text entries are read together up to this size and count.
constexpr size_t kMaxBatchBytes = 256 * 1024;
constexpr size_t kMaxBatchEntries = 256;

bool IsNameEnd(int c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>';
}

// The reader's error for a document of one entry names that document's entry and line, which
// mean nothing in the damaged file: the place is told by the salvage, the reason is kept.
std::string ReasonOf(const std::string& error) {
  for (const char* prefix : {"sms entry ", "mms entry "}) {
    if (error.starts_with(prefix)) {
      const size_t end = error.find("): ");
      if (end != std::string::npos) return error.substr(end + 3);
    }
  }
  if (error.starts_with("malformed XML at line ")) {
    const size_t end = error.find(": ");
    if (end != std::string::npos) return "malformed XML: " + error.substr(end + 2);
  }
  return error;
}

// A source of the bytes `prefix`, then the file's bytes [begin, end), then `suffix`.
ByteSource RangeSource(std::shared_ptr<CFile> file, std::string prefix, uint64_t begin,
                       uint64_t end, std::string suffix) {
  struct State {
    std::shared_ptr<CFile> file;
    std::string prefix, suffix;
    size_t prefixAt = 0, suffixAt = 0;
    uint64_t at, end;
  };
  auto state = std::make_shared<State>(
      State{std::move(file), std::move(prefix), std::move(suffix), 0, 0, begin, end});
  return [state](char* buffer, size_t capacity) -> size_t {
    State& s = *state;
    size_t filled = 0;
    const size_t fromPrefix = std::min(capacity, s.prefix.size() - s.prefixAt);
    s.prefix.copy(buffer, fromPrefix, s.prefixAt);
    s.prefixAt += fromPrefix;
    filled += fromPrefix;
    if (filled < capacity && s.at < s.end) {
      s.file->Seek(static_cast<int64_t>(s.at), CFile::begin);
      const size_t want = static_cast<size_t>(
          std::min<uint64_t>({capacity - filled, s.end - s.at, uint64_t{1} << 30}));
      const unsigned got = s.file->Read(buffer + filled, static_cast<unsigned>(want));
      s.at = got == 0 ? s.end : s.at + got;  // a file that shrank ends the range
      filled += got;
    }
    if (filled < capacity && s.at >= s.end) {
      const size_t fromSuffix = std::min(capacity - filled, s.suffix.size() - s.suffixAt);
      s.suffix.copy(buffer + filled, fromSuffix, s.suffixAt);
      s.suffixAt += fromSuffix;
      filled += fromSuffix;
    }
    return filled;
  };
}

// Where a start tag or an element ends, found by its markup alone. A "<" is never part of a
// tag (the app writes it as "&lt;" in attribute values), so one inside a tag means the element
// broke off there.
struct Extent {
  uint64_t end = 0;     // just after the element, or where it broke off
  bool broken = false;  // it broke off at `end` (at the file's end when cut short)
  bool selfClosed = false;
};

struct Candidate {
  uint64_t number;  // the entry's number
  uint64_t begin, end;
};

class XmlSalvage : public EntrySource {
 public:
  XmlSalvage(std::shared_ptr<CFile> file, SalvageLog& log, std::shared_ptr<PartSpool> spool)
      : file_(std::move(file)), window_(*file_), log_(log), spool_(std::move(spool)) {
    if (window_.StartsWith(0, "\xEF\xBB\xBF")) at_ = 3;
    log_.markup = true;
  }

  bool NextEntry(PhoneEntry& entry, std::string& error) override {
    while (ready_.empty()) {
      if (ended_) {
        TakeBatch();
        if (!ready_.empty()) break;
        TakeGarbage();
        error.clear();
        return false;
      }
      ScanNext();
    }
    entry = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }

 private:
  // Takes in the next construct at the root's level: an entry, the root's tags, a comment or
  // declaration, or garbage.
  void ScanNext() {
    const uint64_t length = window_.length();
    const uint64_t text = window_.SkipSpace(at_, length);
    const uint64_t open = window_.FindAny(text, "<");
    if (open > text) AddGarbage(text, open);
    if (open >= length) {
      ended_ = true;
      if (!sawRootEnd_) log_.cutShort = true;
      return;
    }
    at_ = open;
    if (window_.StartsWith(open, "<?")) return SkipTo(open, "?>", true);
    if (window_.StartsWith(open, "<!--")) return SkipTo(open, "-->", false);
    if (window_.StartsWith(open, "<![CDATA[")) return SkipTo(open, "]]>", false);
    if (IsElement(open, "</smses") || IsElement(open, "</calls")) {
      TakeGarbage();
      sawRootEnd_ = true;
      const uint64_t close = window_.FindAny(open, ">");
      at_ = close < length ? close + 1 : length;
      return;
    }
    if (IsElement(open, "<smses")) return TakeRoot(open, true);
    // The app's call log: its count is of calls, not of the entries counted here.
    if (IsElement(open, "<calls")) return TakeRoot(open, false);
    if (IsElement(open, "<sms")) return TakeEntry(open, "sms");
    if (IsElement(open, "<mms")) return TakeEntry(open, "mms");
    if (IsElement(open, "<call")) {
      const Extent call = ScanElement(open, "call");
      if (!call.broken) {
        TakeGarbage();
        at_ = call.end;
        return TakeCall(open, call.end);
      }
    }
    // Anything else is no entry: skipped up to the next "<".
    const uint64_t next = window_.FindAny(open + 1, "<");
    AddGarbage(open, next);
    at_ = next;
  }

  bool IsElement(uint64_t offset, std::string_view start) {
    return window_.StartsWith(offset, start) && IsNameEnd(window_.At(offset + start.size()));
  }

  void SkipTo(uint64_t open, std::string_view closer, bool instruction) {
    const uint64_t close = window_.Find(open, closer);
    if (close >= window_.length()) {  // cut short inside it
      AddGarbage(open, close);
      at_ = close;
      return;
    }
    TakeGarbage();
    const uint64_t end = close + closer.size();
    // The XML declaration, put in front of each entry the reader parses: it names the encoding.
    if (instruction && declaration_.empty() && open <= 3 && window_.StartsWith(open, "<?xml") &&
        IsNameEnd(window_.At(open + 5)) && end - open <= kMaxDeclarationBytes) {
      declaration_ = window_.Bytes(open, static_cast<size_t>(end - open));
    }
    at_ = end;
  }

  void TakeRoot(uint64_t open, bool counted) {
    const Extent tag = ScanTag(open + 1);
    if (tag.broken) {
      AddGarbage(open, tag.end);
      at_ = tag.end;
      return;
    }
    TakeGarbage();
    if (!sawRoot_) log_.root = counted ? "smses" : "calls";
    sawRoot_ = true;
    if (counted && !log_.declaredEntries) {
      log_.declaredEntries = DeclaredCount(window_.Bytes(open, static_cast<size_t>(std::min<uint64_t>(tag.end - open, kMaxRootTagBytes))));
    }
    at_ = tag.end;
  }

  // The root's count="N", when it has one.
  static std::optional<uint64_t> DeclaredCount(const std::string& tag) {
    for (size_t key = tag.find("count"); key != std::string::npos; key = tag.find("count", key + 1)) {
      if (key == 0 || std::string_view(" \t\r\n").find(tag[key - 1]) == std::string_view::npos) continue;
      size_t at = tag.find_first_not_of(" \t\r\n", key + 5);
      if (at == std::string::npos || tag[at] != '=') continue;
      at = tag.find_first_not_of(" \t\r\n", at + 1);
      if (at == std::string::npos || (tag[at] != '"' && tag[at] != '\'')) continue;
      const size_t close = tag.find(tag[at], at + 1);
      uint64_t count = 0;
      if (close != std::string::npos && ParseInteger(std::string_view(tag).substr(at + 1, close - at - 1), count)) {
        return count;
      }
      return std::nullopt;
    }
    return std::nullopt;
  }

  // A tag from the byte after its "<": up to its ">" outside quoted values.
  Extent ScanTag(uint64_t from) {
    const uint64_t length = window_.length();
    uint64_t at = from;
    while (true) {
      const uint64_t mark = window_.FindAny(at, "\"'<>");
      if (mark >= length) return Extent{length, true, false};
      const int c = window_.At(mark);
      if (c == '<') return Extent{mark, true, false};
      if (c == '>') return Extent{mark + 1, false, window_.At(mark - 1) == '/'};
      const char quote = static_cast<char>(c);
      const uint64_t close = window_.FindAny(mark + 1, quote == '"' ? "\"<" : "'<");
      if (close >= length) return Extent{length, true, false};
      if (window_.At(close) == '<') return Extent{close, true, false};
      at = close + 1;
    }
  }

  // An element from its "<": its start tag and, unless that closes it, everything up to its end
  // tag. Another entry's start, or the root's end, inside it means it broke off there.
  Extent ScanElement(uint64_t open, std::string_view name) {
    const Extent tag = ScanTag(open + 1);
    if (tag.broken || tag.selfClosed) return tag;
    const std::string endTag = "</" + std::string(name);
    const uint64_t length = window_.length();
    uint64_t at = tag.end;
    while (true) {
      const uint64_t next = window_.FindAny(at, "<");
      if (next >= length) return Extent{length, true, false};
      if (IsElement(next, endTag)) {
        const uint64_t close = window_.FindAny(next + 1, "<>");
        if (close >= length) return Extent{length, true, false};
        if (window_.At(close) == '<') return Extent{close, true, false};
        return Extent{close + 1, false, false};
      }
      if (window_.StartsWith(next, "<!--")) {
        const uint64_t close = window_.Find(next, "-->");
        if (close >= length) return Extent{length, true, false};
        at = close + 3;
        continue;
      }
      if (IsElement(next, "<sms") || IsElement(next, "<mms") || IsElement(next, "</smses") ||
          IsElement(next, "<smses")) {
        return Extent{next, true, false};
      }
      const Extent inner = ScanTag(next + 1);
      if (inner.broken) return inner;
      at = inner.end;
    }
  }

  void TakeEntry(uint64_t open, std::string_view name) {
    TakeGarbage();
    const uint64_t number = ++entries_;
    log_.entriesFound = number;
    const Extent element = ScanElement(open, name);
    at_ = element.end;
    const uint64_t size = element.end - open;
    if (!element.broken && name == "sms" && size <= kMaxBatchBytes) {
      batch_.push_back(Candidate{number, open, element.end});
      batchBytes_ += size;
      if (batchBytes_ >= kMaxBatchBytes || batch_.size() >= kMaxBatchEntries) TakeBatch();
      return;
    }
    TakeBatch();
    if (element.broken) {
      if (element.end >= window_.length()) {
        log_.cutShort = true;
        return Skip(number, open, element.end, "the file ends inside this entry");
      }
      return Skip(number, open, element.end,
                  "the entry breaks off at byte " + std::to_string(element.end) +
                      ", where the next element begins");
    }
    // Text messages have a size limit; a multimedia one is as large as its attachments and is
    // streamed through the reader from the file, never copied whole.
    if (name == "sms" && size > kMaxEntryBytes) {
      return Skip(number, open, element.end,
                  "it is larger than " + std::to_string(kMaxEntryBytes >> 20) +
                      " MiB; no message is that long");
    }
    if (size <= kMaxBatchBytes) {
      TakeAlone(Candidate{number, open, element.end});
    } else {
      TakeParsed(Candidate{number, open, element.end},
                 RangeSource(file_, declaration_ + "\n<smses>\n", open, element.end, "\n</smses>\n"));
    }
  }

  // Whole text entries one after another are read as one document, which costs the reader's
  // setup once instead of once per entry; when that document fails, each is read alone to find
  // the ones at fault.
  void TakeBatch() {
    if (batch_.empty()) return;
    std::vector<Candidate> batch;
    batch.swap(batch_);
    batchBytes_ = 0;
    std::string document = declaration_ + "\n<smses>\n";
    for (const Candidate& candidate : batch) {
      document += window_.Bytes(candidate.begin, static_cast<size_t>(candidate.end - candidate.begin));
      document += '\n';
    }
    document += "</smses>\n";
    std::unique_ptr<EntrySource> entries = XmlEntries(BufferByteSource(document), spool_);
    std::deque<PhoneEntry> taken;
    const std::string error = ReadAllEntries(*entries, taken);
    if (error.empty() && taken.size() == batch.size()) {
      log_.entriesKept += taken.size();
      for (PhoneEntry& kept : taken) ready_.push_back(std::move(kept));
      return;
    }
    for (const Candidate& candidate : batch) TakeAlone(candidate);
  }

  // Every entry of `entries` into `taken`; the error that ended them, empty at the end.
  static std::string ReadAllEntries(EntrySource& entries, std::deque<PhoneEntry>& taken) {
    PhoneEntry entry;
    std::string error;
    while (entries.NextEntry(entry, error)) {
      taken.push_back(std::move(entry));
      entry = PhoneEntry{};
    }
    return error;
  }

  void TakeAlone(const Candidate& candidate) {
    const std::string document =
        declaration_ + "\n<smses>\n" +
        window_.Bytes(candidate.begin, static_cast<size_t>(candidate.end - candidate.begin)) +
        "\n</smses>\n";
    TakeParsed(candidate, BufferByteSource(document));
  }

  // The entries of one candidate, read as a document of its own from `source`.
  void TakeParsed(const Candidate& candidate, ByteSource source) {
    std::unique_ptr<EntrySource> entries = XmlEntries(std::move(source), spool_);
    std::deque<PhoneEntry> taken;
    const std::string error = ReadAllEntries(*entries, taken);
    if (!error.empty()) return Skip(candidate.number, candidate.begin, candidate.end, ReasonOf(error));
    log_.entriesKept += taken.size();
    callsSkipped += entries->callsSkipped;
    for (PhoneEntry& kept : taken) ready_.push_back(std::move(kept));
  }

  // A whole <call> of the call log, after the messages before it: kept as the reader reads it,
  // or passed over and counted when it does not read.
  void TakeCall(uint64_t begin, uint64_t end) {
    TakeBatch();
    const std::string document =
        declaration_ + "\n<smses>\n" +
        window_.Bytes(begin, static_cast<size_t>(end - begin)) + "\n</smses>\n";
    std::unique_ptr<EntrySource> entries = XmlEntries(BufferByteSource(document), spool_);
    std::deque<PhoneEntry> taken;
    if (!ReadAllEntries(*entries, taken).empty() || taken.size() != 1) {
      ++callsSkipped;
      return;
    }
    ready_.push_back(std::move(taken.front()));
  }

  void Skip(uint64_t number, uint64_t begin, uint64_t end, std::string error) {
    DamagedStretch stretch;
    stretch.entry = number;
    stretch.offset = begin;
    stretch.length = end - begin;
    stretch.line = window_.LineAt(begin);
    stretch.error = std::move(error);
    log_.Skipped(std::move(stretch));
  }

  // Garbage next to garbage (white space between) is one stretch, logged once the next thing
  // that is not garbage comes.
  void AddGarbage(uint64_t begin, uint64_t end) {
    end = window_.SpaceTrimmedEnd(begin, end);
    if (end <= begin) return;
    TakeBatch();  // the entries before it come first
    if (!garbage_) garbage_ = std::make_pair(begin, end);
    garbage_->second = end;
  }

  void TakeGarbage() {
    if (!garbage_) return;
    DamagedStretch stretch;
    stretch.entry = entries_ + 1;
    stretch.betweenEntries = true;
    stretch.offset = garbage_->first;
    stretch.length = garbage_->second - garbage_->first;
    stretch.line = window_.LineAt(garbage_->first);
    stretch.error = "bytes that are no <sms> or <mms> element";
    log_.Skipped(std::move(stretch));
    garbage_.reset();
  }

  std::shared_ptr<CFile> file_;
  FileWindow window_;
  SalvageLog& log_;
  std::shared_ptr<PartSpool> spool_;
  uint64_t at_ = 0;
  uint64_t entries_ = 0;  // <sms> and <mms> elements found so far
  std::string declaration_;
  bool sawRootEnd_ = false;
  bool sawRoot_ = false;
  bool ended_ = false;
  std::optional<std::pair<uint64_t, uint64_t>> garbage_;
  std::vector<Candidate> batch_;  // whole text entries not yet read
  uint64_t batchBytes_ = 0;
  std::deque<PhoneEntry> ready_;
};

}  // namespace

std::unique_ptr<EntrySource> SalvagedXmlEntries(std::shared_ptr<CFile> file, SalvageLog& log,
                                                std::shared_ptr<PartSpool> spool) {
  return std::make_unique<XmlSalvage>(std::move(file), log, std::move(spool));
}

}  // namespace larkpost

#include "formats/html_page.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "message/counts.h"
#include "message/folder_path.h"
#include "formats/markup.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<title>Messages</title>
<style>
:root { --bg: #eef1f5; --card: #fff; --ink: #1d2430; --soft: #6b7585; --in: #fff; --out: #d8ebff;
  --line: #d9dee6; --accent: #2f6fd1; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--ink);
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif; }
header { position: sticky; top: 0; z-index: 2; background: rgba(255,255,255,.96);
  border-bottom: 1px solid var(--line); padding: 14px 20px 12px; }
header .bar { max-width: 860px; margin: 0 auto; display: flex; flex-wrap: wrap; align-items: baseline;
  gap: 6px 16px; }
h1 { font-size: 20px; margin: 0; font-weight: 650; }
.sum { color: var(--soft); font-size: 13px; margin: 0; }
.find { flex-basis: 100%; display: flex; align-items: center; gap: 12px; }
#q { flex: 1; font: inherit; padding: 8px 12px; border: 1px solid var(--line); border-radius: 8px;
  background: #f7f9fc; outline: none; }
#q:focus { border-color: var(--accent); background: #fff; box-shadow: 0 0 0 3px rgba(47,111,209,.15); }
#n { color: var(--soft); font-size: 13px; white-space: nowrap; }
main { max-width: 860px; margin: 0 auto; padding: 16px 20px 40px; }
section { background: var(--card); border: 1px solid var(--line); border-radius: 12px;
  margin: 0 0 18px; overflow: hidden; content-visibility: auto; contain-intrinsic-size: auto 600px; }
h2 { margin: 0; padding: 10px 16px; font-size: 15px; font-weight: 600; background: #f7f9fc;
  border-bottom: 1px solid var(--line); display: flex; gap: 10px; align-items: baseline; }
h2 .num { color: var(--soft); font-weight: 400; font-size: 13px; }
h2 .cnt { margin-left: auto; color: var(--soft); font-weight: 400; font-size: 12px; }
ol { list-style: none; margin: 0; padding: 10px 14px 14px; display: flex; flex-direction: column; gap: 6px; }
li.day { align-self: center; color: var(--soft); font-size: 12px; margin: 8px 0 2px; }
li.m { max-width: 78%; padding: 7px 11px 5px; border-radius: 12px; border: 1px solid var(--line);
  background: var(--in); align-self: flex-start; }
li.out { background: var(--out); border-color: #bcd9f7; align-self: flex-end; }
li.draft { border-style: dashed; }
.t { margin: 0; white-space: pre-wrap; overflow-wrap: anywhere; }
.d { margin: 2px 0 0; font-size: 11.5px; color: var(--soft); display: flex; gap: 8px; justify-content: space-between; }
.f { background: rgba(0,0,0,.05); border-radius: 4px; padding: 0 5px; }
[hidden] { display: none !important; }
.none { text-align: center; color: var(--soft); padding: 30px 0; }
@media print {
  body { background: #fff; font-size: 11pt; }
  header { position: static; border: 0; padding: 0 0 8pt; }
  .find { display: none; }
  main { max-width: none; padding: 0; }
  section { border: 0; border-radius: 0; margin: 0 0 14pt; break-inside: auto;
    content-visibility: visible; }
  h2 { background: none; border-bottom: 1px solid #999; padding: 4pt 0; break-after: avoid; }
  ol { padding: 4pt 0; }
  li.m { break-inside: avoid; background: #fff; border-color: #999; }
  li.out { background: #f0f0f0; }
  li[hidden], section[hidden] { display: block !important; }
}
</style>
</head>
<body>
)";

// Conversations out of view are not laid out (content-visibility), so a page of 100,000
// messages opens in about the time its bytes take to parse. The search index is built on the
// first search, not before the page is shown.
constexpr char kScript[] = R"(<script>
(function () {
  var box = document.getElementById('q'), count = document.getElementById('n');
  var none = document.getElementById('none');
  var total = document.querySelectorAll('main li.m').length, sections = null;
  function index() {
    return Array.prototype.map.call(document.querySelectorAll('main section'), function (s) {
      return {
        node: s,
        who: s.querySelector('h2').textContent.toLowerCase(),
        days: s.querySelectorAll('li.day'),
        items: Array.prototype.map.call(s.querySelectorAll('li.m'), function (li) {
          return { node: li, text: li.textContent.toLowerCase() };
        })
      };
    });
  }
  function filter() {
    var words = box.value.toLowerCase().split(/\s+/).filter(Boolean), shown = 0;
    if (!sections) {
      if (!words.length) return;
      sections = index();
    }
    sections.forEach(function (s) {
      var visible = 0;
      s.items.forEach(function (m) {
        var ok = words.every(function (w) { return s.who.indexOf(w) >= 0 || m.text.indexOf(w) >= 0; });
        if (m.node.hidden === ok) m.node.hidden = !ok;
        if (ok) visible++;
      });
      Array.prototype.forEach.call(s.days, function (d) { d.hidden = words.length > 0; });
      s.node.hidden = visible === 0;
      shown += visible;
    });
    count.textContent = words.length ? shown + ' of ' + total + ' messages' : total + ' messages';
    none.hidden = shown > 0;
  }
  count.textContent = total + ' messages';
  box.addEventListener('input', filter);
  if (location.hash.indexOf('#q=') === 0) {
    var wanted = location.hash.slice(3);
    try {
      wanted = decodeURIComponent(wanted);
    } catch (e) {
      // A broken escape ("%E0%A4%A") is searched for as it stands.
    }
    box.value = wanted;
    box.dispatchEvent(new Event('input'));
  }
})();
</script>
</body>
</html>
)";

bool LocalTime(int64_t seconds, struct tm& local) {
  const time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, &local) != nullptr;
}

std::string Formatted(const struct tm& local, const char* format) {
  char text[96];
  const size_t length = std::strftime(text, sizeof text, format, &local);
  return std::string(text, length);
}

// "Sent / Work" for "Sentedbox\Work": the standard folders under the names people know.
std::u16string FolderShown(const std::u16string& path) {
  const size_t slash = path.find(u'\\');
  FolderKind kind;
  std::u16string shown = path.substr(0, slash);
  if (FolderKindFromName(shown, kind)) shown = NamesOf(kind).shortName;
  for (size_t at = slash; at != std::u16string::npos;) {
    const size_t next = path.find(u'\\', at + 1);
    shown += u" / ";
    shown += path.substr(at + 1, next == std::u16string::npos ? next : next - at - 1);
    at = next;
  }
  return shown;
}

// "UTC+01:00".
std::string UtcOffset(const struct tm& local) {
  std::string offset = Formatted(local, "%z");
  if (offset.size() == 5) offset.insert(3, ":");
  return "UTC" + offset;
}

struct IndexEntry {
  uint32_t conversation;
  uint32_t length;
  int64_t seconds;  // delivery time, seconds since 1970 UTC (0: none)
  uint64_t offset;  // of the markup in the spool
};

struct Conversation {
  std::string heading;  // markup of the h2 content
  int64_t latest = 0;
  uint64_t messages = 0;
};

class Page : public MessageWriter {
 public:
  explicit Page(CFile& file)
      : path_(file.GetFilePath()), file_(file), spool_(OpenUnnamedFileBeside(path_)) {}
  ~Page() override { std::fclose(spool_); }
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  bool Write(const MessageRecord& record, std::string& /*error*/) override {
    const int type = PhoneTypeOf(record, DeletedAs::kByDirection);
    const bool received = type == kPhoneReceived || (type == 0 && record.recipients.empty());
    const int64_t date = FileTimeToUInt64(record.deliveryTime) == 0
                             ? 0
                             : FileTimeToUnixTime(record.deliveryTime);

    // The conversation: the sender of a received message, the recipients of a sent one.
    std::u16string key, names, numbers;
    auto addParty = [&](const std::u16string& name, const std::u16string& address) {
      if (!key.empty()) {
        key += u'\n';
        names += u", ";
        numbers += u", ";
      }
      key += address.empty() ? name : address;
      names += name.empty() ? address : name;
      if (!name.empty() && name != address) numbers += address;
    };
    if (received) {
      addParty(record.senderName, record.senderAddress);
    } else {
      for (const RecordRecipient& r : record.recipients) addParty(r.displayName, r.address);
    }
    if (key.empty()) key = names = u"(nobody)";
    const uint32_t id = ConversationFor(key, names, numbers);
    Conversation& conversation = conversations_[id];
    conversation.latest = std::max(conversation.latest, date);
    ++conversation.messages;

    markup_.clear();
    markup_ += received ? "<li class=\"m in" : "<li class=\"m out";
    if (type == kPhoneDraft || type == kPhoneOutbox) markup_ += " draft";
    markup_ += "\"><p class=\"t\">";
    AppendEscaped(markup_, record.text, Markup::kHtmlText);
    markup_ += "</p><p class=\"d\"><span>";
    struct tm local {};
    if (date != 0 && LocalTime(date, local)) {
      markup_ += "<time>" + Formatted(local, "%H:%M") + "</time>";
    } else {
      markup_ += "no time";
    }
    markup_ += "</span><span class=\"f\">";
    AppendEscaped(markup_, FolderShown(record.folderPath), Markup::kHtmlText);
    markup_ += "</span></p></li>\n";

    if (std::fwrite(markup_.data(), 1, markup_.size(), spool_) != markup_.size()) {
      throw CFileException(CFileException::CauseFromErrno(errno), errno, path_);
    }
    index_.push_back(IndexEntry{id, static_cast<uint32_t>(markup_.size()), date, spooled_});
    spooled_ += markup_.size();
    ++entries_;
    return true;
  }

  void Finish() override {
    if (std::fflush(spool_) != 0) {
      throw CFileException(CFileException::CauseFromErrno(errno), errno, path_);
    }
    std::stable_sort(index_.begin(), index_.end(), [this](const IndexEntry& a, const IndexEntry& b) {
      const Conversation& x = conversations_[a.conversation];
      const Conversation& y = conversations_[b.conversation];
      if (a.conversation != b.conversation) {
        if (x.latest != y.latest) return x.latest > y.latest;
        return a.conversation < b.conversation;
      }
      return a.seconds < b.seconds;
    });

    std::string out = kHead;
    struct tm now {};
    const time_t nowSeconds = time(nullptr);
    localtime_r(&nowSeconds, &now);
    out += "<header><div class=\"bar\"><h1>Messages</h1><p class=\"sum\">" +
           Thousands(entries_) + (entries_ == 1 ? " message in " : " messages in ") +
           Thousands(conversations_.size()) +
           (conversations_.size() == 1 ? " conversation" : " conversations") +
           " &middot; written " + Formatted(now, "%Y-%m-%d %H:%M") +
           " &middot; times are local (" + UtcOffset(now) + ")</p>" +
           "<div class=\"find\"><input id=\"q\" type=\"search\" placeholder=\"Search messages and "
           "contacts\" autocomplete=\"off\" aria-label=\"Search\"><span id=\"n\"></span></div>"
           "</div></header>\n<main>\n";

    std::vector<char> buffer;
    uint32_t current = UINT32_MAX;
    std::string day;
    for (const IndexEntry& entry : index_) {
      if (entry.conversation != current) {
        if (current != UINT32_MAX) out += "</ol></section>\n";
        current = entry.conversation;
        day.clear();
        const Conversation& conversation = conversations_[current];
        out += "<section><h2>" + conversation.heading + "<span class=\"cnt\">" +
               Thousands(conversation.messages) + "</span></h2><ol>\n";
      }
      struct tm local {};
      const std::string thisDay = entry.seconds != 0 && LocalTime(entry.seconds, local)
                                      ? Formatted(local, "%A, %-d %B %Y")
                                      : std::string("Without a time");
      if (thisDay != day) {
        day = thisDay;
        out += "<li class=\"day\">" + day + "</li>\n";
      }
      buffer.resize(entry.length);
      if (pread(fileno(spool_), buffer.data(), entry.length, static_cast<off_t>(entry.offset)) !=
          static_cast<ssize_t>(entry.length)) {
        throw CFileException(CFileException::hardIO, errno, path_);
      }
      out.append(buffer.data(), buffer.size());
      if (out.size() > 60000) Put(out);
    }
    if (current != UINT32_MAX) out += "</ol></section>\n";
    out += "<p id=\"none\" class=\"none\" hidden>No message matches.</p>\n</main>\n";
    out += kScript;
    Put(out);
    file_.Flush();
  }

 private:
  uint32_t ConversationFor(const std::u16string& key, const std::u16string& names,
                           const std::u16string& numbers) {
    const auto [found, added] =
        ids_.try_emplace(WideToUtf8(key), static_cast<uint32_t>(conversations_.size()));
    if (added) {
      Conversation& conversation = conversations_.emplace_back();
      conversation.heading = "<span class=\"who\">";
      AppendEscaped(conversation.heading, names, Markup::kHtmlText);
      conversation.heading += "</span>";
      if (!numbers.empty()) {
        conversation.heading += "<span class=\"num\">";
        AppendEscaped(conversation.heading, numbers, Markup::kHtmlText);
        conversation.heading += "</span>";
      }
    }
    return found->second;
  }

  void Put(std::string& out) {
    file_.Write(out.data(), static_cast<unsigned>(out.size()));
    out.clear();
  }

  std::u16string path_;
  CFile& file_;
  FILE* spool_;
  uint64_t spooled_ = 0;
  std::string markup_;
  std::vector<IndexEntry> index_;
  std::vector<Conversation> conversations_;
  std::unordered_map<std::string, uint32_t> ids_;
};

}  // namespace

std::unique_ptr<MessageWriter> HtmlWriter(CFile& file) {
  return std::make_unique<Page>(file);
}

}  // namespace larkpost

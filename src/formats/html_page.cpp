#include "formats/html_page.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "message/counts.h"
#include "message/folder_path.h"
#include "formats/html_page_preview.h"
#include "formats/html_page_text.h"
#include "formats/ios_messages.h"
#include "formats/markup.h"
#include "formats/page_media.h"
#include "formats/phone_calls.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/file/byte_sink.h"
#include "platform/file/memory_files.h"

namespace larkpost {

namespace {

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

// The one form of an address that decides who a party is: a phone number without the spaces,
// dashes, dots and brackets people write it with, a mail address in lower case.
std::string PartyKey(const std::u16string& address) {
  const std::string utf8 = WideToUtf8(address);
  std::string key;
  const bool mail = utf8.find('@') != std::string::npos;
  for (const char c : utf8) {
    if (mail) {
      key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') {
      key += c;
    }
  }
  return key;
}

// "12 KB".
std::string SizeShown(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

// What an attachment is, in one word.
const char* KindShown(const std::string& type) {
  if (type.rfind("audio/", 0) == 0) return "Audio";
  if (type.rfind("video/", 0) == 0) return "Video";
  if (type.find("vcard") != std::string::npos) return "Contact";
  if (type.find("calendar") != std::string::npos) return "Event";
  if (type.rfind("image/", 0) == 0) return "Image";
  return "File";
}

struct IndexEntry {
  uint32_t parties;  // the message's party set; its conversation once Finish has decided them
  uint32_t length;
  int64_t seconds;  // delivery time, seconds since 1970 UTC (0: none)
  uint64_t offset;  // of the markup in the spool
};

// The other parties a message was exchanged with, as written; for a multimedia message they
// may still include the owner, whose numbers are known only once every message has been seen.
struct PartySet {
  std::vector<std::string> keys;  // sorted
  bool multimedia = false;
};

struct Party {
  std::u16string name;
  std::u16string address;  // as first written
  int nameFrom = 0;        // 2: a message with this party alone, 1: a group message
};

struct Conversation {
  std::string heading;  // markup of the h2 content
  std::string names;    // markup of the members' names, for the list of conversations
  bool group = false;
  int64_t latest = 0;
  uint64_t messages = 0;
};

class Page : public MessageWriter {
 public:
  Page(ByteSink& sink, PageMedia media)
      : path_(sink.Name()),
        sink_(sink),
        spool_(OpenScratchBeside(path_)),
        folderName_(media.folderName),
        folder_(media.folder),
        media_(std::move(media), path_) {}
  ~Page() override { std::fclose(spool_); }
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  bool Write(const MessageRecord& record, std::string& /*error*/) override {
    own_.Learn(record);
    const int type = PhoneTypeOf(record, DeletedAs::kByDirection, own_);
    const bool received = type == kPhoneReceived || (type == 0 && record.recipients.empty());
    const int64_t date = FileTimeToUInt64(record.deliveryTime) == 0
                             ? 0
                             : FileTimeToUnixTime(record.deliveryTime);
    const bool multimedia = static_cast<bool>(record.multimedia);

    // The other parties: the sender of a received message, the recipients of a sent one; for a
    // received multimedia message also its other recipients, the owner among them (a group
    // chat). What each message says about who the owner is: the sender of a sent multimedia
    // message is; a party someone sent to or received from is not.
    PartySet set;
    set.multimedia = multimedia;
    const size_t count = received ? 1 + (multimedia ? record.recipients.size() : 0)
                                  : record.recipients.size();
    auto add = [&](const std::u16string& name, const std::u16string& address) {
      std::string key = PartyKey(address.empty() ? name : address);
      if (key.empty()) return key;
      Party& party = parties_[key];
      if (party.address.empty()) party.address = address.empty() ? name : address;
      const int from = count == 1 ? 2 : 1;
      if (!name.empty() && from > party.nameFrom) {
        party.name = name;
        party.nameFrom = from;
      }
      set.keys.push_back(key);
      return key;
    };
    if (received) {
      notOwner_.insert(add(record.senderName, record.senderAddress));
      if (multimedia && !record.recipients.empty()) {
        std::unordered_set<std::string> seen;
        for (const RecordRecipient& r : record.recipients) {
          std::string key = add(r.displayName, r.address);
          if (!key.empty() && seen.insert(key).second) ++maybeOwner_[key];
        }
        ++receivedToSomeone_;
      }
    } else {
      for (const RecordRecipient& r : record.recipients) {
        notOwner_.insert(add(r.displayName, r.address));
      }
      if (multimedia && !record.senderAddress.empty()) {
        owner_.insert(PartyKey(record.senderAddress));
      }
    }
    std::sort(set.keys.begin(), set.keys.end());
    set.keys.erase(std::unique(set.keys.begin(), set.keys.end()), set.keys.end());
    const uint32_t parties = PartySetFor(std::move(set));

    markup_.clear();
    markup_ += received ? "<li class=\"m in" : "<li class=\"m out";
    if (type == kPhoneDraft || type == kPhoneOutbox) markup_ += " draft";
    const bool call = record.kind == EntryKind::kCall;
    if (call) markup_ += " call";
    markup_ += "\">";
    if (call) {
      AppendText(Utf8ToWide(CallSummary(record)));
    } else if (multimedia) {
      AppendMultimedia(record, received);
    } else {
      AppendText(record.text);
    }
    markup_ += "<p class=\"d\"><span>";
    struct tm local {};
    if (date != 0 && LocalTime(date, local)) {
      markup_ += "<time>" + Formatted(local, "%H:%M") + "</time>";
    } else {
      markup_ += "no time";
    }
    // The service an iPhone message went by (SMS, iMessage, RCS), kept as a phone file's column.
    const Column* service = FindColumn(
        multimedia ? record.multimedia->extras : record.phoneColumns, kServiceColumn);
    if (service != nullptr && *service && !(*service)->empty()) {
      markup_ += " &middot; <span class=\"svc\">";
      AppendEscaped(markup_, **service, Markup::kHtmlText);
      markup_ += "</span>";
    }
    markup_ += "</span><span class=\"f\">";
    // A call is in the call log, whichever folder its direction names.
    AppendEscaped(markup_, call ? std::u16string(u"Call log") : FolderShown(record.folderPath),
                  Markup::kHtmlText);
    markup_ += "</span></p></li>\n";

    if (std::fwrite(markup_.data(), 1, markup_.size(), spool_) != markup_.size()) {
      throw CFileException(CFileException::CauseFromErrno(errno), errno, path_);
    }
    index_.push_back(IndexEntry{parties, static_cast<uint32_t>(markup_.size()), date, spooled_});
    spooled_ += markup_.size();
    ++(call ? calls_ : entries_);
    return true;
  }

  void Finish() override {
    if (std::fflush(spool_) != 0) {
      throw CFileException(CFileException::CauseFromErrno(errno), errno, path_);
    }
    // The owner: the senders of sent multimedia messages (some phones write a placeholder
    // there), and the one recipient of every received multimedia message whom no message shows
    // as another party. Where several fit (the messages of one group alone), none of them is
    // taken for the owner rather than members hidden. Group chats are keyed without the owner.
    std::vector<std::string> fits;
    for (const auto& [key, messages] : maybeOwner_) {
      if (messages == receivedToSomeone_ && notOwner_.count(key) == 0) fits.push_back(key);
    }
    if (fits.size() == 1) owner_.insert(fits.front());
    std::vector<uint32_t> conversationOf(partySets_.size());
    for (size_t i = 0; i < partySets_.size(); ++i) {
      std::vector<std::string> members;
      for (const std::string& key : partySets_[i].keys) {
        if (!partySets_[i].multimedia || owner_.count(key) == 0) members.push_back(key);
      }
      if (members.empty()) members = partySets_[i].keys;
      conversationOf[i] = ConversationFor(members);
    }
    for (IndexEntry& entry : index_) {
      entry.parties = conversationOf[entry.parties];
      Conversation& conversation = conversations_[entry.parties];
      conversation.latest = std::max(conversation.latest, entry.seconds);
      ++conversation.messages;
    }
    std::stable_sort(index_.begin(), index_.end(), [this](const IndexEntry& a, const IndexEntry& b) {
      const Conversation& x = conversations_[a.parties];
      const Conversation& y = conversations_[b.parties];
      if (a.parties != b.parties) {
        if (x.latest != y.latest) return x.latest > y.latest;
        return a.parties < b.parties;
      }
      return a.seconds < b.seconds;
    });

    std::string out = page_text::kHead;
    out += "<meta http-equiv=\"Content-Security-Policy\" content=\"";
    out += page_text::kPolicy;
    if (mediaSaved_) out += page_text::kMediaPolicy;
    out += "\">\n";
    if (mediaSaved_) {
      std::string narrow = page_text::kNarrowToFolder;
      narrow.replace(narrow.find("@FOLDER@"), 8, UrlEscaped(folderName_));
      out += narrow;
    }
    out += page_text::kStyle;
    out += "</head>\n<body>\n";
    struct tm now {};
    const time_t nowSeconds = time(nullptr);
    localtime_r(&nowSeconds, &now);
    out += "<header><div class=\"bar\"><h1>Messages</h1><p class=\"sum\">" +
           Thousands(entries_) + (entries_ == 1 ? " message" : " messages") +
           (calls_ == 0 ? std::string() : " and " + Counted(calls_, "call", "calls")) + " in " +
           Thousands(conversations_.size()) +
           (conversations_.size() == 1 ? " conversation" : " conversations") +
           " &middot; written " + Formatted(now, "%Y-%m-%d %H:%M") +
           " &middot; times are local (" + UtcOffset(now) + ")</p>" +
           "<div class=\"find\"><input id=\"q\" type=\"search\" placeholder=\"Search messages and "
           "contacts\" autocomplete=\"off\" aria-label=\"Search\"><span id=\"n\"></span></div>";
    // The list to jump to a conversation, in the page's order.
    if (!conversations_.empty()) {
      out += "<details id=\"list\"><summary>Go to a conversation</summary><ul>";
      uint32_t previous = UINT32_MAX;
      for (const IndexEntry& entry : index_) {
        if (entry.parties == previous) continue;
        previous = entry.parties;
        const Conversation& conversation = conversations_[entry.parties];
        out += "<li><a href=\"#c" + std::to_string(entry.parties) + "\">" + conversation.names +
               "<span>" + Thousands(conversation.messages) + "</span></a></li>";
        if (out.size() > 60000) Put(out);
      }
      out += "</ul></details>";
    }
    out += "</div></header>\n<main>\n";

    std::vector<char> buffer;
    uint32_t current = UINT32_MAX;
    std::string day;
    for (const IndexEntry& entry : index_) {
      if (entry.parties != current) {
        if (current != UINT32_MAX) out += "</ol></section>\n";
        current = entry.parties;
        day.clear();
        const Conversation& conversation = conversations_[current];
        out += "<section id=\"c" + std::to_string(current) + "\"" +
               (conversation.group ? " class=\"group\"" : "") + "><h2>" + conversation.heading +
               "<span class=\"cnt\">" + Thousands(conversation.messages) + "</span></h2><ol>\n";
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
      if (ReadScratchAt(spool_, entry.offset, buffer.data(), entry.length) !=
          static_cast<ssize_t>(entry.length)) {
        throw CFileException(CFileException::hardIO, errno, path_);
      }
      out.append(buffer.data(), buffer.size());
      if (out.size() > 60000) Put(out);
    }
    if (current != UINT32_MAX) out += "</ol></section>\n";
    out += "<p id=\"none\" class=\"none\" hidden>No message matches.</p>\n</main>\n";
    out += page_text::kScript;
    Put(out);
    sink_.Close();
  }

 private:
  void AppendText(const std::u16string& text) {
    markup_ += "<p class=\"t\">";
    AppendEscaped(markup_, text, Markup::kHtmlText);
    markup_ += "</p>";
  }

  // The parts in their order: texts, pictures inline, everything else as a link; the layout
  // (SMIL) is the phone's business. In a group chat a received message says who sent it.
  void AppendMultimedia(const MessageRecord& record, bool received) {
    const Multimedia& multimedia = *record.multimedia;
    if (received && record.recipients.size() >= 2) {
      markup_ += "<p class=\"s\">";
      AppendEscaped(markup_,
                    record.senderName.empty() ? record.senderAddress : record.senderName,
                    Markup::kHtmlText);
      markup_ += "</p>";
    }
    if (const Column* subject = FindColumn(multimedia.extras, "sub");
        subject != nullptr && *subject && !(*subject)->empty()) {
      markup_ += "<p class=\"sub\">";
      AppendEscaped(markup_, **subject, Markup::kHtmlText);
      markup_ += "</p>";
    }
    bool texts = false;
    for (const MessagePart& part : multimedia.parts) {
      const std::string type = MediaTypeOf(part);
      if (type == "application/smil") continue;
      if (part.data == nullptr) {
        if (part.text) {
          AppendText(*part.text);
          texts = true;
        }
        continue;
      }
      AppendFile(part, type);
    }
    if (!texts && !record.text.empty()) AppendText(record.text);
  }

  void AppendFile(const MessagePart& part, const std::string& type) {
    if (!media_.saves()) {  // nowhere to put it: named only
      markup_ += "<p class=\"att\"><span class=\"k\">";
      markup_ += KindShown(type);
      markup_ += "</span>";
      AppendEscaped(markup_, media_.NameFor(part), Markup::kHtmlText);
      markup_ += "<span class=\"z\">" + SizeShown(part.data->size()) + ", not saved</span></p>";
      return;
    }
    const MediaFolder::Saved saved = media_.Save(part);
    mediaSaved_ = true;
    MediaFolder::Saved preview;
    if (IsHeifPicture(type) && SavePreview(saved, preview)) {
      AppendPicture(preview);
      markup_ += "<p class=\"att\"><span class=\"k\">Original</span><a href=\"" + saved.href +
                 "\" download>";
      AppendEscaped(markup_, saved.name, Markup::kHtmlText);
      markup_ += "</a><span class=\"z\">" + SizeShown(part.data->size()) + "</span></p>";
      return;
    }
    if (IsPicture(type)) {
      AppendPicture(saved);
      return;
    }
    markup_ += "<p class=\"att\"><span class=\"k\">";
    markup_ += KindShown(type);
    markup_ += "</span><a href=\"" + saved.href + "\" target=\"_blank\">";
    AppendEscaped(markup_, saved.name, Markup::kHtmlText);
    markup_ += "</a><span class=\"z\">" + SizeShown(part.data->size()) + "</span></p>";
  }

  // A JPEG of the HEIF picture saved as `original`, written beside it in the media folder; false
  // (and no file) when the picture cannot be decoded. Throws CFileException when the JPEG cannot
  // be written.
  bool SavePreview(const MediaFolder::Saved& original, MediaFolder::Saved& preview) {
    MessagePart named;
    named.fileName = Utf8ToWide(original.name + ".jpg");
    named.contentType = u"image/jpeg";
    preview.name = media_.NameFor(named);
    preview.href = UrlEscaped(folderName_) + "/" + UrlEscaped(preview.name);
    const int folder = folder_();
    const int source = openat(folder, original.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, path_);
    const int out = openat(folder, preview.name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
      const int osError = errno;
      close(source);
      throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
    }
    int osError = 0;
    PreviewResult result = WriteHeifPreview(source, out, preview.width, preview.height, osError);
    close(source);
    if (close(out) != 0 && errno != EINTR && result == PreviewResult::kWritten) {
      result = PreviewResult::kNotWritten;
      osError = errno;
    }
    if (result == PreviewResult::kWritten) return true;
    unlinkat(folder, preview.name.c_str(), 0);
    if (result == PreviewResult::kNotWritten) {
      throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
    }
    return false;
  }

  // A picture of the media folder, shown inline and linked to its file.
  void AppendPicture(const MediaFolder::Saved& saved) {
    // Shown at most 300 pixels wide or high, and a tiny one (a sticker, an icon) at least 64;
    // the link opens the whole picture. A picture of unknown size gets a box of its own, so
    // that it is laid out, and loaded, only when near.
    uint32_t width = 240, height = 180;
    if (saved.width > 0) {
      const uint32_t longer = std::max(saved.width, saved.height);
      const double scale = longer > 300 ? 300.0 / longer : longer < 64 ? 64.0 / longer : 1.0;
      width = std::max<uint32_t>(1, static_cast<uint32_t>(saved.width * scale + 0.5));
      height = std::max<uint32_t>(1, static_cast<uint32_t>(saved.height * scale + 0.5));
    }
    markup_ += "<a class=\"pic\" href=\"" + saved.href + "\" target=\"_blank\"><img src=\"" +
               saved.href + "\" alt=\"";
    AppendEscaped(markup_, saved.name, Markup::kHtmlText);
    markup_ += "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
               "\"" + (saved.width > 0 ? "" : " class=\"unk\"") +
               " loading=\"lazy\" decoding=\"async\"></a>";
  }

  uint32_t PartySetFor(PartySet set) {
    std::string key(set.multimedia ? "m" : "s");
    for (const std::string& party : set.keys) key += "\n" + party;
    const auto [found, added] =
        partySetIds_.try_emplace(std::move(key), static_cast<uint32_t>(partySets_.size()));
    if (added) partySets_.push_back(std::move(set));
    return found->second;
  }

  // The conversation with these members (keys of parties_; none: a message without parties).
  uint32_t ConversationFor(const std::vector<std::string>& members) {
    std::string key;
    for (const std::string& member : members) key += member + "\n";
    const auto [found, added] =
        conversationIds_.try_emplace(key, static_cast<uint32_t>(conversations_.size()));
    if (!added) return found->second;
    Conversation& conversation = conversations_.emplace_back();
    conversation.group = members.size() >= 2;
    // Each name once (a group's members may all carry the group's contact name), then the
    // numbers of the members shown by a name.
    std::vector<std::u16string> names;
    std::u16string numbers;
    for (const std::string& member : members) {
      const Party& party = parties_[member];
      const std::u16string& name = party.name.empty() ? party.address : party.name;
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      if (!party.name.empty() && party.name != party.address) {
        if (!numbers.empty()) numbers += u", ";
        numbers += party.address;
      }
    }
    std::u16string joined;
    for (const std::u16string& name : names) joined += (joined.empty() ? u"" : u", ") + name;
    if (joined.empty()) joined = u"(nobody)";
    AppendEscaped(conversation.names, joined, Markup::kHtmlText);
    conversation.heading = "<span class=\"who\">" + conversation.names + "</span>";
    if (!numbers.empty()) {
      conversation.heading += "<span class=\"num\">";
      AppendEscaped(conversation.heading, numbers, Markup::kHtmlText);
      conversation.heading += "</span>";
    }
    return found->second;
  }

  void Put(std::string& out) {
    sink_.Write(out.data(), out.size());
    out.clear();
  }

  std::u16string path_;
  ByteSink& sink_;
  FILE* spool_;
  uint64_t spooled_ = 0;
  uint64_t calls_ = 0;  // calls shown, beside the messages (entries_)
  std::string markup_;
  std::string folderName_;
  std::function<int()> folder_;  // the media folder's descriptor (PageMedia::folder)
  MediaFolder media_;
  bool mediaSaved_ = false;
  std::vector<IndexEntry> index_;
  std::unordered_map<std::string, Party> parties_;
  std::vector<PartySet> partySets_;
  std::unordered_map<std::string, uint32_t> partySetIds_;
  OwnNumbers own_;  // learned from the messages written so far
  std::unordered_set<std::string> owner_, notOwner_;
  std::unordered_map<std::string, uint64_t> maybeOwner_;  // received multimedia messages to each
  uint64_t receivedToSomeone_ = 0;  // received multimedia messages that name a recipient
  std::vector<Conversation> conversations_;
  std::unordered_map<std::string, uint32_t> conversationIds_;
};

}  // namespace

std::unique_ptr<MessageWriter> HtmlWriter(ByteSink& sink, PageMedia media) {
  return std::make_unique<Page>(sink, std::move(media));
}

}  // namespace larkpost

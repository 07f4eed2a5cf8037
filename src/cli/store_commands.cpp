// store init|list|dump|load: the message store itself, for demos, tests and a look inside.
#include <cerrno>
#include <exception>
#include <streambuf>
#include <iostream>
#include <unistd.h>

#include <algorithm>

#include "cli/commands.h"
#include "jobs/message_files.h"
#include "jobs/store_access.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "platform/file/output_file.h"
#include "platform/file/output_sink.h"
#include "platform/file/file.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "jobs/outcome.h"
#include "jobs/targets.h"
#include "store/media_and_calls.h"
#include "store/session.h"
#include "storejson/store_json.h"

namespace larkpost {

namespace {

// An input stream's bytes read from a CFile.
class CFileInputBuffer final : public std::streambuf {
 public:
  bool Open(const std::u16string& path) {
    return file_.Open(path, CFile::modeRead | CFile::shareDenyNone);
  }

 protected:
  int_type underflow() override {
    const unsigned got = file_.Read(block_, sizeof block_);
    if (got == 0) return traits_type::eof();
    setg(block_, block_, block_ + got);
    return traits_type::to_int_type(block_[0]);
  }

 private:
  CFile file_;
  char block_[64 * 1024];
};

// The session for a store command; prints the system's text (and a hint for a missing file)
// when it cannot be opened.
bool Opened(SmsSession& session, const std::string& database, CliStreams& io) {
  if (session.initialized) return true;
  io.err << WideToUtf8(LoadString(IDS_ACCOUNT_INIT_FAILED)) << "\n";
  if (!StoreFileExists(database)) HintMissingStore(database, io);
  return false;
}

// The folder tree with message counts, one folder a line, indented by depth (up to a limit, so a
// very deep tree still gives short lines). The standard folders by the names the desktop
// program shows ("Sent Items"), whatever the store calls them.
void ListFolder(SmsFolder& root, FolderKind kind, uint64_t& total, uint64_t& multimedia,
                CliStreams& io) {
  constexpr size_t kMaxIndent = 32;
  WalkFolderTree(root, [&](SmsFolder& folder, size_t depth) {
    MessageCursor* cursor = folder.Cursor(10);
    const uint32_t count = cursor != nullptr ? cursor->RowCount() : 0;
    const uint32_t media = CountMultimedia(folder, false);
    total += count;
    multimedia += media;
    const std::string name =
        depth == 0 ? WideToUtf8(NamesOf(kind).storeName)
                   : std::string(2 * std::min(depth, kMaxIndent), ' ') +
                         PrintableLine(WideToUtf8(folder.displayName));
    io.out << name << std::string(name.size() < 30 ? 30 - name.size() : 1, ' ')
           << (cursor != nullptr ? std::to_string(count) : std::string("(unreadable)"))
           << (media > 0 ? " + " + std::to_string(media) + " multimedia" : std::string()) << "\n";
    return true;
  });
}

// An ostream's buffer over a byte sink. A failed write ends the stream (the ostream sees end of file
// and stops); the CFileException that said why is raised again by Rethrow.
class SinkStreamBuffer : public std::streambuf {
 public:
  explicit SinkStreamBuffer(ByteSink& sink) : sink_(sink) { setp(buffer_, buffer_ + sizeof buffer_); }
  void Rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    if (failure_) return -1;
    try {
      sink_.Write(pbase(), static_cast<size_t>(pptr() - pbase()));
    } catch (const CFileException&) {
      failure_ = std::current_exception();
      return -1;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return 0;
  }

 private:
  ByteSink& sink_;
  char buffer_[1 << 16];
  std::exception_ptr failure_;
};

// The messaging logon creates a missing store file; looking at a store must not.
bool Exists(const std::string& database, CliStreams& io) {
  if (StoreFileExists(database)) return true;
  io.err << WideToUtf8(LoadString(IDS_ACCOUNT_INIT_FAILED)) << "\n";
  HintMissingStore(database, io);
  return false;
}

// A dump holds SMS and calls: the multimedia messages it could not hold are named, and the
// command ends lossy.
int MultimediaNotDumped(uint32_t multimedia, CliStreams& io) {
  if (multimedia == 0) return kExitSuccess;
  LeftOut leftOut;
  leftOut.multimedia = multimedia;
  io.err << WideToUtf8(LeftOutText(leftOut, u"a dump holds SMS and calls only")) << "\n";
  return kExitIncomplete;
}

}  // namespace


void HintMissingStore(const std::string& database, CliStreams& io) {
  io.err << "(no message store at " << PrintableLine(database)
         << "; create one with: larkpost --store " << PrintableLine(database) << " store init)\n";
}

bool LockedForRun(const std::string& database, ExclusiveLock& lock, CliStreams& io) {
  TerminalUserInterface ui(io.in, io.out, io.err, io.inputIsTerminal, io.errorIsTerminal);
  ScopedUserInterface installed(ui);
  std::u16string error;
  if (LockStoreForRun(database, lock, error)) return true;
  io.err << "larkpost: "
         << (error.empty() ? "interrupted while waiting for another run on the store"
                           : PrintableLine(WideToUtf8(error)))
         << "\n";
  return false;
}

int StoreInit(const std::string& database, CliStreams& io) {
  const HRESULT result = mapi::InitializeDatabase(database);
  if (result != S_OK) {
    io.err << "larkpost: cannot create the message store " << PrintableLine(database) << " (error 0x"
           << std::hex << static_cast<uint32_t>(result) << std::dec << ")\n";
    return kExitFailure;
  }
  io.out << "Message store: " << PrintableLine(database) << "\n";
  return kExitSuccess;
}

int StoreList(const std::string& database, CliStreams& io) {
  if (!Exists(database, io)) return kExitFailure;
  SmsSession session(u"SMS");
  if (!Opened(session, database, io)) return kExitFailure;
  uint64_t total = 0;
  uint64_t multimedia = 0;
  for (int kind = 0; kind < kFolderKindCount; ++kind) {
    if (SmsFolder* folder = session.StandardFolder(static_cast<FolderKind>(kind))) {
      ListFolder(*folder, static_cast<FolderKind>(kind), total, multimedia, io);
    } else {
      io.out << WideToUtf8(NamesOf(static_cast<FolderKind>(kind)).storeName) << " (missing)\n";
    }
  }
  const uint32_t calls = CountCalls(session);
  if (calls > 0) io.out << "Call Log" << std::string(22, ' ') << calls << "\n";
  if (multimedia == 0 && calls == 0) {
    io.out << total << (total == 1 ? " message\n" : " messages\n");
  } else {
    io.out << WideToUtf8(EntryCountsText(total, multimedia, calls)) << "\n";
  }
  return kExitSuccess;
}

int StoreDump(const std::string& database, const std::string& file, CliStreams& io) {
  if (!Exists(database, io)) return kExitFailure;
  SmsSession session(u"SMS");
  if (!Opened(session, database, io)) return kExitFailure;
  std::string error;
  if (file.empty()) {
    uint32_t multimedia = 0;
    if (!DumpStore(session, io.out, error, &multimedia)) {
      io.err << "larkpost: dump: " << PrintableLine(error) << "\n";
      return kExitFailure;
    }
    io.out.flush();
    return MultimediaNotDumped(multimedia, io);
  }
  // As every output: never over the store, mode 0600, and only whole.
  uint32_t multimedia = 0;
  try {
    bool dumped = false;
    WriteOutputFile(
        PathToWide(file),
        [&](OutputSink& sink, std::string& failure) {
          SinkStreamBuffer buffer(sink);
          std::ostream out(&buffer);
          dumped = DumpStore(session, out, failure, &multimedia);
          out.flush();
          buffer.Rethrow();
          return dumped;
        },
        error);
    if (!dumped) {
      io.err << "larkpost: dump: " << PrintableLine(error) << "\n";
      return kExitFailure;
    }
  } catch (const CFileException& failure) {
    io.err << PrintableLine(WideToUtf8(failure.ErrorMessage())) << "\n";
    return kExitFailure;
  } catch (const OutputRefused& refused) {
    io.err << PrintableLine(WideToUtf8(refused.text)) << "\n";
    return kExitFailure;
  }
  return MultimediaNotDumped(multimedia, io);
}

int StoreLoad(const std::string& database, const std::string& file, bool addPresent,
              CliStreams& io) {
  if (mapi::InitializeDatabase(database) != S_OK) {
    io.err << "larkpost: cannot create the message store " << PrintableLine(database) << "\n";
    return kExitFailure;
  }
  SmsSession session(u"SMS");
  if (!Opened(session, database, io)) return kExitFailure;
  ExclusiveLock lock;
  if (!LockedForRun(database, lock, io)) return kExitFailure;
  std::string error;
  LoadOptions options;
  options.addPresent = addPresent;
  LoadCounts counts;
  bool ok;
  if (file.empty()) {
    ok = LoadStore(session, io.in, options, counts, error);
  } else {
    // Read through a CFile, so that an encrypted file is read through its view.
    CFileInputBuffer buffer;
    if (!buffer.Open(Utf8ToWide(file))) {
      io.err << "larkpost: load: cannot read " << PrintableLine(file) << "\n";
      return kExitFailure;
    }
    std::istream in(&buffer);
    ok = LoadStore(session, in, options, counts, error);
  }
  if (!ok) {
    io.err << "larkpost: load: " << PrintableLine(error) << "\n";
    if (counts.added > 0) io.err << counts.added << " messages were added before the failure\n";
    return kExitFailure;
  }
  io.out << "Loaded " << counts.added << (counts.added == 1 ? " message" : " messages")
         << " into " << PrintableLine(database) << "\n";
  if (counts.present > 0) {
    io.out << "Already present, not loaded again: " << counts.present << "\n";
  }
  return kExitSuccess;
}

}  // namespace larkpost

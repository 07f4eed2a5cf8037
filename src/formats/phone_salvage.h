// Reading what is left of a damaged phone file: an XML of "SMS Backup & Restore" or a ZIP of
// "SMS Import / Export" that was cut short (a full card, a transfer that broke off), or that has
// garbage or a broken entry in the middle. The sources yield every entry that parses and log
// every stretch of the file they had to skip, by entry number and byte offset.
//
// XML: the file's bytes are scanned for the entries at the root's level (<sms ...> and <mms>
// ... </mms>), skipping comments, processing instructions and CDATA sections. Each candidate
// goes through the XML reader on its own, inside a root <smses> and under the file's own XML
// declaration, streamed from the file's range (an <mms> with megabytes of attachments is never
// copied whole). A candidate that fails is skipped: the scan goes on at the next element start,
// so one broken entry costs that entry only. Bytes between entries that are no entry (garbage)
// are skipped and logged as well.
//
// ZIP: the archive is read by its local file headers, not by its central directory (which is the
// first thing a cut-off archive loses): messages.ndjson is found by its local header and
// inflated (raw deflate) up to its end or to the first damage in its compressed stream. Every
// whole line that parses is an entry; a line that does not is skipped. Lines after damage in the
// compressed stream cannot be found again and are logged as one stretch. The attachments a
// multimedia line names (data/<name>) are found by their local headers as well, and each is
// unpacked once to see that it is whole (its size and checksum); one that is missing, damaged
// or cut off costs its part the bytes and gets a note, and the message is kept with its text.
//
// Both run on the caller's thread and keep at most one entry's worth of text in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/message_stream.h"
#include "formats/part_spool.h"

class CFile;

namespace larkpost {

// A stretch of the file that gave no entry.
struct DamagedStretch {
  uint64_t entry = 0;    // XML: the entry's number, counting every <sms> and <mms> found from 1;
                         // ZIP: the line of messages.ndjson. For bytes that are no entry at all,
                         // the number of the entry that follows them.
  bool betweenEntries = false;  // bytes that are no entry (garbage, a foreign element)
  uint64_t offset = 0;  // where it begins: XML the file's byte; ZIP the byte of messages.ndjson,
                        // or of the archive for damage in the compressed stream (inArchive)
  bool inArchive = false;
  uint64_t length = 0;  // bytes skipped (of the file, or of messages.ndjson)
  uint64_t line = 0;    // XML: the file's line where the stretch begins (from 1)
  std::string error;    // why it gave no entry
};

// The stretches and notes a log lists one by one; past these, they are only counted, so that a
// file of millions of broken entries costs no more memory than one of a thousand.
inline constexpr size_t kMaxListedStretches = 1000;
inline constexpr size_t kMaxListedNotes = 1000;

struct SalvageLog {
  uint64_t entriesFound = 0;  // XML: every <sms> and <mms> found, kept or skipped
  uint64_t entriesKept = 0;   // entries yielded (multimedia ones among them)
  std::vector<DamagedStretch> skipped;  // the first kMaxListedStretches
  uint64_t unlistedStretches = 0;       // skipped after those, not listed
  uint64_t unlistedBytes = 0;           // their bytes
  uint64_t unlistedNotes = 0;           // notes past the first kMaxListedNotes

  // Lists a stretch, or counts it once kMaxListedStretches are listed.
  void Skipped(DamagedStretch stretch) {
    if (skipped.size() < kMaxListedStretches) {
      skipped.push_back(std::move(stretch));
    } else {
      ++unlistedStretches;
      unlistedBytes += stretch.length;
    }
  }
  // Lists a note, or counts it once kMaxListedNotes are listed.
  void Note(std::string note) {
    if (notes.size() < kMaxListedNotes) {
      notes.push_back(std::move(note));
    } else {
      ++unlistedNotes;
    }
  }
  std::optional<uint64_t> declaredEntries;  // XML: the count the root declares
  // The file ends before its end: the XML without </smses>, the ZIP's messages.ndjson without
  // the end of its compressed stream. Entries after the cut are lost without a trace.
  bool cutShort = false;
  std::string root = "smses";  // XML: the root the file opens, "smses" or the call log's "calls"
  std::vector<std::string> notes;  // other damage seen (a checksum that does not match, ...)
  bool markup = false;  // the damaged file was read as XML (its stretches have lines)
};

// The entries of the damaged XML or ZIP in `file` (open for reading, seekable), logged into
// `log`, which must outlive the source; the XML's attachments are decoded into `spool` (null:
// only their sizes are counted). A ZIP's attachments are read from `file` whenever they are
// wanted, while any message of the source lives. The source's error is set only for a file
// that cannot be salvaged at all (no messages.ndjson in a ZIP, a ZIP bomb); file errors throw CFileException.
std::unique_ptr<EntrySource> SalvagedXmlEntries(std::shared_ptr<CFile> file, SalvageLog& log,
                                                std::shared_ptr<PartSpool> spool = nullptr);
std::unique_ptr<EntrySource> SalvagedZipEntries(std::shared_ptr<CFile> file, SalvageLog& log);

}  // namespace larkpost

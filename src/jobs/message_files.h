// Messages into new files of every kind, one message at a time and without a store: the one way
// a conversion, a merge, a salvage and a store dump write their output (a partial file beside
// the target that takes its place only when whole), and conversions themselves. Readers and
// writers come from the format table (formats/format_table.h). Everything runs on the caller's
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "formats/format_table.h"
#include "formats/message_stream.h"
#include "formats/part_spool.h"
#include "jobs/outcome.h"
#include "message/selection.h"
#include "platform/file/output_sink.h"

namespace larkpost {

class OutputSink;  // platform/file/output_sink.h

struct WrittenCounts {
  uint64_t entriesWritten = 0;    // entries of the output (a sent message may make several)
  uint64_t replacedMessages = 0;  // messages with characters the code page lacks, as "?"
  uint64_t multimediaLeftOut = 0;  // multimedia messages the format cannot hold, not written
  uint64_t unaddressedLeftOut = 0;  // multimedia messages without any address (MessageWriter)
  std::string firstUnaddressed;
  uint64_t callsWritten = 0;     // calls the output holds, or its call log beside it
  uint64_t callsLeftOut = 0;     // calls neither holds
  uint64_t messagesLeftOut = 0;  // messages of an output that holds calls only (a call log)
  std::u16string callLog;        // the call log written beside the output; empty: none
};

// What reading a file left out by itself: the entries of a phone's call log a salvage passes
// over, and what an iPhone's database holds that is no message.
LeftOut LeftOutByReader(const ReadCounts& read);
// What writing a file left out: multimedia messages the format cannot hold or its app not take,
// calls where neither the file nor a call log beside it holds them, messages of a call log.
LeftOut UnwrittenOf(const WrittenCounts& written);

// In front of the writer of a format: what the format cannot hold (FormatHolds) is counted, not
// written: multimedia messages, calls, or the messages of a format of calls only. The calls of a
// format whose app keeps them beside its files go into `callLog` instead, when given.
class LeftOutByFormat : public MessageWriter {
 public:
  // `callLog` opens the call log on its first use (on the writing thread) and hands it over.
  using CallLogOpener = std::function<MessageWriter&()>;
  LeftOutByFormat(MessageWriter& writer, const FormatHolds& holds, CallLogOpener callLog = {})
      : writer_(writer), holds_(holds), callLog_(std::move(callLog)) {}
  bool Write(const MessageRecord& record, std::string& error) override;
  bool Prepare(const MessageRecord& record, PreparedMessage& prepared,
               std::string& error) const override;
  bool WritePrepared(const PreparedMessage& prepared, std::string& error) override;
  void Finish() override { writer_.Finish(); }
  bool PreparesAhead() const override { return writer_.PreparesAhead(); }
  uint64_t multimediaLeftOut = 0;
  uint64_t callsLeftOut = 0;
  uint64_t messagesLeftOut = 0;
  uint64_t callsWritten = 0;

 private:
  // Whether the format keeps the record (a call: in the file itself or in the call log).
  bool Holds(const MessageRecord& record) const;
  void CountLeftOut(bool call, bool multimedia);
  MessageWriter& writer_;
  FormatHolds holds_;
  CallLogOpener callLog_;
};

// The counts of a finished writer, with what `leaveOut` left out in front of it.
WrittenCounts CountsOf(const MessageWriter& writer, const LeftOutByFormat& leaveOut);

// The one way a command writes a file: `fill` writes into `sink`, an OutputSink at a partial
// file beside `out` (platform/file/output_sink.h), which is committed over `out` only when
// `fill` returns true. When `fill` returns false (with `error` set) the partial file is removed
// and `out` stays as it was. File errors throw CFileException naming `out`, a refused target
// OutputRefused.
bool WriteOutputFile(const std::u16string& out,
                     const std::function<bool(OutputSink& sink, std::string& error)>& fill,
                     std::string& error);

// The call log a run writes beside an output of a format whose app keeps calls in a file of their
// own (FileFormat::callLogBeside): its file is made on the first call (Open), encrypted as the
// output is, and put in place by Commit, after the output; one never opened writes nothing, and
// one never committed is thrown away.
class CallLogBeside {
 public:
  CallLogBeside(std::u16string out, const FileFormat& format);
  ~CallLogBeside();
  CallLogBeside(const CallLogBeside&) = delete;
  CallLogBeside& operator=(const CallLogBeside&) = delete;
  MessageWriter& Open();
  void Finish();
  // The path written, or empty when no call came. Throws CFileException naming it.
  std::u16string Commit();

 private:
  std::u16string out_;
  std::u16string path_;
  bool wrapped_ = false;
  std::optional<OutputSink> sink_;
  std::unique_ptr<MessageWriter> writer_;
};
// The call log for an output of `kind` at `out` written through `sink`; null when the format keeps
// no calls beside its files, or `sink` writes no file (a pipe).
std::unique_ptr<CallLogBeside> CallLogBesideOutput(const std::u16string& out, FileKind kind,
                                                   const OutputSink& sink);

// Puts the messages that `fill` hands to the writer into a new file of `kind` at `out`, through
// WriteOutputFile. What the format cannot hold (a multimedia message, a call, a message of a
// call log) is left out here, the one place every output passes, and counted in `counts`. The
// calls handed to a format whose app keeps them beside its files (FileFormat::callLogBeside) go
// into that file beside `out` (encrypted as `out` is), made when the first call comes and put in
// place right after `out`; counts.callLog names it. File errors throw CFileException naming the
// file, a refused target OutputRefused.
bool WriteMessageOutput(const std::u16string& out, FileKind kind, DeletedAs deletedAs,
                        const std::function<bool(MessageWriter&, std::string& error)>& fill,
                        WrittenCounts& counts, std::string& error);

// The one loop of every run from a file into a file: the messages of `reader` that `selection`
// takes (null: every one) into `writer` as they come, counted in `taken` and told to `progress`
// (when given). With `asTheyLie` a message is copied as its file holds it wherever the reader
// gives its bytes (MessageReader::RecordBytes): a file of the writer's own format. Ends at a
// stop request (RequestStop) before the next message, with `stopped` set and "interrupted", or at
// the first error, the reader's or the writer's (naming the message); false then.
bool CopyMessages(MessageReader& reader, MessageWriter& writer, const Selection* selection,
                  bool asTheyLie, const std::function<void(uint64_t taken)>& progress,
                  uint64_t& taken, bool& stopped, std::string& failure);

struct ConvertResult {
  ReadCounts read;
  LeftOut leftOut;                // what the output lacks: multimedia it cannot hold, calls
  uint64_t selected = 0;          // messages and calls the selection took
  uint64_t written = 0;           // of them, messages the output holds
  uint64_t callsWritten = 0;      // of them, calls the output or its call log holds
  std::u16string callLog;         // the call log written beside the output; empty: none
  uint64_t entriesWritten = 0;    // entries of the output (a sent message may make several)
  uint64_t replacedMessages = 0;  // messages with characters the code page lacks, as "?"
  std::u16string error;           // why the conversion failed; empty on success
};

// Converts the messages of `in` that the selection takes into `out`, each kind from its name,
// through WriteMessageOutput: `out` is replaced only when everything was read and written. False
// with result.error; file errors throw CFileException, a refused target OutputRefused.
bool ConvertMessageFile(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                        const Selection& selection, ConvertResult& result);

}  // namespace larkpost

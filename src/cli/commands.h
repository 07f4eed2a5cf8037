// The commands behind the larkpost command line, each returning the exit status. They run on
// the caller's thread and print to the given streams.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/cli.h"
#include "formats/format_table.h"
#include "formats/phone_entry.h"
#include "jobs/outcome.h"
#include "message/selection.h"
#include "platform/file/file_lock.h"

namespace larkpost {

// Reads a file of any readable format whole without a store, as a restore checks it: a backup
// file's digest and every record, naming each problem with its record number as a restore
// would; a phone's file entry by entry, the counts (multimedia messages among them) and what a
// restore would leave out of the store. Says how many messages the selection takes when it
// narrows; with `json` the counts as one JSON object.
int VerifyFile(const std::u16string& path, bool json, const Selection& selection,
               CliStreams& io);
// Lists the messages of a file that the selection takes, readable or as NDJSON: a backup file's
// records as they lie, a phone's messages as a record would show them.
int ShowFile(const std::u16string& path, bool json, const Selection& selection, CliStreams& io);
// Writes the whole messages of a damaged backup file, XML or ZIP into a new file of OUT's kind
// and says what was skipped, by entry number and byte; exit status 3 when anything was, 130/143
// when stopped by a signal (OUT then stays as it was).
int RunSalvage(const std::u16string& damagedPath, const std::u16string& outPath,
               DeletedAs deletedAs, CliStreams& io);

// Converts the messages of one file that the selection takes into another, each format from its
// name; prints what was read, written and left out (with `json` as one JSON object, the warnings
// still on stderr).
int ConvertFiles(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                 const Selection& selection, bool json, CliStreams& io);
// After a conversion or merge that wrote `target`: the warnings for messages written with "?"
// for characters the code page lacks and for what the format could not hold; kExitIncomplete
// when there is either, else kExitSuccess.
// The calls an output took, for a conversion's or a merge's report: "Wrote 10 call entries." or,
// for a call log written beside the output, "Wrote 10 call entries into calls-x.json."; empty
// for none. In --json: "calls" and "callLog" (when there is one).
std::string CallsWrittenLine(uint64_t calls, const std::u16string& callLog);
void AddCallsJson(nlohmann::ordered_json& summary, uint64_t calls, const std::u16string& callLog);

int ReportLossy(uint64_t replacedMessages, const LeftOut& leftOut, FileKind target,
                CliStreams& io);
// Runs `write`, which writes `out` through the output path (a partial file renamed when whole)
// and leaves why it failed in `error`, and reports a failure as every command that writes a file
// does: asked to stop, that the partial output was removed and `out` was not replaced (not
// written, when there was none before); else "larkpost: COMMAND: ", the error and "Nothing was
// written."; a file error or a refused OUT by its own text. Returns the exit status of a
// failure; nothing when it succeeded.
// `in`, when given, is the file read: a failed validation of it gets HintWrongFile.
std::optional<int> WriteOrReport(const char* command, const std::u16string& out,
                                 const std::function<bool()>& write,
                                 const std::u16string& error, CliStreams& io,
                                 const std::u16string& in = std::u16string());

// The line after "File Validation Failed." for the file at `path`: what it looks like and what
// reads it, or else that a backup file cut off or damaged keeps what it still holds through
// salvage.
void HintWrongFile(const std::u16string& path, CliStreams& io);

// "direction", "received" or "sent"; false for anything else.
bool ParseDeletedAs(const std::string& text, DeletedAs& deletedAs);

// The line that tells how to create the missing store file `database`.
void HintMissingStore(const std::string& database, CliStreams& io);

// Takes the store's lock (store_access.h) for a load or a dedupe, with a line on stderr while
// another run holds it; false after saying why it could not.
bool LockedForRun(const std::string& database, ExclusiveLock& lock, CliStreams& io);

// The message store at the path set with SetDatabasePath.
int StoreInit(const std::string& database, CliStreams& io);
int StoreList(const std::string& database, CliStreams& io);
int StoreDump(const std::string& database, const std::string& file, CliStreams& io);
// Adds the messages of FILE (standard input when empty) that the store does not hold yet; with
// `addPresent` every message, also those it holds.
int StoreLoad(const std::string& database, const std::string& file, bool addPresent,
              CliStreams& io);

}  // namespace larkpost

// A backup of a store: the store's messages (store/store_source.h) that the job's folders and
// selection take, written through the writer of the job's format.
#pragma once

#include <functional>

#include "message/message_record.h"
#include "message/message_stream.h"

namespace larkpost {

struct BackupJob;
class ByteSink;
class OutputFile;

// Calls `each` for every message of the job's included standard folders that its selection
// takes, in walk order (WalkStore), counting the others in the job. False when the walk fails
// or `each` does.
// With `callsBeside` the calls are handed out for a call log beside the file.
bool WalkSelectedMessages(BackupJob& job, const std::function<bool(MessageRecord&)>& each,
                          bool callsBeside = false);

// Writes the messages of the job's selected folders, in walk order, through `writer`, and
// finishes it. For a writer that prepares ahead (MessageWriter::PreparesAhead: a backup file's
// record is encoded there) the store is walked on a second thread that makes each message ready
// and hands it over, so reading the store overlaps with encoding and waiting for storage. The
// calling thread writes each message, tells `sink` (its grouped flushes) and counts it in the
// job, with the characters its code page lacked. When a stop is requested (RequestStop) it ends after the message in hand and
// returns false, unfinished. False when the walk fails or the writer refuses a message (the
// messages before stay written); file errors raise CFileException once the walk has stopped.
bool WriteSelectedMessages(BackupJob& job, MessageWriter& writer, bool callsBeside, ByteSink& sink);

// A backup of the job's selected folders in the job's format into `sink`, as above; `output`
// says where the file goes when the sink writes one (a page's media folder goes beside it).
// False also for a format no backup writes.
// The calls go into `callLog` when given (a ZIP's, beside it), else into the file when its format
// keeps them.
class CallLogBeside;
bool WriteStoreBackup(BackupJob& job, ByteSink& sink, OutputFile* output = nullptr,
                      CallLogBeside* callLog = nullptr);

}  // namespace larkpost

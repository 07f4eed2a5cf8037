// A backup of a store: the store walk that every backup shares (the selected standard folders,
// then their subfolders depth first, through the job's selection), and the writing of its
// messages through a writer of any format.
#pragma once

#include <functional>

#include "message/message_record.h"
#include "message/message_stream.h"

namespace larkpost {

struct BackupJob;
struct SmsMessage;
class ByteSink;
class OutputFile;

// Called for each message a backup takes, with the message as a record when the selection had
// to make it (else null); false stops the walk.
using SelectedMessageVisitor = std::function<bool(SmsMessage&, const MessageRecord*)>;

// Walks the job's included standard folders (a standard folder the store lacks is left out) and
// calls `each` for every message its selection takes, counting the others in the job. Walk
// order: the standard folders Drafts, Inbox, Outbox, Sent, Deleted; in each, a folder's own
// messages, then its subfolders depth first. False when the walk fails or `each` does.
bool WalkSelectedMessages(BackupJob& job, const SelectedMessageVisitor& each);

// Writes the messages of the job's selected folders, in walk order, through `writer`, and
// finishes it. The store is walked on a second thread that makes each message ready for the
// writer (MessageWriter::Prepare: a backup file's record is encoded there) and hands it over, so
// reading the store overlaps with waiting for storage; this thread writes each message as it
// arrives, tells `sink` (its grouped flushes) and counts it in the job, with the characters its
// code page lacked. When a stop is requested (RequestStop) it ends after the message in hand and
// returns false, unfinished. False when the walk fails or the writer refuses a message (the
// messages before stay written); file errors raise CFileException once the walk has stopped.
bool WriteSelectedMessages(BackupJob& job, MessageWriter& writer, ByteSink& sink);

// A backup of the job's selected folders in the job's format into `sink`, as above; `output`
// says where the file goes when the sink writes one (a page's media folder goes beside it).
// False also for a format no backup writes.
bool WriteStoreBackup(BackupJob& job, ByteSink& sink, OutputFile* output = nullptr);

}  // namespace larkpost

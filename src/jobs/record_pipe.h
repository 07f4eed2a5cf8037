// A bounded, ordered hand-over of messages made ready for a writer from the thread that walks
// the store to the thread that writes and flushes them, so reading the next messages overlaps with waiting for
// storage. The writer takes the records in stretches: all that have come, once they fill an
// eighth of the bound or 50 ms have passed, so the two threads meet once per stretch and not
// once per record. It holds at most about twice `maxBytes` (the stretch being written and the
// records coming after it; one larger record alone may pass), so memory stays small whatever
// the store holds.
//
// One producer calls Push for each record in walk order, then Close; one consumer calls Pop
// until it returns false. A consumer that gives up (a file error) calls Stop: Push then returns
// false at once and the producer ends its walk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "message/message_stream.h"

namespace larkpost {

struct PipedMessage {
  PreparedMessage prepared;               // what the writer writes (MessageWriter::Prepare)
  std::unique_ptr<MessageRecord> record;  // the message prepared.record points to, if it does
  // What it holds, as the pipe's bound counts it.
  size_t Size() const;
};

class RecordPipe {
 public:
  explicit RecordPipe(size_t maxBytes) : maxBytes_(maxBytes) {}

  // Waits while the pipe is full, until the consumer takes its records. False when the consumer
  // has stopped.
  bool Push(PipedMessage record);
  // No more records will come.
  void Close();
  // Waits for the next records; false once the pipe is closed and empty, or stopped.
  bool Pop(PipedMessage& record);
  // The consumer takes no more records; wakes a waiting producer.
  void Stop();

 private:
  size_t WakeBytes() const { return maxBytes_ / 8; }
  // Waits for a stretch of records and moves them into taken_; false once there are none.
  bool TakeAll();

  const size_t maxBytes_;
  std::mutex mutex_;
  std::condition_variable notFull_;   // the producer waits here, once the pipe is full
  std::condition_variable notEmpty_;  // the consumer waits here, for a stretch of records
  bool producerWaiting_ = false;
  bool consumerWaiting_ = false;
  std::deque<PipedMessage> records_;
  std::deque<PipedMessage> taken_;  // the consumer's alone
  size_t bytes_ = 0;
  bool closed_ = false;
  bool stopped_ = false;
};

}  // namespace larkpost

// A bounded, ordered hand-over of encoded records from the thread that walks the store to the
// thread that writes and flushes them, so reading the next messages overlaps with waiting for
// storage. It holds at most about `maxBytes` of records (one larger record alone), so memory
// stays small whatever the store holds.
//
// One producer calls Push for each record in walk order, then Close; one consumer calls Pop
// until it returns false. A consumer that gives up (a file error) calls Stop: Push then returns
// false at once and the producer ends its walk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace larkpost {

struct EncodedRecord {
  std::string bytes;
  bool replaced = false;  // a character had no place in the code page and was written as "?"
};

class RecordPipe {
 public:
  explicit RecordPipe(size_t maxBytes) : maxBytes_(maxBytes) {}

  // Waits while the pipe is full (then until the consumer has emptied half of it). False when
  // the consumer has stopped.
  bool Push(EncodedRecord record);
  // No more records will come.
  void Close();
  // Waits for the next record; false once the pipe is closed and empty, or stopped.
  bool Pop(EncodedRecord& record);
  // The consumer takes no more records; wakes a waiting producer.
  void Stop();

 private:
  const size_t maxBytes_;
  std::mutex mutex_;
  std::condition_variable notFull_;   // the producer waits here, once the pipe is full
  std::condition_variable notEmpty_;  // the consumer waits here, while the pipe is empty
  bool producerWaiting_ = false;
  bool consumerWaiting_ = false;
  std::deque<EncodedRecord> records_;
  size_t bytes_ = 0;
  bool closed_ = false;
  bool stopped_ = false;
};

}  // namespace larkpost

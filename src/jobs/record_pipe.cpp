#include "jobs/record_pipe.h"

#include <utility>

namespace larkpost {

bool RecordPipe::Push(EncodedRecord record) {
  std::unique_lock<std::mutex> lock(mutex_);
  const size_t size = record.bytes.size();
  if (!stopped_ && !records_.empty() && bytes_ + size > maxBytes_) {
    // A full pipe takes records again once the writer has emptied half of it: the walk then runs
    // ahead in one stretch instead of waking for every record the writer takes.
    producerWaiting_ = true;
    notFull_.wait(lock, [&] {
      return stopped_ || records_.empty() ||
             (bytes_ <= maxBytes_ / 2 && bytes_ + size <= maxBytes_);
    });
    producerWaiting_ = false;
  }
  if (stopped_) return false;
  bytes_ += size;
  records_.push_back(std::move(record));
  if (consumerWaiting_) notEmpty_.notify_one();
  return true;
}

void RecordPipe::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  notEmpty_.notify_one();
}

bool RecordPipe::Pop(EncodedRecord& record) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!stopped_ && !closed_ && records_.empty()) {
    consumerWaiting_ = true;
    notEmpty_.wait(lock, [&] { return stopped_ || closed_ || !records_.empty(); });
    consumerWaiting_ = false;
  }
  if (stopped_ || records_.empty()) return false;
  record = std::move(records_.front());
  records_.pop_front();
  bytes_ -= record.bytes.size();
  if (producerWaiting_ && (records_.empty() || bytes_ <= maxBytes_ / 2)) notFull_.notify_one();
  return true;
}

void RecordPipe::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  records_.clear();
  bytes_ = 0;
  notFull_.notify_one();
}

}  // namespace larkpost

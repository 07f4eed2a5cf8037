#include "backupfile/record_pipe.h"

#include <utility>

namespace larkpost {

bool RecordPipe::Push(EncodedRecord record) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return stopped_ || records_.empty() || bytes_ + record.bytes.size() <= maxBytes_;
  });
  if (stopped_) return false;
  bytes_ += record.bytes.size();
  records_.push_back(std::move(record));
  changed_.notify_all();
  return true;
}

void RecordPipe::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool RecordPipe::Pop(EncodedRecord& record) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return stopped_ || closed_ || !records_.empty(); });
  if (stopped_ || records_.empty()) return false;
  record = std::move(records_.front());
  records_.pop_front();
  bytes_ -= record.bytes.size();
  changed_.notify_all();
  return true;
}

void RecordPipe::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  records_.clear();
  bytes_ = 0;
  changed_.notify_all();
}

}  // namespace larkpost

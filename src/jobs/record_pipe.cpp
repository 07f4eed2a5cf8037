#include "jobs/record_pipe.h"

#include <chrono>
#include <utility>

namespace larkpost {

namespace {

constexpr auto kLongestWait = std::chrono::milliseconds(50);

}  // namespace

size_t PipedMessage::Size() const {
  size_t size = prepared.bytes.size();
  if (record) size += sizeof(MessageRecord) + record->text.size() * sizeof(char16_t);
  return size;
}

bool RecordPipe::Push(PipedMessage record) {
  std::unique_lock<std::mutex> lock(mutex_);
  const size_t size = record.Size();
  if (!stopped_ && !records_.empty() && bytes_ + size > maxBytes_) {
    producerWaiting_ = true;
    notFull_.wait(lock, [&] { return stopped_ || records_.empty(); });
    producerWaiting_ = false;
  }
  if (stopped_) return false;
  bytes_ += size;
  records_.push_back(std::move(record));
  if (consumerWaiting_ && bytes_ >= WakeBytes()) {
    consumerWaiting_ = false;
    notEmpty_.notify_one();
  }
  return true;
}

void RecordPipe::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  notEmpty_.notify_one();
}

bool RecordPipe::Pop(PipedMessage& record) {
  if (taken_.empty() && !TakeAll()) return false;
  record = std::move(taken_.front());
  taken_.pop_front();
  return true;
}

bool RecordPipe::TakeAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [&] { return stopped_ || closed_ || bytes_ >= WakeBytes(); };
  if (!ready()) {
    consumerWaiting_ = true;
    // Records that came a while ago go on even when few: a slow walk's records still reach the
    // file, and its flushes, in good time.
    while (!notEmpty_.wait_for(lock, kLongestWait, ready) && records_.empty()) {
    }
    consumerWaiting_ = false;
  }
  if (stopped_ || records_.empty()) return false;
  taken_.swap(records_);
  bytes_ = 0;
  if (producerWaiting_) notFull_.notify_one();
  return true;
}

void RecordPipe::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  records_.clear();
  taken_.clear();
  bytes_ = 0;
  notFull_.notify_one();
}

}  // namespace larkpost

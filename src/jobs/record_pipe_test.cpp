#include "jobs/record_pipe.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace larkpost {
namespace {

PipedMessage Piped(std::string bytes, bool replaced) {
  PipedMessage message;
  message.prepared.bytes = std::move(bytes);
  message.prepared.replaced = replaced;
  return message;
}

// The writer sees every record in the order of the walk, however the two threads interleave,
// and the pipe never holds more than its bound (one record alone may pass it).
TEST(RecordPipe, KeepsOrderWithinItsBound) {
  RecordPipe pipe(64);
  std::thread producer([&pipe] {
    for (int i = 0; i < 2000; ++i) {
      const std::string bytes = std::to_string(i) + std::string(static_cast<size_t>(i % 100), 'x');
      ASSERT_TRUE(pipe.Push(Piped(bytes, i % 7 == 0)));
    }
    pipe.Close();
  });
  std::vector<std::string> seen;
  PipedMessage record;
  while (pipe.Pop(record)) {
    const int i = static_cast<int>(seen.size());
    EXPECT_EQ(record.prepared.replaced, i % 7 == 0);
    seen.push_back(record.prepared.bytes);
  }
  producer.join();
  ASSERT_EQ(seen.size(), 2000u);
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(seen[i], std::to_string(i) + std::string(static_cast<size_t>(i % 100), 'x'));
  }
}

// A writer that gives up (a file error) releases a walk blocked on a full pipe.
TEST(RecordPipe, StopReleasesABlockedWalk) {
  RecordPipe pipe(8);
  ASSERT_TRUE(pipe.Push(Piped("12345678", false)));
  bool pushed = true;
  std::thread producer([&pipe, &pushed] { pushed = pipe.Push(Piped("more", false)); });
  pipe.Stop();
  producer.join();
  EXPECT_FALSE(pushed);
  PipedMessage record;
  EXPECT_FALSE(pipe.Pop(record));
}

}  // namespace
}  // namespace larkpost

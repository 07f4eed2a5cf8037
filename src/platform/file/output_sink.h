// The one way Larkpost writes a file: every writer appends its bytes to an OutputSink, which
// writes them into the partial file of an OutputFile (output_file.h) and ends in exactly one
// of four ways:
//
//   Commit       everything on storage, then the partial file renamed over the target
//   KeepPartial  everything on storage under the partial name (a backup that is valid but not
//                complete must not replace an older one)
//   Discard      the partial file and its companion folder removed; also what happens to an
//                output that goes without any of the others
//   Abandon      closed as it is after a failure, the partial file left for the user to look at
//                (the next run to the same target removes it)
//
// Flushing comes in groups: after each message, MessageWritten flushes to storage when
// kFlushInterval of work has passed since the last flush (every time with FlushEachMessage), so
// a crash loses at most that much of a partial file, which takes the target's place only once it
// is complete. A target that cannot be gone back in (a pipe) gets the whole file at Close, put
// together beside it, so that a head patched last (a count, a digest) is right when it arrives.
// A target registered with WrapOutput has its bytes go through a wrapping sink first (an
// encryption): only what the wrapper makes reaches the disk, a chunk at a time.
// File errors throw CFileException naming the file written (output().writePath).
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "platform/file/output_file.h"

namespace larkpost {

// Makes the sink that a run's bytes go through before they reach the file: it writes into
// `inner`, closes it at its own Close, and patches it only within the head it was given.
using OutputWrapper = std::function<std::unique_ptr<ByteSink>(ByteSink& inner)>;

// From now on, what is written to `target` (as named to OutputSink) goes through a sink `wrap`
// makes; null: written as it is again.
void WrapOutput(const std::u16string& target, OutputWrapper wrap);
// What WrapOutput registered for `target`; null when nothing (a file written as it is), so that
// a file written beside the target can be wrapped the same way.
OutputWrapper OutputWrapperOf(const std::u16string& target);

class OutputSink final : public ByteSink {
 public:
  static constexpr std::chrono::milliseconds kFlushInterval{200};

  // Opens the output for `target` (OpenOutputFile, which says what it refuses and throws).
  OutputSink(const std::u16string& target, const std::vector<std::string>& protectedFiles);
  ~OutputSink() override;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  void Write(const void* data, size_t size) override { Top().Write(data, size); }
  uint64_t Position() const override { return Top().Position(); }
  void Patch(uint64_t offset, const void* data, size_t size) override {
    Top().Patch(offset, data, size);
  }
  // Writes out what is buffered (no sync); a pipe's target gets the whole file now. Once: a
  // second call does nothing.
  void Close() override;
  std::u16string Name() const override { return output_.writePath; }

  void FlushEachMessage(bool each) { eachMessage_ = each; }
  // After a whole message: flushes to storage when it is time.
  void MessageWritten() override;

  OutputFile& output() { return output_; }
  const OutputFile& output() const { return output_; }

  void Commit();
  void KeepPartial();
  void Discard();
  void Abandon();

  // The error as the user should read it: the target named, not the partial file.
  CFileException Shown(const CFileException& error) const;

 private:
  // The bytes as they reach the file, or the whole file beside a target that cannot be gone
  // back in.
  class FileLayer final : public ByteSink {
   public:
    explicit FileLayer(OutputSink& sink) : sink_(sink) {}
    ~FileLayer() override;
    void Write(const void* data, size_t size) override;
    uint64_t Position() const override { return position_; }
    void Patch(uint64_t offset, const void* data, size_t size) override;
    void Close() override;
    std::u16string Name() const override { return sink_.output_.writePath; }
    FILE* staged = nullptr;  // the whole file, for a target that cannot be gone back in

   private:
    OutputSink& sink_;
    uint64_t position_ = 0;
  };

  ByteSink& Top() { return wrapper_ ? *wrapper_ : static_cast<ByteSink&>(file_layer_); }
  const ByteSink& Top() const {
    return wrapper_ ? *wrapper_ : static_cast<const ByteSink&>(file_layer_);
  }
  void FlushToStorage();

  CFile file_;
  OutputFile output_;
  FileLayer file_layer_{*this};
  std::unique_ptr<ByteSink> wrapper_;
  bool eachMessage_ = false;
  bool closed_ = false;
  bool ended_ = false;
  std::chrono::steady_clock::time_point lastFlush_;
};

}  // namespace larkpost

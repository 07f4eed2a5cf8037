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
// File errors throw CFileException naming the file written (output().writePath).
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "platform/file/output_file.h"

namespace larkpost {

class OutputSink final : public ByteSink {
 public:
  static constexpr std::chrono::milliseconds kFlushInterval{200};

  // Opens the output for `target` (OpenOutputFile, which says what it refuses and throws).
  OutputSink(const std::u16string& target, const std::vector<std::string>& protectedFiles);
  ~OutputSink() override;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  void Write(const void* data, size_t size) override;
  uint64_t Position() const override { return position_; }
  void Patch(uint64_t offset, const void* data, size_t size) override;
  // Writes out what is buffered (no sync); a pipe's target gets the whole file now.
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
  void FlushToStorage();

  CFile file_;
  OutputFile output_;
  FILE* staged_ = nullptr;  // the whole file, for a target that cannot be gone back in
  uint64_t position_ = 0;
  bool eachMessage_ = false;
  bool ended_ = false;
  std::chrono::steady_clock::time_point lastFlush_;
};

}  // namespace larkpost

// Inputs whose bytes are not the file's own: an encrypted input is read through a view that
// decrypts what is asked for, by position, so that its plaintext is never stored anywhere whole
// (neither on the disk nor in memory) and a file of any size costs a chunk or two of memory.
//
// The program registers a view for an input's path before a run starts (SubstituteInput); from
// then on every CFile opened for reading that path reads the view, and messages still name the
// path the user gave. Readers that go below CFile (positional reads, libzip) read through
// CFile::ReadAt, never through the descriptor, which is the encrypted file's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace larkpost {

// One reader's way into a view: its own descriptor position and cache, for one thread.
class InputReader {
 public:
  virtual ~InputReader() = default;
  // Up to `size` bytes from `offset` into `into`; fewer only at the end (0 at or past it).
  // Throws CFileException naming the input (a chunk that no longer authenticates among them).
  virtual size_t ReadAt(uint64_t offset, void* into, size_t size) = 0;
};

// A plaintext read by position out of another file. Shared by every reader of the input, and
// immutable, so that readers on several threads need no lock.
class InputView {
 public:
  virtual ~InputView() = default;
  virtual uint64_t Size() const = 0;
  virtual std::unique_ptr<InputReader> NewReader() const = 0;
  // The file that holds the view's bytes, for its identity and times (fstat); never read from
  // it directly. The view keeps it open.
  virtual int Descriptor() const = 0;
};

// Reads of `path` read `view` from now on (a view registered before for it is dropped).
void SubstituteInput(const std::u16string& path, std::shared_ptr<const InputView> view);
// The view registered for `path`, or null: the file is read as it is.
std::shared_ptr<const InputView> SubstituteOf(const std::u16string& path);
// Forgets every substitute (a reader still open keeps its view alive).
void ClearSubstitutes();

}  // namespace larkpost

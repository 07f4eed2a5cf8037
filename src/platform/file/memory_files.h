// Scratch files of a run that handles encrypted files, where no plaintext may reach the disk:
//
//   sealed scratch  an unnamed file on the disk that holds its bytes in chunks of 64 KiB, each
//                   sealed alone (a ScratchSealer the program installs: a key only this process
//                   has, a fresh nonce every time a chunk is written); memory holds one chunk.
//                   For spools (staged ZIP entries, parts, a page's conversations, what a merge
//                   parks): OpenScratchBeside, read back with ReadScratchAt.
//   memory files    anonymous memory (memfd), growing the process by their size: what is
//                   staged for a pipe (OpenUnnamedFileBeside).
//
// And unnamed files on the disk for bytes that are encrypted already (input_view.h: how an
// encrypted input is read).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace larkpost {

// A new, empty memory file open for reading and writing; `name` shows in /proc. Throws
// CFileException naming `forPath` when the system refuses.
int CreateMemoryFile(const char* name, const std::u16string& forPath);
// Forbids any further change of its content and size (it is complete and checked).
void SealMemoryFile(int fd);

// A new, empty file without a name in the temporary folder ($TMPDIR, else /tmp), mode 0600,
// gone when closed, open for reading and writing: for bytes that are encrypted already. Throws
// CFileException naming `forPath`.
int CreateUnnamedTempFile(const std::u16string& forPath);

// Whether scratch files (spools beside an output) go to memory rather than to the disk: set
// while a run reads or writes an encrypted file, so that no plaintext reaches the disk.
void SetScratchInMemory(bool inMemory);
bool ScratchInMemory();

// Seals the chunks of sealed scratch files. Thread-safe.
class ScratchSealer {
 public:
  static constexpr size_t kChunk = 64 * 1024;
  virtual ~ScratchSealer() = default;
  // What a sealed chunk has more than its kChunk bytes of plaintext.
  virtual size_t Overhead() const = 0;
  // Seals chunk `index` of a file: kChunk bytes of `plain` into kChunk + Overhead() of `sealed`.
  virtual void Seal(uint64_t index, const unsigned char* plain, unsigned char* sealed) const = 0;
  // False when `sealed` is not chunk `index` as Seal made it.
  virtual bool Open(uint64_t index, const unsigned char* sealed, unsigned char* plain) const = 0;
};

// While a sealer is set, OpenScratchBeside makes sealed scratch files; null: as before.
void SealScratch(std::shared_ptr<const ScratchSealer> sealer);

// A scratch file for a writer's spool: sealed while SealScratch is set, else what
// OpenUnnamedFileBeside makes. Read it back with ReadScratchAt (a sealed one has no descriptor),
// after fflush. Throws CFileException naming `path`.
FILE* OpenScratchBeside(const std::u16string& path);
// Up to `size` bytes from `offset` of a scratch file (or any FILE with a descriptor) as pread
// gives them: fewer only at its end, -1 with errno on failure (EIO: a sealed chunk was changed).
ssize_t ReadScratchAt(FILE* file, uint64_t offset, void* into, size_t size);

// A temporary file without a name in the folder of `path` (mode 0600, gone when closed), for a
// writer that puts the file together at the end; in memory instead while ScratchInMemory().
// Throws CFileException naming `path`.
FILE* OpenUnnamedFileBeside(const std::u16string& path);

}  // namespace larkpost

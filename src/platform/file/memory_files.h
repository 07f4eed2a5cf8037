// Files that live in anonymous memory (memfd) and never on a disk: the plaintext of an
// encrypted input, the staged bytes of an encrypted output and the scratch spools of a run
// that handles encrypted files. They grow the process's memory by their size.
//
// An encrypted input is decrypted whole into a memory file before it is read; its path is then
// registered as a substitute, and opening that path for reading (CFile, or anything that asks
// ReadablePath) reads the memory file, while messages still name the path the user gave.
#pragma once

#include <cstdio>
#include <string>

namespace larkpost {

// A new, empty memory file open for reading and writing; `name` shows in /proc. Throws
// CFileException naming `forPath` when the system refuses.
int CreateMemoryFile(const char* name, const std::u16string& forPath);
// Forbids any further change of its content and size (it is complete and checked).
void SealMemoryFile(int fd);

// Reads of `path` read the memory file `fd` from now on; the registry keeps (and later closes)
// the descriptor. For the program's inputs, registered before a run starts.
void SubstituteInput(const std::u16string& path, int fd);
// What to open to read `path`: "/proc/self/fd/N" of its substitute, else `path` itself.
std::u16string ReadablePath(const std::u16string& path);
// Forgets every substitute and closes their descriptors.
void ClearSubstitutes();

// Whether scratch files (spools beside an output) go to memory rather than to the disk: set
// while a run reads or writes an encrypted file, so that no plaintext reaches the disk.
void SetScratchInMemory(bool inMemory);
bool ScratchInMemory();

// A temporary file without a name in the folder of `path` (mode 0600, gone when closed), for a
// writer that puts the file together at the end; in memory instead while ScratchInMemory().
// Throws CFileException naming `path`.
FILE* OpenUnnamedFileBeside(const std::u16string& path);

}  // namespace larkpost

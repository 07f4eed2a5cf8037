// Files that live in anonymous memory (memfd) and never on a disk: the staged bytes of an
// encrypted output and the scratch spools of a run that handles encrypted files. They grow the
// process's memory by their size. And unnamed files on the disk for what may lie there because
// it is encrypted (input_view.h: how an encrypted input is read).
#pragma once

#include <cstdio>
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

// A temporary file without a name in the folder of `path` (mode 0600, gone when closed), for a
// writer that puts the file together at the end; in memory instead while ScratchInMemory().
// Throws CFileException naming `path`.
FILE* OpenUnnamedFileBeside(const std::u16string& path);

}  // namespace larkpost

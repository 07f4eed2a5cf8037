// File services of the platform: an MFC-like CFile over POSIX descriptors and CFileException
// with the framework's standard texts.
//
// Paths are wide text, converted to UTF-8 for the system. Files created with modeCreate get mode
// 0600 (backups hold private messages). A CFile keeps a 64 KiB buffer: reads are served from it
// (the record reader reads lines one byte at a time), and writes collect in it until Flush,
// FlushFileBuffers, Seek, Close or a full buffer. Position and length always count buffered
// bytes exactly. A CFile belongs to one thread at a time. A path opened for reading that has a
// substitute (input_view.h: an encrypted input) reads its view; its descriptor is then the
// encrypted file's, to be asked for its identity only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace larkpost {
class InputReader;
}

class CFileException : public std::exception {
 public:
  enum Cause {
    none,
    genericException,
    fileNotFound,
    badPath,
    tooManyOpenFiles,
    accessDenied,
    invalidFile,
    removeCurrentDir,
    directoryFull,
    badSeek,
    hardIO,
    sharingViolation,
    lockViolation,
    diskFull,
    endOfFile
  };

  CFileException() : CFileException(none, 0, std::u16string()) {}
  CFileException(int cause, int osError, std::u16string fileName);

  int m_cause;
  int m_lOsError;
  std::u16string m_strFileName;

  // The framework's standard text for the cause with %1 = file name, truncated to maxChars-1
  // characters and zero-terminated; returns true (false only for a null buffer or maxChars 0).
  bool GetErrorMessage(char16_t* buffer, unsigned maxChars) const;
  std::u16string ErrorMessage() const;  // the same text, whole
  static int CauseFromErrno(int err);
  const char* what() const noexcept override;  // UTF-8 of ErrorMessage()

 private:
  std::string what_;
};

class CFile {
 public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareDenyNone = 0x0040,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    modeSequential = 0x4000  // Attach: written at the descriptor's own offset, never sought
  };
  enum SeekPosition { begin = 0, current = 1, end = 2 };

  CFile();
  CFile(const std::u16string& path, unsigned flags);  // throws CFileException
  ~CFile();                                            // closes without throwing
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // False (filling *error when given) when the file cannot be opened; a file already open is
  // closed first.
  bool Open(const std::u16string& path, unsigned flags, CFileException* error = nullptr);
  // Takes over an open descriptor (positioned at its start), for a file the caller created
  // itself and must not reopen by name; `path` names it in error texts. With modeSequential,
  // one another program shares (a shell's redirection), written where its offset stands, as
  // write(2) does. A file already open is closed first. The descriptor is closed with the CFile.
  void Attach(int fd, const std::u16string& path, unsigned flags);
  // Bytes read; 0 at the end; throws on error. The record reader asks for one byte at a time:
  // what the buffer holds is served in line.
  unsigned Read(void* buffer, unsigned count) {
    if (count > readEnd_ - readPos_) return ReadBeyondBuffer(buffer, count);
    std::memcpy(buffer, buffer_.data() + readPos_, count);
    readPos_ += count;
    return count;
  }
  // Up to `count` bytes from `offset`, fewer only at the end, without moving the position: for
  // readers that go back and forth (what the buffer holds is not used). Throws on error.
  size_t ReadAt(uint64_t offset, void* buffer, size_t count);
  void Write(const void* buffer, unsigned count);  // throws (diskFull etc.)
  uint64_t Seek(int64_t offset, unsigned from);    // the new position; throws badSeek
  uint64_t SeekToBegin();
  uint64_t GetPosition() const;
  uint64_t GetLength() const;
  void Flush();   // writes out buffered bytes (no sync); throws on failure
  void Close();   // throws if writing out buffered bytes fails; the descriptor is closed anyway
  void Abort();   // closes without throwing, dropping unwritten bytes
  int GetHandle() const;  // the POSIX descriptor, -1 when closed
  std::u16string GetFilePath() const;

 private:
  friend bool FlushFileBuffers(CFile& file);
  unsigned ReadBeyondBuffer(void* buffer, unsigned count);
  ssize_t ReadRaw(void* data, size_t length, uint64_t offset);  // the file's, or its view's
  bool WriteOutBuffer(int* osError);
  void DropReadBuffer();
  void CloseQuietly();
  [[noreturn]] void Throw(int cause, int osError) const;
  [[noreturn]] void ThrowErrno(int osError) const;

  int fd_ = -1;
  std::unique_ptr<larkpost::InputReader> view_;  // reads of a substituted input
  uint64_t viewSize_ = 0;
  bool writable_ = false;
  bool seekable_ = true;  // false for pipes and terminals: plain read/write, no offsets
  std::u16string path_;
  std::vector<unsigned char> buffer_;
  // Read mode: buffer_[readPos_, readEnd_) holds file bytes that follow the position;
  // filePos_ is the descriptor's offset (the end of the buffered range).
  // Write mode: buffer_[0, writeLen_) waits to be written at filePos_.
  size_t readPos_ = 0;
  size_t readEnd_ = 0;
  size_t writeLen_ = 0;
  uint64_t filePos_ = 0;
};

// Writes out the file's buffered bytes, then fdatasync. False on failure (the caller raises).
bool FlushFileBuffers(CFile& file);

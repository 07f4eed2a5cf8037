// Where an encrypted file's bytes come from when it is read: a descriptor, a piece of memory, or
// the armor's decoder around either. Reads in pieces of the caller's size, so a file of any size
// passes through a buffer of one payload chunk.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace larkpost::age {

class AgeInput {
 public:
  virtual ~AgeInput() = default;
  // Up to `size` bytes into `into`; 0 only at the end. Throws AgeError or CFileException.
  virtual size_t Read(char* into, size_t size) = 0;

  // Fills `into` as far as the input goes: fewer than `size` bytes only at its end.
  size_t ReadFull(char* into, size_t size);
  // The next line without its "\n", at most `limit` bytes; false at the end of the input (a last
  // line without "\n" is returned with `complete` false).
  bool ReadLine(std::string& line, size_t limit, bool& complete);
};

// Reads an open descriptor from where it stands; neither closes nor seeks it. Errors throw
// CFileException naming `name`.
class FdInput final : public AgeInput {
 public:
  FdInput(int fd, std::u16string name) : fd_(fd), name_(std::move(name)) {}
  size_t Read(char* into, size_t size) override;

 private:
  int fd_;
  std::u16string name_;
};

class MemoryInput final : public AgeInput {
 public:
  explicit MemoryInput(std::string_view bytes) : rest_(bytes) {}
  size_t Read(char* into, size_t size) override;

 private:
  std::string_view rest_;
};

// Puts bytes read too far back in front of an input: the sniffing of the first bytes, then the
// decoder reading on from the start.
class PrefixedInput final : public AgeInput {
 public:
  PrefixedInput(std::string prefix, AgeInput& rest) : prefix_(std::move(prefix)), rest_(rest) {}
  size_t Read(char* into, size_t size) override;

 private:
  std::string prefix_;
  size_t used_ = 0;
  AgeInput& rest_;
};

}  // namespace larkpost::age

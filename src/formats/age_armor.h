// The age armor: the encrypted file as PEM-like text, for mail and text fields.
//
//   -----BEGIN AGE ENCRYPTED FILE-----
//   <standard base64 with "=" padding, 64 columns a line; the last line 1 to 64 columns>
//   -----END AGE ENCRYPTED FILE-----
//
// Read strictly, as age itself reads it: blanks only before the first and after the last line,
// "\n" or "\r\n" line ends, no headers, no blank or short line inside, canonical base64.
#pragma once

#include <memory>
#include <string>

#include "formats/age_input.h"
#include "platform/file/byte_sink.h"

namespace larkpost::age {

constexpr char kArmorBegin[] = "-----BEGIN AGE ENCRYPTED FILE-----";
constexpr char kArmorEnd[] = "-----END AGE ENCRYPTED FILE-----";

// Writes the armor of what is written to it into `inner`: the opening line at once, lines as
// they fill, the closing line at Close (which closes `inner`). It can patch the first
// `patchable` bytes written to it, which it keeps a copy of.
class ArmorSink final : public ByteSink {
 public:
  ArmorSink(ByteSink& inner, uint64_t patchable);
  void Write(const void* data, size_t size) override;
  uint64_t Position() const override { return position_; }
  void Patch(uint64_t offset, const void* data, size_t size) override;
  void Close() override;
  std::u16string Name() const override { return inner_.Name(); }

 private:
  void WriteLine(const std::string& bytes);

  ByteSink& inner_;
  uint64_t position_ = 0;
  std::string line_;  // bytes of the line being filled (fewer than 48)
  std::string head_;  // a copy of the first bytes, whole lines, for Patch
  uint64_t patchable_;
  uint64_t beginSize_;
};

// Reads the bytes an armor holds; throws AgeError kArmor when the armor is malformed.
class ArmoredInput final : public AgeInput {
 public:
  explicit ArmoredInput(AgeInput& raw) : raw_(raw) {}
  size_t Read(char* into, size_t size) override;

 private:
  bool RawLine(std::string& line);
  void Refill();
  void DecodeNextLine();

  AgeInput& raw_;
  std::string buffer_;  // raw bytes read ahead
  size_t at_ = 0;
  bool rawEnd_ = false;
  bool begun_ = false;
  bool ended_ = false;    // the closing line was read
  bool lastLine_ = false; // a short or padded line was read: only the closing line may follow
  std::string decoded_;
  size_t decodedAt_ = 0;
};

// True when `firstBytes` (the start of a file) open an armor, after any blanks.
bool StartsArmored(std::string_view firstBytes);

}  // namespace larkpost::age

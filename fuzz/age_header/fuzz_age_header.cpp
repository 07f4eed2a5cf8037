// The age reader on any bytes: the header parser alone, then the whole file (armored or not)
// opened with a fixed identity and read to its end or its error. A low work-factor cap keeps a
// passphrase stanza from costing seconds per input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/age_header.h"
#include "formats/age_keys.h"
#include "formats/age_primitives.h"
#include "formats/age_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkpost::age;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    MemoryInput input(bytes);
    ReadHeader(input);
  } catch (const AgeError&) {
  }
  static const Keys keys{
      {ParseIdentity("AGE-SECRET-KEY-1GFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPYYSJZGFPQ4EGAEX")},
      [] { return std::string("password"); },
      4};
  try {
    MemoryInput input(bytes);
    Decryptor decryptor(input, keys);
    std::string_view piece;
    while (decryptor.Next(piece)) {
    }
  } catch (const AgeError&) {
  }
  return 0;
}

// The attributedBody decoder of iPhone messages on any bytes: an answer for every blob, never a
// read outside it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/ios_typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text;
  const larkpost::BodyDecode result =
      larkpost::AttributedBodyText(std::string_view(reinterpret_cast<const char*>(data), size), text);
  if (result == larkpost::BodyDecode::kNotAText && !text.empty()) __builtin_trap();
  if (text.size() > size) __builtin_trap();
  return 0;
}

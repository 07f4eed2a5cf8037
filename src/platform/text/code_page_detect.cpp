#include "platform/text/code_page_detect.h"

#include <unicode/ucsdet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "platform/text/text.h"

namespace larkpost {

namespace {

// The well-formed multi-byte UTF-8 characters of `bytes`, and the bytes that are part of none.
struct Utf8Tally {
  size_t multiByte = 0;
  size_t invalid = 0;
};

Utf8Tally TallyUtf8(std::string_view bytes) {
  Utf8Tally tally;
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                          : (lead >> 3) == 0x1E ? 4 : 0;
    bool valid = length != 0 && !(length == 2 && lead < 0xC2) && i + length <= bytes.size();
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (valid && ((length == 3 && code < 0x800) ||
                  (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
                  (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      ++tally.invalid;
      ++i;  // the next byte may begin a character again
      continue;
    }
    if (length > 1) ++tally.multiByte;
    i += length;
  }
  return tally;
}

// A few damaged bytes among this many UTF-8 characters and more, fifty times as many, leave a
// UTF-8 text: text in another code page forms a UTF-8 character only here and there.
constexpr size_t kMostlyUtf8Characters = 50;
constexpr size_t kUtf8CharactersPerDamage = 50;

// The length of `bytes` without a UTF-8 character cut off at its end: a sample taken from a
// longer text may end inside one, which says nothing against UTF-8.
size_t WithoutCutCharacter(std::string_view bytes) {
  const size_t size = bytes.size();
  for (size_t back = 1; back <= std::min<size_t>(3, size); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: the lead is further back
    const size_t length = (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 1;
    return length > back ? size - back : size;
  }
  return size;
}

constexpr size_t kDetectorSample = size_t{256} << 10;

struct CharsetName {
  const char* name;
  unsigned codePage;
};

// ICU's detector names; the ISO and national names map onto the Windows code page that holds
// them (a superset, or the page handhelds of that language used).
constexpr CharsetName kCharsets[] = {
    {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252},
    {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255},
    {"windows-1256", 1256}, {"ISO-8859-1", 1252},   {"ISO-8859-2", 1250},
    {"ISO-8859-5", 1251},   {"KOI8-R", 1251},       {"ISO-8859-6", 1256},
    {"ISO-8859-7", 1253},   {"ISO-8859-8", 1255},   {"ISO-8859-8-I", 1255},
    {"ISO-8859-9", 1254},   {"GB18030", 936},       {"Shift_JIS", 932},
    {"EUC-JP", 932},        {"EUC-KR", 949},        {"Big5", 950},
};

struct DetectorCloser {
  void operator()(UCharsetDetector* detector) const { ucsdet_close(detector); }
};

}  // namespace

DetectedCodePage DetectCodePage(std::string_view texts) {
  DetectedCodePage result;
  for (char c : texts) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      result.ascii = false;
      break;
    }
  }
  const Utf8Tally tally = TallyUtf8(texts.substr(0, WithoutCutCharacter(texts)));
  if (tally.invalid == 0) {
    result.codePage = CP_UTF8;
    result.confidence = result.ascii ? 0 : 100;
    return result;
  }
  // A UTF-8 file with a damaged byte or two reads best as UTF-8 all the same (each damaged byte
  // one U+FFFD), where any other code page would garble every character.
  if (tally.multiByte >= kMostlyUtf8Characters &&
      tally.invalid * kUtf8CharactersPerDamage <= tally.multiByte) {
    result.codePage = CP_UTF8;
    result.confidence = 90;
    return result;
  }
  // The detector learns from the texts beyond ASCII, and a few hundred kilobytes of them decide
  // as well as megabytes: the lines that hold such a byte, whole, up to kDetectorSample.
  std::string sample;
  for (size_t at = 0; at < texts.size() && sample.size() < kDetectorSample;) {
    size_t end = texts.find('\n', at);
    end = end == std::string_view::npos ? texts.size() : end + 1;
    const std::string_view line = texts.substr(at, end - at);
    if (std::any_of(line.begin(), line.end(),
                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      sample.append(line);
    }
    at = end;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCharsetDetector, DetectorCloser> detector(ucsdet_open(&status));
  if (U_FAILURE(status)) return result;
  const int32_t length = static_cast<int32_t>(std::min<size_t>(sample.size(), kDetectorSample * 2));
  ucsdet_setText(detector.get(), sample.data(), length, &status);
  int32_t found = 0;
  const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &found, &status);
  if (U_FAILURE(status)) return result;
  for (int32_t i = 0; i < found; ++i) {
    UErrorCode nameStatus = U_ZERO_ERROR;
    const char* name = ucsdet_getName(matches[i], &nameStatus);
    if (U_FAILURE(nameStatus) || name == nullptr) continue;
    for (const CharsetName& charset : kCharsets) {
      if (std::strcmp(charset.name, name) != 0) continue;
      // Only a code page this layer can convert is an answer.
      if (!IsKnownCodePage(charset.codePage)) break;
      UErrorCode confidenceStatus = U_ZERO_ERROR;
      result.codePage = charset.codePage;
      result.confidence = ucsdet_getConfidence(matches[i], &confidenceStatus);
      return result;
    }
  }
  return result;
}

}  // namespace larkpost

#include "platform/text/text.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// How conversion works:
// - Single-byte code pages (1252 and its kin) convert through two tables built once from
//   ICU's converter: byte -> UTF-16 and UTF-16 -> byte (round-trip mappings only). This is
//   the path a restore takes for every line, so it avoids ICU calls per string.
// - Multi-byte code pages (936, 932, 949, 950) go through an ICU converter kept per thread,
//   with callbacks that write the code page's default character ("?") instead of ICU's
//   substitution bytes and record that they did.
// - CP_UTF8 uses ICU's UTF-8 functions with U+FFFD for lone surrogates and malformed bytes.
// Narrow bytes that a code page does not define become U+FFFD, except where ICU's table (like
// Windows' own) maps them; Windows-1252's five undefined bytes 0x81 0x8D 0x8F 0x90 0x9D map to
// the C1 controls U+0081 ... U+009D and back, so every byte survives a round trip.

namespace {

constexpr char16_t kReplacementCharacter = 0xFFFD;
constexpr unsigned CP_THREAD_ACP = 3;

std::atomic<unsigned> g_ansiCodePage{1252};

bool IsUtf8(unsigned codePage) { return codePage == CP_UTF8; }

UConverter* OpenConverter(unsigned codePage) {
  char name[32];
  const char* patterns[] = {"windows-%u", "cp%u"};
  for (const char* pattern : patterns) {
    std::snprintf(name, sizeof name, pattern, codePage);
    UErrorCode error = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name, &error);
    if (U_SUCCESS(error) && converter != nullptr) return converter;
  }
  return nullptr;
}

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// Conversion tables of a single-byte code page. toWide is total (undefined bytes give U+FFFD);
// fromWide holds byte+1 for characters with a round-trip mapping, 0 for the rest.
struct SingleByteTable {
  char16_t toWide[256];
  uint16_t fromWide[65536];
  bool asciiSame = false;  // ASCII maps to itself both ways, as in nearly every code page
  bool latin1Same = false;  // and so do U+00A0 ... U+00FF (Windows-1252, ISO 8859-1)
};

// Context of the callbacks below: the bytes that stand for an unmappable character, and
// whether any were written.
struct FromUnicodeContext {
  const char* defaultBytes;
  int32_t defaultLength;
  bool used;
};

void FromUnicodeDefaultChar(const void* context, UConverterFromUnicodeArgs* args, const UChar*,
                            int32_t, UChar32, UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;
  auto* state = static_cast<FromUnicodeContext*>(const_cast<void*>(context));
  *error = U_ZERO_ERROR;
  state->used = true;
  ucnv_cbFromUWriteBytes(args, state->defaultBytes, state->defaultLength, 0, error);
}

void ToUnicodeReplacement(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                          UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;
  *error = U_ZERO_ERROR;
  const UChar replacement = kReplacementCharacter;
  ucnv_cbToUWriteUChars(args, &replacement, 1, 0, error);
}

std::unique_ptr<SingleByteTable> BuildSingleByteTable(UConverter* converter) {
  auto table = std::make_unique<SingleByteTable>();
  std::memset(table->fromWide, 0, sizeof table->fromWide);
  UErrorCode error = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter, ToUnicodeReplacement, nullptr, nullptr, nullptr, &error);
  FromUnicodeContext context{"\x01", 1, false};
  ucnv_setFromUCallBack(converter, FromUnicodeDefaultChar, &context, nullptr, nullptr, &error);
  if (U_FAILURE(error)) return nullptr;
  for (int byte = 0; byte < 256; ++byte) {
    char in = static_cast<char>(byte);
    UChar wide[4];
    error = U_ZERO_ERROR;
    ucnv_resetToUnicode(converter);
    int32_t count = ucnv_toUChars(converter, wide, 4, &in, 1, &error);
    table->toWide[byte] = (U_SUCCESS(error) && count == 1) ? wide[0] : kReplacementCharacter;
  }
  for (int byte = 0; byte < 256; ++byte) {
    char16_t wide = table->toWide[byte];
    if (wide == kReplacementCharacter) continue;
    // Only mappings that come back to the same byte count: ICU's one-way fallbacks would
    // otherwise turn characters the code page lacks into look-alikes.
    char narrow[4];
    context.used = false;
    error = U_ZERO_ERROR;
    ucnv_resetFromUnicode(converter);
    int32_t count = ucnv_fromUChars(converter, narrow, 4, &wide, 1, &error);
    if (U_SUCCESS(error) && !context.used && count == 1 && static_cast<unsigned char>(narrow[0]) == byte)
      table->fromWide[wide] = static_cast<uint16_t>(byte + 1);
  }
  auto same = [&](int from, int to) {
    for (int c = from; c < to; ++c) {
      if (table->toWide[c] != c || table->fromWide[c] != c + 1) return false;
    }
    return true;
  };
  table->asciiSame = same(0, 0x80);
  table->latin1Same = table->asciiSame && same(0xA0, 0x100);
  return table;
}

// What the process knows about one code page; built on first use, never changed afterwards.
struct CodePageInfo {
  bool valid = false;
  std::unique_ptr<SingleByteTable> singleByte;  // null for multi-byte code pages
};

const CodePageInfo& LookUpCodePage(unsigned codePage) {
  static std::mutex mutex;
  static std::map<unsigned, std::unique_ptr<CodePageInfo>> known;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = known[codePage];
  if (!slot) {
    slot = std::make_unique<CodePageInfo>();
    if (IsUtf8(codePage)) {
      slot->valid = true;
    } else if (ConverterPtr converter{OpenConverter(codePage)}) {
      slot->valid = true;
      if (ucnv_getMaxCharSize(converter.get()) == 1) slot->singleByte = BuildSingleByteTable(converter.get());
    }
  }
  return *slot;
}

// The last code page this thread used, so the common case takes no lock.
const CodePageInfo* CodePageForThread(unsigned codePage) {
  thread_local unsigned cachedCodePage = ~0u;
  thread_local const CodePageInfo* cachedInfo = nullptr;
  if (codePage != cachedCodePage) {
    cachedInfo = &LookUpCodePage(codePage);
    cachedCodePage = codePage;
  }
  return cachedInfo->valid ? cachedInfo : nullptr;
}

// One ICU converter per thread for the multi-byte code pages: converters are not thread-safe.
UConverter* ConverterForThread(unsigned codePage) {
  thread_local unsigned cachedCodePage = ~0u;
  thread_local ConverterPtr cached;
  if (codePage != cachedCodePage || !cached) {
    cached.reset(OpenConverter(codePage));
    cachedCodePage = codePage;
    if (!cached) return nullptr;
    UErrorCode error = U_ZERO_ERROR;
    ucnv_setToUCallBack(cached.get(), ToUnicodeReplacement, nullptr, nullptr, nullptr, &error);
  }
  ucnv_reset(cached.get());
  return cached.get();
}

unsigned ResolveCodePage(unsigned codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return g_ansiCodePage.load(std::memory_order_relaxed);
  return codePage;
}

// NFC composition for WC_COMPOSITECHECK. Text below U+0300 is already composed and cannot
// combine with anything, which spares ICU for nearly every message.
bool Compose(std::u16string_view wide, std::u16string& composed) {
  if (larkpost::LargestUnit(wide) < 0x300) return false;
  UErrorCode error = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&error);
  if (U_FAILURE(error)) return false;
  const UChar* source = reinterpret_cast<const UChar*>(wide.data());
  int32_t length = static_cast<int32_t>(wide.size());
  if (unorm2_spanQuickCheckYes(nfc, source, length, &error) == length && U_SUCCESS(error)) return false;
  error = U_ZERO_ERROR;
  composed.resize(wide.size() + 16);
  int32_t needed16 = unorm2_normalize(nfc, source, length, reinterpret_cast<UChar*>(composed.data()),
                                      static_cast<int32_t>(composed.size()), &error);
  if (error == U_BUFFER_OVERFLOW_ERROR) {
    error = U_ZERO_ERROR;
    composed.resize(needed16);
    needed16 = unorm2_normalize(nfc, source, length, reinterpret_cast<UChar*>(composed.data()), needed16, &error);
  }
  if (U_FAILURE(error)) return false;
  composed.resize(needed16);
  return true;
}

// Copies the units `wide` starts with that the code page keeps as they are, one byte each:
// ASCII, and with `latin1` also U+00A0 ... U+00FF. Returns how many. Eight units a step where
// the processor has SSE2.
size_t CopyUnchangedRun(std::u16string_view wide, bool latin1, char* out) {
  auto unchanged = [latin1](char16_t c) { return c < 0x80 || (latin1 && c >= 0xA0 && c < 0x100); };
  size_t i = 0;
#ifdef __SSE2__
  // A unit is kept when its bits above the lowest 7 are 0, or with `latin1`, when those above
  // the lowest 8 are and it is not one of U+0080 ... U+009F.
  const __m128i beyond = _mm_set1_epi16(static_cast<short>(latin1 ? 0xFF00 : 0xFF80));
  const __m128i c1Bits = _mm_set1_epi16(static_cast<short>(0xFFE0));
  const __m128i c1 = _mm_set1_epi16(latin1 ? 0x0080 : -1);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= wide.size(); i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wide.data() + i));
    const __m128i fits = _mm_cmpeq_epi16(_mm_and_si128(units, beyond), zero);
    const __m128i control = _mm_cmpeq_epi16(_mm_and_si128(units, c1Bits), c1);
    if (_mm_movemask_epi8(_mm_andnot_si128(control, fits)) != 0xFFFF) break;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(units, units));
  }
#endif
  for (; i < wide.size() && unchanged(wide[i]); ++i) out[i] = static_cast<char>(wide[i]);
  return i;
}

// The conversions proper: append to out, false only when the code page is unknown.
bool WideToNarrow(unsigned codePage, std::u16string_view wide, const char* defaultChar, bool* usedDefault,
                  std::string& out) {
  const CodePageInfo* info = CodePageForThread(codePage);
  if (info == nullptr) return false;
  if (IsUtf8(codePage)) {
    if (wide.empty()) return true;
    const size_t start = out.size();
    out.resize(start + wide.size() * 3);
    UErrorCode error = U_ZERO_ERROR;
    int32_t length = 0;
    int32_t substitutions = 0;
    u_strToUTF8WithSub(out.data() + start, static_cast<int32_t>(wide.size() * 3), &length,
                       reinterpret_cast<const UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
                       kReplacementCharacter, &substitutions, &error);
    if (U_FAILURE(error)) length = 0;
    out.resize(start + length);
    if (substitutions > 0 && usedDefault != nullptr) *usedDefault = true;
    return U_SUCCESS(error);
  }
  const char substitute = (defaultChar != nullptr && *defaultChar != '\0') ? *defaultChar : '?';
  if (const SingleByteTable* table = info->singleByte.get()) {
    const size_t start = out.size();
    out.resize(start + wide.size());
    char* p = out.data() + start;
    for (size_t i = 0; i < wide.size(); ++i) {
      // Runs of ASCII (and Latin-1 where the code page keeps it), most of any text, are copied
      // without the table.
      if (table->asciiSame) {
        const size_t unchanged = CopyUnchangedRun(wide.substr(i), table->latin1Same, p);
        p += unchanged;
        i += unchanged;
        if (i == wide.size()) break;
      }
      char16_t c = wide[i];
      uint16_t mapped = table->fromWide[c];
      if (mapped != 0) {
        *p++ = static_cast<char>(mapped - 1);
        continue;
      }
      // A surrogate pair is one character and becomes one default character.
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) ++i;
      *p++ = substitute;
      if (usedDefault != nullptr) *usedDefault = true;
    }
    out.resize(p - out.data());
    return true;
  }
  UConverter* converter = ConverterForThread(codePage);
  if (converter == nullptr) return false;
  char defaultBytes[3] = {substitute, 0, 0};
  int32_t defaultLength = 1;
  if (defaultChar != nullptr && defaultChar[0] != '\0' && defaultChar[1] != '\0') {
    defaultBytes[1] = defaultChar[1];  // a two-byte default character of a multi-byte code page
    defaultLength = 2;
  }
  FromUnicodeContext context{defaultBytes, defaultLength, false};
  UErrorCode error = U_ZERO_ERROR;
  ucnv_setFromUCallBack(converter, FromUnicodeDefaultChar, &context, nullptr, nullptr, &error);
  if (U_FAILURE(error)) return false;
  const UChar* source = reinterpret_cast<const UChar*>(wide.data());
  const UChar* sourceEnd = source + wide.size();
  char chunk[4096];
  do {
    char* target = chunk;
    error = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, chunk + sizeof chunk, &source, sourceEnd, nullptr, true, &error);
    out.append(chunk, target - chunk);
  } while (error == U_BUFFER_OVERFLOW_ERROR);
  // The converter keeps a pointer to context until the next call sets its own.
  if (context.used && usedDefault != nullptr) *usedDefault = true;
  return U_SUCCESS(error);
}

bool NarrowToWide(unsigned codePage, std::string_view narrow, std::u16string& out) {
  const CodePageInfo* info = CodePageForThread(codePage);
  if (info == nullptr) return false;
  if (IsUtf8(codePage)) {
    if (narrow.empty()) return true;
    const size_t start = out.size();
    out.resize(start + narrow.size());
    UErrorCode error = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data() + start), static_cast<int32_t>(narrow.size()), &length,
                         narrow.data(), static_cast<int32_t>(narrow.size()), kReplacementCharacter, nullptr, &error);
    if (U_FAILURE(error)) length = 0;
    out.resize(start + length);
    return U_SUCCESS(error);
  }
  if (const SingleByteTable* table = info->singleByte.get()) {
    const size_t start = out.size();
    out.resize(start + narrow.size());
    char16_t* p = out.data() + start;
    for (char c : narrow) *p++ = table->toWide[static_cast<unsigned char>(c)];
    return true;
  }
  UConverter* converter = ConverterForThread(codePage);
  if (converter == nullptr) return false;
  const char* source = narrow.data();
  const char* sourceEnd = source + narrow.size();
  UChar chunk[2048];
  UErrorCode error;
  do {
    UChar* target = chunk;
    error = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, chunk + 2048, &source, sourceEnd, nullptr, true, &error);
    out.append(reinterpret_cast<const char16_t*>(chunk), target - chunk);
  } while (error == U_BUFFER_OVERFLOW_ERROR);
  return U_SUCCESS(error);
}

size_t LengthOfTerminated(const char16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

bool SetAnsiCodePage(unsigned codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return false;
  if (!LookUpCodePage(codePage).valid) return false;
  g_ansiCodePage.store(codePage, std::memory_order_relaxed);
  return true;
}

bool IsKnownCodePage(unsigned codePage) {
  return codePage != CP_ACP && codePage != CP_THREAD_ACP && LookUpCodePage(codePage).valid;
}

unsigned GetACP() { return g_ansiCodePage.load(std::memory_order_relaxed); }

int WideCharToMultiByte(unsigned codePage, unsigned flags, const char16_t* wide, int wideLength, char* out,
                        int outSize, const char* defaultChar, int* usedDefaultChar) {
  if (wide == nullptr || wideLength == 0 || wideLength < -1 || outSize < 0 || (out == nullptr && outSize > 0))
    return 0;
  codePage = ResolveCodePage(codePage);
  // UTF-8 has no default character: asking for one is an invalid parameter, as on the platform.
  if (IsUtf8(codePage) && (defaultChar != nullptr || usedDefaultChar != nullptr)) return 0;
  std::u16string_view input(wide, wideLength == -1 ? LengthOfTerminated(wide) + 1 : static_cast<size_t>(wideLength));
  std::u16string composed;
  if ((flags & WC_COMPOSITECHECK) != 0 && Compose(input, composed)) input = composed;
  thread_local std::string converted;
  converted.clear();
  bool used = false;
  if (!WideToNarrow(codePage, input, defaultChar, &used, converted)) return 0;
  if (converted.size() > 0x7FFFFFFF) return 0;
  if (usedDefaultChar != nullptr) *usedDefaultChar = used ? 1 : 0;
  const int length = static_cast<int>(converted.size());
  if (outSize == 0) return length;
  if (length > outSize) return 0;
  std::memcpy(out, converted.data(), converted.size());
  return length;
}

int MultiByteToWideChar(unsigned codePage, unsigned, const char* narrow, int narrowLength, char16_t* out,
                        int outSize) {
  if (narrow == nullptr || narrowLength == 0 || narrowLength < -1 || outSize < 0 || (out == nullptr && outSize > 0))
    return 0;
  codePage = ResolveCodePage(codePage);
  std::string_view input(narrow, narrowLength == -1 ? std::strlen(narrow) + 1 : static_cast<size_t>(narrowLength));
  thread_local std::u16string converted;
  converted.clear();
  if (!NarrowToWide(codePage, input, converted)) return 0;
  if (converted.size() > 0x7FFFFFFF) return 0;
  const int length = static_cast<int>(converted.size());
  if (outSize == 0) return length;
  if (length > outSize) return 0;
  std::memcpy(out, converted.data(), converted.size() * sizeof(char16_t));
  return length;
}

namespace larkpost {

void NarrowLatin1(std::u16string_view wide, char* out) {
  size_t i = 0;
#ifdef __SSE2__
  for (; i + 8 <= wide.size(); i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wide.data() + i));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(units, units));
  }
#endif
  for (; i < wide.size(); ++i) out[i] = static_cast<char>(wide[i]);
}

void WidenLatin1(std::string_view bytes, char16_t* out) {
  size_t i = 0;
#ifdef __SSE2__
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(in, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(in, zero));
  }
#endif
  for (; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
}

void AppendAnsi(std::string& out, std::u16string_view wide, bool* replaced) {
  std::u16string composed;
  if (Compose(wide, composed)) wide = composed;
  bool used = false;
  WideToNarrow(GetACP(), wide, nullptr, &used, out);
  if (used && replaced != nullptr) *replaced = true;
}

bool NarrowAnsiUnchanged(std::u16string_view wide, char* out) {
  const CodePageInfo* info = CodePageForThread(GetACP());
  const SingleByteTable* table = info != nullptr ? info->singleByte.get() : nullptr;
  return table != nullptr && table->asciiSame &&
         CopyUnchangedRun(wide, table->latin1Same, out) == wide.size();
}

std::string WideToAnsi(std::u16string_view wide, bool* replaced) {
  std::string out;
  AppendAnsi(out, wide, replaced);
  return out;
}

std::u16string AnsiToWide(std::string_view narrow) {
  std::u16string out;
  NarrowToWide(GetACP(), narrow, out);
  return out;
}

std::string WideToUtf8(std::u16string_view wide) {
  std::string out;
  WideToNarrow(CP_UTF8, wide, nullptr, nullptr, out);
  return out;
}

std::u16string Utf8ToWide(std::string_view utf8) {
  std::u16string out;
  NarrowToWide(CP_UTF8, utf8, out);
  return out;
}

std::u16string PathToWide(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    // The length of a well-formed sequence from here, and its first byte's bounds after `lead`.
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong form
      if (lead == 0xED) high = 0x9F;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    }
    bool whole = length > 0 && i + length <= bytes.size();
    for (size_t k = 1; whole && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      whole = next >= (k == 1 ? low : 0x80) && next <= (k == 1 ? high : 0xBF);
    }
    if (!whole) {
      out += static_cast<char16_t>(0xDC00 + lead);
      ++i;
      continue;
    }
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) c = (c << 6) | (bytes[i + k] & 0x3F);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += length;
  }
  return out;
}

std::string WideToPath(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c - 0xDC00);  // a byte the name held as it was
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool IsWhiteSpace(char16_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  switch (c) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::u16string TrimWhiteSpace(std::u16string_view s) {
  size_t end = s.size();
  while (end > 0 && IsWhiteSpace(s[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && IsWhiteSpace(s[begin])) ++begin;
  return std::u16string(s.substr(begin, end - begin));
}

}  // namespace larkpost

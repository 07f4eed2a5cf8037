// Text services of the platform: conversion between wide text (UTF-16, char16_t) and narrow
// text in a Windows code page, over ICU.
//
// The "system ANSI code page" (CP_ACP) is one process-wide setting, Windows-1252 unless the
// front end chooses another with SetAnsiCodePage before any worker starts. Characters the code
// page cannot represent become the code page's own default character "?" (0x3F), never the
// converter library's substitution byte. All functions may be called from any thread at once.
#pragma once

#include <string>
#include <string_view>

constexpr unsigned CP_ACP = 0;
constexpr unsigned CP_UTF8 = 65001;
constexpr unsigned WC_COMPOSITECHECK = 0x00000200;

// Sets the process-wide ANSI code page. Returns false (and keeps the old one) when no converter
// for that Windows code page exists.
bool SetAnsiCodePage(unsigned codePage);
unsigned GetACP();
// Whether a converter for the Windows code page exists (what SetAnsiCodePage accepts).
bool IsKnownCodePage(unsigned codePage);

// Windows semantics: lengths count characters (wide) or bytes (narrow); a length of -1 means
// zero-terminated input, and the terminator is then converted and counted too. outSize 0
// returns the size needed. Returns 0 on failure (bad arguments, unknown code page, buffer too
// small). With WC_COMPOSITECHECK decomposed sequences are composed (NFC) before converting.
// *usedDefaultChar (may be null) tells whether any character became the default character;
// defaultChar (may be null) replaces "?" by its first byte.
int WideCharToMultiByte(unsigned codePage, unsigned flags, const char16_t* wide, int wideLength,
                        char* out, int outSize, const char* defaultChar, int* usedDefaultChar);
// Malformed or incomplete narrow input becomes U+FFFD for each bad sequence; bytes the code page
// leaves undefined map as the code page's best-fit table says (for 1252: to U+0081 etc.).
int MultiByteToWideChar(unsigned codePage, unsigned flags, const char* narrow, int narrowLength,
                        char16_t* out, int outSize);

namespace larkpost {

// The largest UTF-16 unit of the text, 0 for none: tells plain ASCII, or text no composition
// touches, in one pass the compiler vectorises.
inline char16_t LargestUnit(std::u16string_view text) {
  char16_t largest = 0;
  for (char16_t c : text) largest = c > largest ? c : largest;
  return largest;
}

// Text of units below 0x100 (LargestUnit) as one byte a unit, `wide.size()` bytes into `out`;
// and back, `bytes.size()` units into `out`. Latin-1, in effect, without a code page.
void NarrowLatin1(std::u16string_view wide, char* out);
void WidenLatin1(std::string_view bytes, char16_t* out);

// CP_ACP with WC_COMPOSITECHECK, no terminator. *replaced (may be null) is set when a character
// became the code page's default character ("?"; for UTF-8, a lone surrogate became U+FFFD).
std::string WideToAnsi(std::u16string_view wide, bool* replaced = nullptr);
// The same, appended to `out`.
void AppendAnsi(std::string& out, std::u16string_view wide, bool* replaced = nullptr);
// The text as AppendAnsi writes it, `wide.size()` bytes into `out`, when the ANSI code page keeps
// every unit as its own byte: ASCII and, where the page keeps Latin-1 (1252 does), U+00A0 ...
// U+00FF. False otherwise, with `out` written in part: most texts convert without the table.
bool NarrowAnsiUnchanged(std::u16string_view wide, char* out);
// CP_ACP, no flags.
std::u16string AnsiToWide(std::string_view narrow);
// For file names, JSON and terminal output; lone surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view wide);
// Malformed bytes become U+FFFD.
std::u16string Utf8ToWide(std::string_view utf8);

// File names are bytes on Linux, not always UTF-8 ("caf\xe9.bak" from an old Latin-1 system).
// These carry a name through UTF-16 unchanged: a byte that is not part of well-formed UTF-8
// becomes the lone surrogate U+DC80 + byte (which no UTF-8 yields) and turns back into that
// byte. Every name given by the user and handed to the system goes through them.
std::u16string PathToWide(std::string_view bytes);
std::string WideToPath(std::u16string_view wide);

// As the platform's iswspace: tab..carriage return, space, and the Unicode spaces (U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
bool IsWhiteSpace(char16_t c);
// Removes white space at both ends (the end first, then the start).
std::u16string TrimWhiteSpace(std::u16string_view s);

}  // namespace larkpost

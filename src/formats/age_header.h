// The header of an age file (age-encryption.org/v1), read and written exactly:
//
//   age-encryption.org/v1\n
//   -> X25519 <base64 share>\n            one stanza per recipient: "-> " type and arguments,
//   <base64 body, 64 columns a line>\n    then its body wrapped at 64 columns, ended by a line
//   <last body line, 0-63 columns>\n      shorter than 64 (empty when the body fills its lines)
//   --- <base64 of the 32-byte MAC>\n
//
// Arguments are non-empty runs of printable ASCII without spaces; base64 is the standard alphabet
// without padding and must be the canonical spelling. The MAC is HMAC-SHA-256 with the key
// HKDF(file key, salt "", info "header") over everything up to and including "---". Anything
// else, a carriage return included, is a damaged header.
#pragma once

#include <string>
#include <vector>

#include "formats/age_input.h"

namespace larkpost::age {

struct Stanza {
  std::string type;
  std::vector<std::string> args;
  std::string body;  // decoded
};

struct Header {
  std::vector<Stanza> stanzas;
  std::string mac;       // decoded, 32 bytes
  std::string macInput;  // the header's bytes the MAC covers
};

// Reads a header from the start of `input`, leaving it at the first byte after the MAC line.
// Throws AgeError kHeader for anything malformed (kNoMatch never: that is for the keys to say).
Header ReadHeader(AgeInput& input);

// The whole header text for `stanzas`, with the MAC made from `fileKey`.
std::string WriteHeader(const std::vector<Stanza>& stanzas, const std::string& fileKey);

// Throws AgeError kHeaderMac unless the header's MAC was made with `fileKey`.
void CheckHeaderMac(const Header& header, const std::string& fileKey);

}  // namespace larkpost::age

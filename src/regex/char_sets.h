// The character sets the classes of a pattern are made of: the predefined classes (`.`, `\d`,
// `\w`, `\s` and their negations) and the `[:name:]` classes of brackets.
#pragma once

#include <string>

#include "regex/element.h"

namespace larkpost::regex_internal {

// The predefined classes (`.` is kAny under the single-line option, else kAnyButNewline).
enum Predefined { kAny, kAnyButNewline, kWord, kNotWord, kSpace, kNotSpace, kDigit, kNotDigit, kPredefinedCount };

// The set of a predefined class. Right to left, white space also holds form feed and vertical tab.
const CharSet& PredefinedSet(Predefined which, bool right_to_left);

// The set of the `[:name:]` class; an unknown name is the empty set.
CharSet NamedSet(const std::string& name);

}  // namespace larkpost::regex_internal

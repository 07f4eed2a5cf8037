// "Did you mean": the known name nearest to a mistyped one.
#pragma once

#include <string>
#include <vector>

namespace larkpost {

// The name of `names` closest to `word` by edit distance (an inserted, removed or changed
// character, or two neighbours swapped, each count 1), when it is close enough to be what was
// meant: at most 1 edit for words of up to 4 characters, else at most 2. Empty otherwise.
std::string NearestName(const std::string& word, const std::vector<std::string>& names);

}  // namespace larkpost

#include "cli/suggest.h"

#include <algorithm>

namespace larkpost {

namespace {

// Optimal string alignment distance: Levenshtein with the swap of two neighbours as one edit,
// since "backpu" is one slip of the fingers away from "backup".
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string NearestName(const std::string& word, const std::vector<std::string>& names) {
  // Arguments are short; a long one is no typo of a name and is not worth the table.
  if (word.size() > 64) return std::string();
  const size_t allowed = word.size() <= 4 ? 1 : 2;
  std::string best;
  size_t bestDistance = allowed + 1;
  for (const std::string& name : names) {
    const size_t distance = EditDistance(word, name);
    if (distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace larkpost

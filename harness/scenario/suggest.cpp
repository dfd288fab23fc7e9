#include "scenario/suggest.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

namespace qvi::scenario {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Edits (insert, delete, replace, swap of neighbours) from a to b, letter
// case ignored.
std::size_t Distance(std::string_view a, std::string_view b) {
  const std::size_t n = b.size();
  std::vector<std::size_t> before(n + 1), previous(n + 1), current(n + 1);
  for (std::size_t j = 0; j <= n; ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= n; ++j) {
      const bool same = Lower(a[i - 1]) == Lower(b[j - 1]);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) && Lower(a[i - 2]) == Lower(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[n];
}

}  // namespace

std::string DidYouMean(std::string_view name, const std::set<std::string>& known) {
  // A slip is a few edits in a long name, one in a short one: "key" is no
  // slip of "ini".
  const std::size_t most = std::max<std::size_t>(1, name.size() / 4);
  std::size_t best = std::numeric_limits<std::size_t>::max();
  const std::string* nearest = nullptr;
  for (const std::string& candidate : known) {
    const std::size_t d = Distance(name, candidate);
    if (d < best) {
      best = d;
      nearest = &candidate;
    }
  }
  if (nearest == nullptr || best > most) return "";
  return "; did you mean \"" + *nearest + "\"?";
}

}  // namespace qvi::scenario

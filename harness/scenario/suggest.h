// "Did you mean" for a name that is not among the known ones: a misspelt
// field ("platfrom_failures") is told what it was meant to be.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace qvi::scenario {

// `; did you mean "known"?` for the known name nearest to `name` when it is
// near enough to be a slip (letters swapped, missed, doubled or mistyped,
// letter case), else "".
std::string DidYouMean(std::string_view name, const std::set<std::string>& known);

}  // namespace qvi::scenario

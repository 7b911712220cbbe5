// What a mistyped name was probably meant to be, for "did you mean ...?".
#include "support/support.h"

#include <algorithm>

namespace pack {

namespace {

// The edits from one to the other: a letter changed, added or dropped.
size_t editDistance(const std::string& from, const std::string& to)
{
    std::vector<size_t> previous(to.size() + 1), current(to.size() + 1);
    for (size_t j = 0; j <= to.size(); ++j) previous[j] = j;
    for (size_t i = 1; i <= from.size(); ++i) {
        current[0] = i;
        for (size_t j = 1; j <= to.size(); ++j) {
            current[j] =
                std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (from[i - 1] == to[j - 1] ? 0 : 1)});
        }
        previous.swap(current);
    }
    return previous[to.size()];
}

}  // namespace

std::string findNearestName(const std::string& typed, const std::vector<std::string>& candidates)
{
    std::string nearest;
    size_t best = 3;  // two edits at most
    for (const std::string& candidate : candidates) {
        const size_t distance = editDistance(typed, candidate);
        if (distance < best) {
            best = distance;
            nearest = candidate;
        }
    }
    return nearest;
}

}  // namespace pack

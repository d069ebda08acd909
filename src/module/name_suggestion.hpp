// The closeness rule by which CPython (3.10 on) picks the name it suggests in "Did you
// mean" hints, for the interpreters on which the module offers the same hint itself.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kov {

// The index of the candidate closest to `name`, or -1 when none is close enough. Names are
// compared as UTF-8 bytes: an edit costs 2, turning an ASCII letter's case costs 1; at most
// about a third of the characters involved may change, names that differ in more than 40
// bytes (after their common start and end) are never close, and of equally close
// candidates the first wins. A candidate equal to `name` is not suggested.
std::ptrdiff_t closest_name(std::string_view name, const std::vector<std::string_view>& candidates);

}  // namespace kov

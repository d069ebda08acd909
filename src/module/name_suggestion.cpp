#include "module/name_suggestion.hpp"

#include <algorithm>
#include <cstdint>

namespace kov {

namespace {

constexpr std::size_t kEditCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kLongest = 40;  // bytes left after the common start and end
constexpr std::size_t kMostCandidates = 750;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t substitution_cost(char a, char b) {
  if (a == b) return 0;
  return lower(a) == lower(b) ? kCaseCost : kEditCost;
}

// The weighted edit distance, or `limit + 1` for anything beyond `limit`.
std::size_t distance(std::string_view a, std::string_view b, std::size_t limit) {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kEditCost;
  if (a.size() > kLongest || b.size() > kLongest) return limit + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kEditCost > limit) return limit + 1;

  // One row of the table: row[i] is the cost of turning b[:j] into a[:i + 1].
  std::vector<std::size_t> row(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kEditCost;
  std::size_t cost = 0;
  for (std::size_t j = 0; j < b.size(); ++j) {
    std::size_t diagonal = j * kEditCost;  // b[:j] into a[:0]
    cost = (j + 1) * kEditCost;            // b[:j + 1] into a[:0]
    std::size_t row_best = SIZE_MAX;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::size_t substitute = diagonal + substitution_cost(b[j], a[i]);
      diagonal = row[i];
      cost = std::min({substitute, row[i] + kEditCost, cost + kEditCost});
      row[i] = cost;
      row_best = std::min(row_best, cost);
    }
    if (row_best > limit) return limit + 1;  // every way on costs more
  }
  return cost;
}

}  // namespace

std::ptrdiff_t closest_name(std::string_view name,
                            const std::vector<std::string_view>& candidates) {
  if (candidates.size() >= kMostCandidates) return -1;
  std::ptrdiff_t best = -1;
  std::size_t best_distance = SIZE_MAX;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const std::string_view candidate = candidates[k];
    if (candidate == name) continue;
    // No more than about a third of the characters involved may need a change, and only a
    // closer candidate than the best so far counts.
    const std::size_t limit =
        std::min((name.size() + candidate.size() + 3) * kEditCost / 6, best_distance - 1);
    const std::size_t d = distance(name, candidate, limit);
    if (d > limit) continue;
    best = static_cast<std::ptrdiff_t>(k);
    best_distance = d;
  }
  return best;
}

}  // namespace kov

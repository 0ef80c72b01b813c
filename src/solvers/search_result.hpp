#pragma once
// What a solver's search of one cube ends with.

#include <cstdint>

namespace turnsmith {

enum class SearchOutcome { found, none, stopped };

struct SearchResult {
    SearchOutcome outcome;
    unsigned length;         // when found
    std::uint64_t nodes = 0;  // the states the search generated, where it counts them (the optimal search)
};

}  // namespace turnsmith

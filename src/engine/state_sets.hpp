// Whole states as keys, sorted and hashed: what CubeBatch.keys, unique, isin
// and StateSet are made of. States are compared by all their words, never by
// a key alone; keys only choose where a state is looked for.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cube/cube_2x2.hpp"
#include "cube/cube_3x3.hpp"
#include "cube/work_cost.hpp"
#include "engine/batch.hpp"
#include "engine/pool.hpp"
#include "engine/row_buffer.hpp"

namespace turnsmith::state_sets {

// ---- keys ---------------------------------------------------------------------

// MurmurHash3's 64-bit finaliser: a bijection that spreads every bit of its
// input over the whole word.
constexpr Word mix64(Word x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

template <std::size_t N>
using Words = std::array<Word, N>;

// Word by word, unrolled: std::array's own operators call memcmp, which
// costs more than the comparison in the inner loops here.
template <std::size_t N>
constexpr bool same_words(const Words<N>& a, const Words<N>& b) noexcept {
    if constexpr (N == 1) {
        return a[0] == b[0];
    } else {
        return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0;
    }
}

// The order of unique's "sorted": the corner word first, as unsigned numbers.
template <std::size_t N>
constexpr bool words_less(const Words<N>& a, const Words<N>& b) noexcept {
    if constexpr (N == 1) {
        return a[0] < b[0];
    } else {
        return a[0] < b[0] || (a[0] == b[0] && a[1] < b[1]);
    }
}

// The published key of a state, fixed for good: the 2x2's corner word itself
// (every state its own key); for the 3x3 mix64(mix64(corners) ^ edges), which
// for one corner word is a bijection of the edge word, so states that share
// their corners never share a key.
template <std::size_t N>
constexpr Word key_of(const Words<N>& words) noexcept {
    if constexpr (N == 1) {
        return words[0];
    } else {
        return mix64(mix64(words[0]) ^ words[1]);
    }
}

// Where a state goes in a hash table: its key mixed once more, so that the
// 2x2's key, whose top 24 bits are 0, spreads over every bit too.
template <std::size_t N>
constexpr Word spread_of(const Words<N>& words) noexcept {
    return mix64(key_of(words));
}

// Element i is the key of state i.
template <Cube C, class Runner>
Rows<std::uint64_t> keys_internal(std::span<const C> cubes, Runner&& run) {
    auto keys = Rows<std::uint64_t>::zeroed(cubes.size(), 1);
    run(cubes.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) *keys.row(i) = key_of(cubes[i].words());
    });
    return keys;
}

// Loops over a batch go in fixed runs of states, so that counts made per run
// in one pass find the same runs in the next.
inline constexpr std::size_t run_length = std::size_t{1} << 16;
using RunCost = FixedCost<run_length>;

inline std::size_t run_count(std::size_t n) noexcept { return (n + run_length - 1) / run_length; }

// Calls `each(i)` for the states of run `r`.
template <class Each>
void for_run(std::size_t r, std::size_t n, Each&& each) {
    const std::size_t end = std::min(n, (r + 1) * run_length);
    for (std::size_t i = r * run_length; i < end; ++i) each(i);
}

// Places for the items of every run in every bin, bins one after another and
// within a bin the runs in order (so the items keep their order within a bin):
// `counts` holds run r's count of bin b at r * bins + b and is turned into
// the first place of each; the result holds each bin's first place, and the
// total last.
inline std::vector<std::size_t> places_by_bin(std::vector<std::size_t>& counts, std::size_t runs,
                                              std::size_t bins) {
    std::vector<std::size_t> bin_start(bins + 1);
    std::size_t at = 0;
    for (std::size_t b = 0; b < bins; ++b) {
        bin_start[b] = at;
        for (std::size_t r = 0; r < runs; ++r) {
            const std::size_t count = counts[r * bins + b];
            counts[r * bins + b] = at;
            at += count;
        }
    }
    bin_start[bins] = at;
    return bin_start;
}

// ---- sorting ------------------------------------------------------------------

// A state with its place in the batch; entries order by the words (the
// corner word first), then by place, so equal states sort by first
// occurrence. Without places (when no one asks for them) an entry is a
// third smaller for the 3x3, and its place reads as 0.
template <std::size_t N, bool Indexed = true>
struct Entry {
    Words<N> words;
    std::uint64_t index;
};

template <std::size_t N>
struct Entry<N, false> {
    Words<N> words;
    static constexpr std::uint64_t index = 0;
};

template <std::size_t N, bool I>
constexpr bool operator<(const Entry<N, I>& a, const Entry<N, I>& b) noexcept {
    if (!same_words(a.words, b.words)) return words_less(a.words, b.words);
    return a.index < b.index;
}

// The same without branches, for the search among the buckets' bounds,
// whose outcome is a coin toss.
template <std::size_t N, bool I>
constexpr bool less_flat(const Entry<N, I>& a, const Entry<N, I>& b) noexcept {
    const bool index_less = a.index < b.index;
    if constexpr (N == 1) {
        return (a.words[0] < b.words[0]) | ((a.words[0] == b.words[0]) & index_less);
    } else {
        const bool low_less = (a.words[1] < b.words[1]) | ((a.words[1] == b.words[1]) & index_less);
        return (a.words[0] < b.words[0]) | ((a.words[0] == b.words[0]) & low_less);
    }
}

template <Cube C, bool Indexed>
using EntriesOf = std::unique_ptr<Entry<C::word_count, Indexed>[]>;

// Below this a batch is sorted on the calling thread.
inline constexpr std::size_t sort_alone_below = std::size_t{1} << 15;
// Samples per bucket when choosing the buckets' bounds.
inline constexpr std::size_t oversampling = 16;

// The batch's entries in order, by a sample sort on the pool: bounds chosen
// from evenly spaced samples cut the entries into buckets (one pass counts,
// one places them), and each bucket is sorted on its own. Entries are all
// different (their places differ), so even a batch of one state spreads.
template <Cube C, bool Indexed, class Runner>
EntriesOf<C, Indexed> sorted_entries(std::span<const C> cubes, Runner&& run) {
    using E = Entry<C::word_count, Indexed>;
    const std::size_t n = cubes.size();
    auto sorted = std::make_unique_for_overwrite<E[]>(n);
    const auto entry = [&](std::size_t i) {
        if constexpr (Indexed) {
            return E{cubes[i].words(), i};
        } else {
            return E{cubes[i].words()};
        }
    };
    if (n < sort_alone_below) {
        for (std::size_t i = 0; i < n; ++i) sorted[i] = entry(i);
        std::sort(sorted.get(), sorted.get() + n);
        return sorted;
    }
    const std::size_t buckets = std::bit_ceil(std::max<std::size_t>(256, 16 * pool_worker_count()));
    std::vector<E> samples(buckets * oversampling);
    for (std::size_t s = 0; s < samples.size(); ++s) samples[s] = entry(s * (n / samples.size()));
    std::sort(samples.begin(), samples.end());
    std::vector<E> bounds(buckets - 1);
    for (std::size_t b = 0; b + 1 < buckets; ++b) bounds[b] = samples[(b + 1) * oversampling];
    // How many bounds are at most e: a binary search of fixed steps (buckets
    // is a power of two) that the compiler turns into conditional moves.
    const auto bucket_of = [&](const E& e) {
        std::size_t below = 0;
        for (std::size_t step = buckets / 2; step > 0; step /= 2) {
            below += less_flat(e, bounds[below + step - 1]) ? 0 : step;
        }
        return below;
    };

    const std::size_t runs = run_count(n);
    std::vector<std::uint16_t> bucket(n);
    std::vector<std::size_t> counts(runs * buckets);
    run(runs, RunCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            std::size_t* count = counts.data() + r * buckets;
            for_run(r, n, [&](std::size_t i) {
                const std::size_t b = bucket_of(entry(i));
                bucket[i] = static_cast<std::uint16_t>(b);
                ++count[b];
            });
        }
    });
    const std::vector<std::size_t> bucket_start = places_by_bin(counts, runs, buckets);
    run(runs, RunCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            std::size_t* place = counts.data() + r * buckets;
            for_run(r, n, [&](std::size_t i) { sorted[place[bucket[i]]++] = entry(i); });
        }
    });
    run(buckets, RunCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            std::sort(sorted.get() + bucket_start[b], sorted.get() + bucket_start[b + 1]);
        }
    });
    return sorted;
}

// ---- distinct states ----------------------------------------------------------

enum class Order { sorted, first };

struct Wanted {
    bool index = false;
    bool inverse = false;
    bool counts = false;
};

// The distinct states of a batch, as numpy.unique gives the distinct rows:
// in order of the words (Order::sorted) or of first occurrence
// (Order::first); with each one's first place in the batch, the position in
// the result of every state of the batch, and how often each occurs, where
// asked (empty otherwise).
struct Distinct {
    BatchStates states;
    Rows<std::int64_t> index;
    Rows<std::int64_t> inverse;
    Rows<std::int64_t> counts;
};

// Prefix counts over the runs of n places: entry r is how many places of the
// runs before run r satisfy `counted`, the last entry how many in all.
template <class Runner, class Counted>
std::vector<std::size_t> counted_before_runs(std::size_t n, Runner& run, Counted&& counted) {
    const std::size_t runs = run_count(n);
    std::vector<std::size_t> before(runs + 1);
    run(runs, RunCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            std::size_t count = 0;
            for_run(r, n, [&](std::size_t j) { count += counted(j) ? 1 : 0; });
            before[r + 1] = count;
        }
    });
    for (std::size_t r = 0; r < runs; ++r) before[r + 1] += before[r];
    return before;
}

// The groups of equal states in order of their first places in the batch:
// each group's number plus one is noted at its first place, then the notes
// are read off in batch order. Fills group_at (the group at each result
// position) and position (the result position of each group).
template <class Entry, class Runner>
void order_groups_by_first_place(const Entry* sorted, const std::vector<std::size_t>& group_start, std::size_t n,
                                 Runner& run, std::vector<std::size_t>& group_at,
                                 std::vector<std::size_t>& position) {
    const std::size_t distinct = group_start.size() - 1;
    std::vector<std::size_t> mark(n);
    run(distinct, UnitCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) mark[sorted[group_start[g]].index] = g + 1;
    });
    const std::vector<std::size_t> firsts_before =
        counted_before_runs(n, run, [&](std::size_t i) { return mark[i] != 0; });
    group_at.resize(distinct);
    run(run_count(n), RunCost{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            std::size_t at = firsts_before[r];
            for_run(r, n, [&](std::size_t i) {
                if (mark[i] != 0) {
                    group_at[at] = mark[i] - 1;
                    position[mark[i] - 1] = at;
                    ++at;
                }
            });
        }
    });
}

template <Cube C, bool Indexed, class Runner>
Distinct distinct_of_entries(std::span<const C> cubes, Order order, Wanted wanted, Runner&& run) {
    const std::size_t n = cubes.size();
    const EntriesOf<C, Indexed> sorted_owner = sorted_entries<C, Indexed>(cubes, run);
    const auto* sorted = sorted_owner.get();
    const auto starts_group = [&](std::size_t j) {
        return j == 0 || !same_words(sorted[j].words, sorted[j - 1].words);
    };

    // Groups of equal states: how many start before each run, then where each starts.
    const std::size_t runs = run_count(n);
    const std::vector<std::size_t> groups_before = counted_before_runs(n, run, starts_group);
    const std::size_t distinct = groups_before[runs];
    std::vector<std::size_t> group_start(distinct + 1);
    group_start[distinct] = n;
    // The position in the result of each group, once known: the group itself when sorted.
    std::vector<std::size_t> position(order == Order::first ? distinct : 0);
    const auto group_position = [&](std::size_t g) { return order == Order::first ? position[g] : g; };
    auto inverse = Rows<std::int64_t>::zeroed(wanted.inverse ? n : 0, 1);
    // Calls `each(j, g)` for every sorted place j of the runs, g its group.
    const auto over_groups = [&](auto&& each) {
        run(runs, RunCost{}, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                std::size_t g = groups_before[r];  // one past the group of the place before
                for_run(r, n, [&](std::size_t j) {
                    if (starts_group(j)) ++g;
                    each(j, g - 1);
                });
            }
        });
    };
    over_groups([&](std::size_t j, std::size_t g) {
        if (starts_group(j)) group_start[g] = j;
    });

    std::vector<std::size_t> group_at;  // the group of each result position
    if (order == Order::first) order_groups_by_first_place(sorted, group_start, n, run, group_at, position);
    const auto group_of_position = [&](std::size_t p) { return order == Order::first ? group_at[p] : p; };

    if (wanted.inverse) {
        over_groups([&](std::size_t j, std::size_t g) {
            *inverse.row(sorted[j].index) = static_cast<std::int64_t>(group_position(g));
        });
    }
    auto index = Rows<std::int64_t>::zeroed(wanted.index ? distinct : 0, 1);
    auto counts = Rows<std::int64_t>::zeroed(wanted.counts ? distinct : 0, 1);
    BatchStates states = BatchStates::unwritten<C>(distinct);
    states.visit([&]<Cube D>(std::span<D> out) {
        if constexpr (std::is_same_v<C, D>) {
            run(distinct, UnitCost{}, [&](std::size_t begin, std::size_t end) {
                for (std::size_t p = begin; p < end; ++p) {
                    const std::size_t g = group_of_position(p);
                    const auto& first = sorted[group_start[g]];
                    out[p] = C::from_words(first.words);
                    if (wanted.index) *index.row(p) = static_cast<std::int64_t>(first.index);
                    if (wanted.counts)
                        *counts.row(p) = static_cast<std::int64_t>(group_start[g + 1] - group_start[g]);
                }
            });
        }
    });
    return {std::move(states), std::move(index), std::move(inverse), std::move(counts)};
}

template <Cube C, class Runner>
Distinct distinct_internal(std::span<const C> cubes, Order order, Wanted wanted, Runner&& run) {
    if (order == Order::first || wanted.index || wanted.inverse) {
        return distinct_of_entries<C, true>(cubes, order, wanted, run);
    }
    return distinct_of_entries<C, false>(cubes, order, wanted, run);
}

// ---- a hash set of states -------------------------------------------------------

// A growing set of whole states: 256 parts chosen by the top bits of a
// state's spread, each an open-addressing table with linear probing, grown by
// rehashing when it is 70 % full. The parts are independent, so a batch is
// added on the pool with each part written by one worker, in batch order. A
// slot whose corner word is 0 is empty: no state has that corner word (it
// would hold piece 0 eight times).
template <Cube C>
class StateTable {
public:
    using W = Words<C::word_count>;
    static constexpr unsigned part_bits = 8;
    static constexpr std::size_t part_count = std::size_t{1} << part_bits;

    std::size_t size() const noexcept {
        std::size_t total = 0;
        for (const Part& part : parts_) total += part.count;
        return total;
    }

    bool contains(const W& words) const noexcept {
        const Word spread = spread_of(words);
        return parts_[part_of(spread)].find(words, spread);
    }

    // Adds every state of `cubes`; where `fresh` is given, fresh[i] tells
    // whether state i was new (a state repeated in the batch is new only at
    // its first place). With `presize`, each part is first grown to hold
    // all the states headed for it (right when few of them are already in).
    template <class Runner>
    void add(std::span<const C> cubes, bool* fresh, bool presize, Runner&& run) {
        const std::size_t n = cubes.size();
        if (n < sort_alone_below) {
            for (std::size_t i = 0; i < n; ++i) {
                const W words = cubes[i].words();
                const Word spread = spread_of(words);
                const bool added = parts_[part_of(spread)].insert(words, spread);
                if (fresh != nullptr) fresh[i] = added;
            }
            return;
        }
        // The places of the batch grouped by part, in batch order within each.
        const std::size_t runs = run_count(n);
        std::vector<std::size_t> counts(runs * part_count);
        run(runs, RunCost{}, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                std::size_t* count = counts.data() + r * part_count;
                for_run(r, n, [&](std::size_t i) { ++count[part_of(spread_of(cubes[i].words()))]; });
            }
        });
        const std::vector<std::size_t> part_start = places_by_bin(counts, runs, part_count);
        auto order = std::make_unique_for_overwrite<std::size_t[]>(n);
        run(runs, RunCost{}, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                std::size_t* place = counts.data() + r * part_count;
                for_run(r, n,
                        [&](std::size_t i) { order[place[part_of(spread_of(cubes[i].words()))]++] = i; });
            }
        });
        // A part's cost is about its share of the batch.
        run(part_count, FixedCost<1024>{}, [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) {
                Part& part = parts_[p];
                if (presize) part.reserve(part.count + part_start[p + 1] - part_start[p]);
                for (std::size_t k = part_start[p]; k < part_start[p + 1]; ++k) {
                    if (k + lookahead < part_start[p + 1]) {
                        part.prefetch(spread_of(cubes[order[k + lookahead]].words()));
                    }
                    const std::size_t i = order[k];
                    const W words = cubes[i].words();
                    const bool added = part.insert(words, spread_of(words));
                    if (fresh != nullptr) fresh[i] = added;
                }
            }
        });
    }

    // Writes the words of every state into `out` (size() rows of
    // C::word_count words), part by part and slot by slot.
    void copy_words(Word* out) const noexcept {
        for (const Part& part : parts_) {
            for (std::size_t s = 0; s < part.capacity; ++s) {
                if (Part::empty(part.slots[s])) continue;
                out = std::copy(part.slots[s].begin(), part.slots[s].end(), out);
            }
        }
    }

    // found[i] tells whether state i of `cubes` is in the set.
    template <class Runner>
    void contains(std::span<const C> cubes, bool* found, Runner&& run) const {
        run(cubes.size(), UnitCost{}, [&](std::size_t begin, std::size_t end) {
            // Each lookup is a cache miss in a large set: the slots of the
            // next few states are asked for while the current ones are read.
            for (std::size_t block = begin; block < end; block += lookahead) {
                const std::size_t stop = std::min(end, block + lookahead);
                std::array<Word, lookahead> spreads;
                for (std::size_t i = block; i < stop; ++i) {
                    spreads[i - block] = spread_of(cubes[i].words());
                    parts_[part_of(spreads[i - block])].prefetch(spreads[i - block]);
                }
                for (std::size_t i = block; i < stop; ++i) {
                    const Word spread = spreads[i - block];
                    found[i] = parts_[part_of(spread)].find(cubes[i].words(), spread);
                }
            }
        });
    }

private:
    // How many states ahead the loops ask for their slots.
    static constexpr std::size_t lookahead = 16;

    static std::size_t part_of(Word spread) noexcept {
        return static_cast<std::size_t>(spread >> (64 - part_bits));
    }

    struct Part {
        // Rehash above 7/10 full: linear probing's probe count climbs fast past that.
        static constexpr std::size_t fill_numerator = 7;
        static constexpr std::size_t fill_denominator = 10;
        static constexpr std::size_t least_capacity = 16;

        std::unique_ptr<W[]> slots;
        std::size_t capacity = 0;  // 0 or a power of two
        std::size_t count = 0;

        static bool empty(const W& slot) noexcept { return slot[0] == 0; }
        static bool fits(std::size_t count, std::size_t capacity) noexcept {
            return count * fill_denominator <= capacity * fill_numerator;
        }

        // Asks the memory for the slot where a lookup of `spread` starts.
        void prefetch(Word spread) const noexcept {
            if (capacity != 0) __builtin_prefetch(&slots[spread & (capacity - 1)]);
        }

        bool find(const W& words, Word spread) const noexcept {
            if (capacity == 0) return false;
            for (std::size_t at = spread & (capacity - 1);; at = (at + 1) & (capacity - 1)) {
                if (empty(slots[at])) return false;
                if (same_words(slots[at], words)) return true;
            }
        }
        // Adds the state unless it is there; true when it was added.
        bool insert(const W& words, Word spread) {
            if (!fits(count + 1, capacity)) reserve(count + 1);
            for (std::size_t at = spread & (capacity - 1);; at = (at + 1) & (capacity - 1)) {
                if (empty(slots[at])) {
                    slots[at] = words;
                    ++count;
                    return true;
                }
                if (same_words(slots[at], words)) return false;
            }
        }
        // Room for `wanted` states within the fill limit, rehashing what is there.
        void reserve(std::size_t wanted) {
            std::size_t grown = std::max(capacity, least_capacity);
            while (!fits(wanted, grown)) grown *= 2;
            if (grown == capacity) return;
            auto fresh = std::make_unique<W[]>(grown);  // zeroed: all empty
            for (std::size_t s = 0; s < capacity; ++s) {
                if (empty(slots[s])) continue;
                std::size_t at = spread_of(slots[s]) & (grown - 1);
                while (!empty(fresh[at])) at = (at + 1) & (grown - 1);
                fresh[at] = slots[s];
            }
            slots = std::move(fresh);
            capacity = grown;
        }
    };

    std::array<Part, part_count> parts_{};
};

}  // namespace turnsmith::state_sets

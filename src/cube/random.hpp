#pragma once
// Random generators for scrambles. ChaCha keystreams serve as the generators:
// ChaCha12 per operating-system thread, keyed and periodically rekeyed from the
// kernel, and a short-lived ChaCha8 per batch work piece, keyed from the
// thread generator of the worker that runs the piece.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cube/cube.hpp"

namespace turnsmith {

using ChaChaKey = std::array<std::byte, 32>;

namespace chacha_detail {

// "expand 32-byte k" as four little-endian words.
inline constexpr std::array<std::uint32_t, 4> sigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The same word of four independent blocks in one vector register (a GCC
// vector type), so that the four blocks of an output buffer run their rounds
// together. This nearly halves the cost of a draw, the inner loop of batch
// scrambles.
inline constexpr std::size_t lanes = 4;
using WordLanes = std::uint32_t __attribute__((vector_size(4 * lanes)));

constexpr std::uint32_t rotate(std::uint32_t word, int shift) noexcept { return std::rotl(word, shift); }
inline WordLanes rotate(WordLanes words, int shift) noexcept {
    return (words << shift) | (words >> (32 - shift));
}

template <class W>
constexpr void quarter_round(W& a, W& b, W& c, W& d) noexcept {
    a += b;
    d ^= a;
    d = rotate(d, 16);
    c += d;
    b ^= c;
    b = rotate(b, 12);
    a += b;
    d ^= a;
    d = rotate(d, 8);
    c += d;
    b ^= c;
    b = rotate(b, 7);
}

// Rounds/2 double rounds (a column round, then a diagonal round) in place.
template <int Rounds, class W>
constexpr void permute(std::array<W, 16>& x) noexcept {
    static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
    for (int round = 0; round < Rounds; round += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
}

// Hands out a word stream as bytes, little-endian within each word. A partly
// used word is not kept: the next request starts on a fresh word, so byte and
// word requests always read whole keystream words.
template <class NextWord>
void fill_bytes_from_words(std::span<std::byte> out, NextWord&& next_word) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint32_t word = next_word();
        for (unsigned shift = 0; shift < 32 && done < out.size(); shift += 8) {
            out[done++] = static_cast<std::byte>(word >> shift);
        }
    }
}

}  // namespace chacha_detail

// The ChaCha block function: Rounds rounds over `input`, then `input` added in.
template <int Rounds>
constexpr void chacha_block(const std::array<std::uint32_t, 16>& input,
                            std::array<std::uint32_t, 16>& output) noexcept {
    std::array<std::uint32_t, 16> x = input;
    chacha_detail::permute<Rounds>(x);
    for (std::size_t i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

// A ChaCha keystream read as a generator. Words 12 and 13 of the input hold a
// 64-bit block counter (low word first) and words 14 and 15 a 64-bit stream
// number, as in the original ChaCha layout, so the output is exactly the
// published keystream for that key, nonce and starting block.
template <int Rounds>
class ChaChaRng {
public:
    static constexpr std::size_t buffer_blocks = chacha_detail::lanes;
    static constexpr std::size_t buffer_words = 16 * buffer_blocks;
    static constexpr std::size_t buffer_bytes = 4 * buffer_words;

    explicit constexpr ChaChaRng(const ChaChaKey& key, std::uint64_t stream = 0,
                                 std::uint64_t first_block = 0) noexcept {
        for (std::size_t i = 0; i < 4; ++i) input_[i] = chacha_detail::sigma[i];
        for (std::size_t i = 0; i < 8; ++i) {
            std::uint32_t word = 0;
            for (std::size_t b = 0; b < 4; ++b) {
                word |= std::uint32_t{std::to_integer<std::uint8_t>(key[4 * i + b])} << (8 * b);
            }
            input_[4 + i] = word;
        }
        set_pair(12, first_block);
        set_pair(14, stream);
    }

    std::uint32_t next_u32() noexcept {
        if (next_ == buffer_words) [[unlikely]]
            refill();
        return buffer_[next_++];
    }

    std::uint64_t next_u64() noexcept {
        const std::uint64_t low = next_u32();
        return low | (std::uint64_t{next_u32()} << 32);
    }

    void fill_bytes(std::span<std::byte> out) noexcept {
        chacha_detail::fill_bytes_from_words(out, [this]() noexcept { return next_u32(); });
    }

    // Unread words left in the buffer; 0 means the next read computes new blocks.
    constexpr std::size_t words_left() const noexcept { return buffer_words - next_; }

private:
    constexpr void set_pair(std::size_t at, std::uint64_t value) noexcept {
        input_[at] = static_cast<std::uint32_t>(value);
        input_[at + 1] = static_cast<std::uint32_t>(value >> 32);
    }
    constexpr std::uint64_t block_counter() const noexcept {
        return input_[12] | (std::uint64_t{input_[13]} << 32);
    }

    // Computes the next buffer_blocks blocks at once, block b of the buffer in
    // lane b; the counter wraps mod 2^64 like the reference implementation.
    void refill() noexcept {
        using chacha_detail::WordLanes;
        std::array<WordLanes, 16> start;
        const std::uint64_t counter = block_counter();
        for (std::size_t w = 0; w < 16; ++w) start[w] = WordLanes{} + input_[w];
        for (std::size_t b = 0; b < buffer_blocks; ++b) {
            start[12][b] = static_cast<std::uint32_t>(counter + b);
            start[13][b] = static_cast<std::uint32_t>((counter + b) >> 32);
        }
        std::array<WordLanes, 16> x = start;
        chacha_detail::permute<Rounds>(x);
        for (std::size_t w = 0; w < 16; ++w) {
            const WordLanes sum = x[w] + start[w];
            for (std::size_t b = 0; b < buffer_blocks; ++b) buffer_[16 * b + w] = sum[b];
        }
        set_pair(12, counter + buffer_blocks);
        next_ = 0;
    }

    std::array<std::uint32_t, 16> input_{};
    std::array<std::uint32_t, buffer_words> buffer_{};
    std::size_t next_ = buffer_words;
};

// Fills `out` from the kernel's random source. Returns 0, or the errno value
// that made it fail.
int os_random_bytes(std::span<std::byte> out) noexcept;

// The per-thread scramble generator: ChaCha12 keyed with 256 bits from the
// kernel and rekeyed from it after every 64 KiB of output. A seeding failure is
// an internal fault ("could not initialize ThreadRng: ..." when the generator
// is made, "could not reseed ThreadRng: ..." later).
class ThreadRng {
public:
    using KeySource = int (*)(std::span<std::byte>) noexcept;
    using Core = ChaChaRng<12>;
    static constexpr std::size_t reseed_after_bytes = 64 * 1024;

    // The key source is replaceable so that its failures can be exercised.
    explicit ThreadRng(KeySource source = os_random_bytes);
    ThreadRng(const ThreadRng&) = delete;
    ThreadRng& operator=(const ThreadRng&) = delete;

    std::uint32_t next_u32() {
        if (core_.words_left() == 0) [[unlikely]]
            before_refill();
        return core_.next_u32();
    }
    std::uint64_t next_u64() {
        const std::uint64_t low = next_u32();
        return low | (std::uint64_t{next_u32()} << 32);
    }
    void fill_bytes(std::span<std::byte> out) {
        chacha_detail::fill_bytes_from_words(out, [this] { return next_u32(); });
    }

    // Takes a fresh key from the source now.
    void reseed();
    // How many times a fresh key was taken since the generator was made.
    std::uint64_t reseed_count() const noexcept { return reseeds_; }

private:
    friend ThreadRng& thread_rng();
    void before_refill();

    KeySource source_;
    std::uint64_t fork_generation_;
    Core core_;
    std::size_t bytes_since_key_ = 0;
    std::uint64_t reseeds_ = 0;
};

// The calling thread's generator, made and seeded on first use in the thread.
ThreadRng& thread_rng();

// A value uniform over 0..range-1: Lemire's multiply-shift, rejecting the few
// low products (2^32 mod range of them) that would favour some values. With a
// constant range, the remainder folds away.
template <class Rng>
std::uint32_t draw_below(Rng& rng, std::uint32_t range) {
    const std::uint32_t reject_below = static_cast<std::uint32_t>((std::uint64_t{1} << 32) % range);
    for (;;) {
        const std::uint64_t product = std::uint64_t{rng.next_u32()} * range;
        if (static_cast<std::uint32_t>(product) >= reject_below) [[likely]]
            return static_cast<std::uint32_t>(product >> 32);
    }
}

// A move index uniform over 0..11 (4 low products of 2^32 rejected).
template <class Rng>
MoveIndex draw_move_index(Rng& rng) {
    return draw_below(rng, move_count);
}

// A move index uniform over the eleven that do not undo `previous` (index
// 2k+1 undoes 2k): one of 0..10, shifted past the inverse.
template <class Rng>
MoveIndex draw_move_index_after(Rng& rng, MoveIndex previous) {
    const MoveIndex inverse = previous ^ 1;
    const MoveIndex drawn = draw_below(rng, move_count - 1);
    return drawn >= inverse ? drawn + 1 : drawn;
}

// The generator of cube `index` under a caller's seed: the ChaCha8 keystream
// whose key is the seed's eight little-endian bytes followed by 24 zero bytes,
// with the cube's index as the stream number (nonce), from block 0. Its draws
// therefore depend only on the seed and the cube's position, never on which
// worker runs it or how the loop was split. This mapping is fixed: stored
// data sets are reproduced from it.
using SeededRng = ChaChaRng<8>;

constexpr ChaChaKey seed_key(std::uint64_t seed) noexcept {
    ChaChaKey key{};
    for (std::size_t b = 0; b < 8; ++b) key[b] = static_cast<std::byte>(seed >> (8 * b));
    return key;
}

inline SeededRng seeded_rng(std::uint64_t seed, std::uint64_t index) noexcept {
    return SeededRng(seed_key(seed), index);
}

// The generator of one batch work piece, keyed from the running worker's own
// thread generator.
using PieceRng = ChaChaRng<8>;
PieceRng seed_piece_rng(ThreadRng& thread);

}  // namespace turnsmith

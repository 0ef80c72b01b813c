#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/fault.hpp"
#include "cube/random.hpp"

namespace turnsmith {
namespace {

std::vector<std::byte> from_hex(std::string_view hex) {
    std::vector<std::byte> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

ChaChaKey key_from_hex(std::string_view hex) {
    const std::vector<std::byte> bytes = from_hex(hex);
    ChaChaKey key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

std::uint64_t le64_from_hex(std::string_view hex) {
    std::uint64_t value = 0;
    const std::vector<std::byte> bytes = from_hex(hex);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value |= std::uint64_t{std::to_integer<std::uint8_t>(bytes[i])} << (8 * i);
    }
    return value;
}

template <int Rounds>
std::vector<std::byte> keystream(const ChaChaKey& key, std::uint64_t stream, std::uint64_t block,
                                 std::size_t bytes) {
    ChaChaRng<Rounds> rng(key, stream, block);
    std::vector<std::byte> out(bytes);
    rng.fill_bytes(out);
    return out;
}

// ---------------------------------------------------------------------------
// The block function

// RFC 8439, section 2.3.2: key 00..1f, counter 1, nonce 000000090000004a00000000.
TEST(ChaChaBlock, Rfc8439Section232) {
    const std::array<std::uint32_t, 16> input = {
        0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
        0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c, 0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const std::array<std::uint32_t, 16> expected = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    std::array<std::uint32_t, 16> output{};
    chacha_block<20>(input, output);
    EXPECT_EQ(output, expected);
}

struct KeystreamVector {
    const char* name;
    int rounds;
    const char* key;
    const char* nonce;  // the 96-bit nonce of RFC 8439, or the 64-bit IV of the original layout
    std::uint64_t block;
    const char* stream;
};

// RFC 8439 appendix A.1 (ChaCha20, 32-bit counter and 96-bit nonce; with the
// first nonce word zero these are the 64-bit-counter keystream), and
// draft-strombergson-chacha-test-vectors TC1, TC4 and TC8 (256-bit key,
// 8 and 12 rounds, 64-bit IV, block counter from 0).
const KeystreamVector keystream_vectors[] = {
    {"rfc8439_a1_1", 20, "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", 0,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"rfc8439_a1_2", 20, "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", 1,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {"rfc8439_a1_3", 20, "0000000000000000000000000000000000000000000000000000000000000001",
     "000000000000000000000000", 1,
     "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
     "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
    {"rfc8439_a1_4", 20, "00ff000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", 2,
     "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca"
     "13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"},
    {"rfc8439_a1_5", 20, "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000002", 0,
     "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
     "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
    {"tc1_chacha8", 8, "0000000000000000000000000000000000000000000000000000000000000000", "0000000000000000",
     0,
     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
     "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
     "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
     "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa"},
    {"tc1_chacha12", 12, "0000000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000", 0,
     "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
     "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
     "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
     "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
    {"tc4_chacha8", 8, "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "ffffffffffffffff",
     0,
     "e163bbf8c9a739d18925ee8362dad2cdc973df05225afb2aa26396f2a9849a4a"
     "445e0547d31c1623c537df4ba85c70a9884a35bcbf3dfab077e98b0f68135f54"},
    {"tc8_chacha12", 12, "c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d",
     "1ada31d5cf688221", 0,
     "1482072784bc6d06b4e73bdc118bc0103c7976786ca918e06986aa251f7e9cc1"
     "b2749a0a16ee83b4242d2e99b08d7c20092b80bc466c87283b61b1b39d0ffbab"},
};

class ChaChaKeystream : public testing::TestWithParam<KeystreamVector> {};

// A 96-bit nonce n0 n1 n2 with n0 = 0 is the 64-bit counter layout with the
// stream number n1 n2; the original 64-bit IV is the stream number itself.
std::uint64_t stream_number(std::string_view nonce_hex) {
    return le64_from_hex(nonce_hex.size() == 24 ? nonce_hex.substr(8) : nonce_hex);
}

TEST_P(ChaChaKeystream, MatchesPublishedVector) {
    const KeystreamVector& v = GetParam();
    const std::string_view nonce = v.nonce;
    ASSERT_TRUE(nonce.size() == 16 || nonce.substr(0, 8) == "00000000");
    const ChaChaKey key = key_from_hex(v.key);
    const std::uint64_t stream = stream_number(nonce);
    const std::vector<std::byte> expected = from_hex(v.stream);
    std::vector<std::byte> actual;
    switch (v.rounds) {
        case 8: actual = keystream<8>(key, stream, v.block, expected.size()); break;
        case 12: actual = keystream<12>(key, stream, v.block, expected.size()); break;
        default: actual = keystream<20>(key, stream, v.block, expected.size()); break;
    }
    EXPECT_EQ(actual, expected);

    // The same vector read from the start of the stream: the generator must
    // count blocks from 0 and hand out every block in turn.
    if (v.block > 0 && v.rounds == 20) {
        const std::vector<std::byte> from_zero = keystream<20>(key, stream, 0, 64 * (v.block + 1));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), from_zero.end() - 64));
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, ChaChaKeystream, testing::ValuesIn(keystream_vectors),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The generator around it

std::array<std::uint32_t, 16> block_input(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
    std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            input[4 + i] |= std::uint32_t{std::to_integer<std::uint8_t>(key[4 * i + b])} << (8 * b);
        }
    }
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);
    return input;
}

// Blocks computed several at a time in the buffer equal the block function,
// also where the 64-bit counter carries into its high word and where it wraps.
TEST(ChaChaRng, WordsFollowTheBlockFunctionAcrossCounterCarries) {
    const ChaChaKey key = key_from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    for (const std::uint64_t first :
         {std::uint64_t{0}, std::uint64_t{0xfffffffe}, std::uint64_t{0xfffffffffffffffd}}) {
        ChaChaRng<8> rng(key, 0x0123456789abcdef, first);
        for (std::uint64_t b = 0; b < 9; ++b) {
            std::array<std::uint32_t, 16> expected{};
            chacha_block<8>(block_input(key, first + b, 0x0123456789abcdef), expected);
            for (std::size_t w = 0; w < 16; ++w) {
                ASSERT_EQ(rng.next_u32(), expected[w]) << "first block " << first << ", block " << b;
            }
        }
    }
}

TEST(ChaChaRng, WordAndByteReadsShareOneStream) {
    const ChaChaKey key{};
    ChaChaRng<12> words(key);
    ChaChaRng<12> mixed(key);
    std::vector<std::uint32_t> reference(200);
    for (auto& word : reference) word = words.next_u32();

    // One word, then 64-bit reads across the end of the first buffer, then
    // bytes: a partly used word is dropped, never split between two reads.
    EXPECT_EQ(mixed.next_u32(), reference[0]);
    std::size_t at = 1;
    for (int i = 0; i < 40; ++i, at += 2) {
        const std::uint64_t expected = reference[at] | (std::uint64_t{reference[at + 1]} << 32);
        ASSERT_EQ(mixed.next_u64(), expected);
    }
    std::array<std::byte, 6> bytes{};
    mixed.fill_bytes(bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(std::to_integer<std::uint32_t>(bytes[i]), (reference[at + i / 4] >> (8 * (i % 4))) & 0xff);
    }
    EXPECT_EQ(mixed.next_u32(), reference[at + 2]);
}

// ---------------------------------------------------------------------------
// Move indexes

// Returns the next value of a fixed list, to steer the rejection step.
struct ScriptedRng {
    std::vector<std::uint32_t> words;
    std::size_t next = 0;
    std::uint32_t next_u32() { return words.at(next++); }
};

TEST(DrawMoveIndex, MapsWordsByMultiplyShiftAndRejectsTheBiasedFew) {
    // 2^32 mod 12 = 4: the words whose product with 12 has a low half below 4
    // are redrawn; every other word w maps to floor(w * 12 / 2^32).
    // Those are the four multiples of 2^30, which would otherwise give the
    // indexes 0, 3, 6 and 9 one word more than the others.
    ScriptedRng rng{
        {0x00000000, 0x40000000, 0x15555556, 0xffffffff, 0x80000000, 0xc0000000, 0x80000001, 0x15555555}};
    EXPECT_EQ(draw_move_index(rng), 1u);
    EXPECT_EQ(rng.next, 3u);
    EXPECT_EQ(draw_move_index(rng), 11u);
    EXPECT_EQ(draw_move_index(rng), 6u);
    EXPECT_EQ(rng.next, 7u);
    EXPECT_EQ(draw_move_index(rng), 0u);  // 0x15555555 * 12 = 0xfffffffc
}

TEST(DrawMoveIndex, CoversEveryIndexEvenly) {
    constexpr int draws = 120000;
    ChaChaRng<8> rng(ChaChaKey{});  // a fixed key: the counts below never change
    std::array<int, 12> counts{};
    for (int i = 0; i < draws; ++i) {
        const MoveIndex index = draw_move_index(rng);
        ASSERT_LT(index, 12u);
        ++counts[index];
    }
    double chi_square = 0;
    for (const int count : counts) {
        EXPECT_GT(count, 0);
        const double expected = draws / 12.0;
        chi_square += (count - expected) * (count - expected) / expected;
    }
    // 11 degrees of freedom: 40 lies far beyond the 0.9999 quantile (~35).
    EXPECT_LT(chi_square, 40.0);

    // And from the kernel-keyed thread generator, with a looser bound.
    std::array<int, 12> thread_counts{};
    for (int i = 0; i < draws; ++i) ++thread_counts[draw_move_index(thread_rng())];
    for (const int count : thread_counts) EXPECT_NEAR(count, draws / 12.0, 1000);
}

// ---------------------------------------------------------------------------
// Thread generators

std::array<std::uint64_t, 4> draw_four(ThreadRng& rng) {
    return {rng.next_u64(), rng.next_u64(), rng.next_u64(), rng.next_u64()};
}

TEST(ThreadRng, EachThreadHasItsOwnGeneratorAndStream) {
    ThreadRng* first_rng = nullptr;
    ThreadRng* second_rng = nullptr;
    std::array<std::uint64_t, 4> first{};
    std::array<std::uint64_t, 4> second{};
    std::thread a([&] {
        first_rng = &thread_rng();
        first = draw_four(*first_rng);
    });
    a.join();
    std::thread b([&] {
        second_rng = &thread_rng();
        second = draw_four(*second_rng);
    });
    b.join();
    EXPECT_NE(first, second);
    EXPECT_NE(&thread_rng(), first_rng);
    EXPECT_EQ(&thread_rng(), &thread_rng());
}

TEST(ThreadRng, RekeysAfterEvery64KiB) {
    ThreadRng rng;
    constexpr std::size_t words_per_key = ThreadRng::reseed_after_bytes / 4;
    for (std::size_t i = 0; i < words_per_key; ++i) rng.next_u32();
    EXPECT_EQ(rng.reseed_count(), 0u);
    rng.next_u32();
    EXPECT_EQ(rng.reseed_count(), 1u);
    for (std::size_t i = 1; i < words_per_key; ++i) rng.next_u32();
    EXPECT_EQ(rng.reseed_count(), 1u);
    rng.next_u64();
    EXPECT_EQ(rng.reseed_count(), 2u);
}

// A key source that fails once, after the given number of good keys.
std::atomic<int> keys_before_failure{0};

int flaky_source(std::span<std::byte> out) noexcept {
    if (keys_before_failure.fetch_sub(1) == 0) return EACCES;
    std::fill(out.begin(), out.end(), std::byte{7});
    return 0;
}

std::string fault_text(const std::function<void()>& action) {
    try {
        action();
    } catch (const InternalFault& fault) {
        return fault.what();
    }
    return "no fault";
}

TEST(ThreadRng, SourceFailuresAreInternalFaults) {
    const std::string description =
        std::system_category().message(EACCES) + " (os error " + std::to_string(EACCES) + ")";
    // Each fault reports itself on stderr; the test keeps that off the run's output.
    ::testing::internal::CaptureStderr();
    keys_before_failure = 0;
    EXPECT_EQ(fault_text([] { ThreadRng rng(flaky_source); }),
              "could not initialize ThreadRng: " + description);

    keys_before_failure = 1;
    ThreadRng rng(flaky_source);
    for (std::size_t i = 0; i < ThreadRng::reseed_after_bytes / 4; ++i) rng.next_u32();
    EXPECT_EQ(fault_text([&] { rng.next_u32(); }), "could not reseed ThreadRng: " + description);
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("panicked at src/cube/random.cpp"), std::string::npos) << diagnostics;
    // The source works again: the next read rekeys and goes on.
    rng.next_u32();
    EXPECT_EQ(rng.reseed_count(), 1u);
}

// A key source that hands out the same key every time.
int constant_source(std::span<std::byte> out) noexcept {
    std::fill(out.begin(), out.end(), std::byte{42});
    return 0;
}

TEST(ThreadRng, PieceGeneratorsAreKeyedFromTheThreadGenerator) {
    ThreadRng& thread = thread_rng();
    PieceRng first = seed_piece_rng(thread);
    PieceRng second = seed_piece_rng(thread);
    EXPECT_NE(first.next_u64(), second.next_u64());

    // Two thread generators in the same state key the same piece generator,
    // so nothing but the thread generator goes into the key; and keying one
    // draws from it.
    ThreadRng a(constant_source);
    ThreadRng b(constant_source);
    PieceRng from_a = seed_piece_rng(a);
    PieceRng from_b = seed_piece_rng(b);
    EXPECT_EQ(from_a.next_u64(), from_b.next_u64());
    EXPECT_NE(a.next_u64(), ThreadRng(constant_source).next_u64());
}

TEST(ThreadRng, AForkedChildDoesNotReplayTheParentsStream) {
    ThreadRng& rng = thread_rng();
    rng.next_u32();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::array<std::uint64_t, 4> drawn = draw_four(thread_rng());
        const bool written = write(pipe_ends[1], drawn.data(), sizeof drawn) == sizeof drawn;
        _exit(written ? 0 : 1);
    }
    close(pipe_ends[1]);
    const std::array<std::uint64_t, 4> parent = draw_four(thread_rng());
    std::array<std::uint64_t, 4> from_child{};
    EXPECT_EQ(read(pipe_ends[0], from_child.data(), sizeof from_child),
              static_cast<ssize_t>(sizeof from_child));
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(parent, from_child);
}

}  // namespace
}  // namespace turnsmith

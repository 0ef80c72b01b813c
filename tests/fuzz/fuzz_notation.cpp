// Fuzzes applying a move string: the scanner must split any bytes where a
// strict UTF-8 reading finds whitespace, the same in both directions, and the
// cube must end where the token table, turn by turn, puts it, on both cube
// types alike.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

namespace turnsmith::fuzz {
namespace {

void check_tokens(std::string_view text) {
    const Tokens forward = scanner_tokens(text);
    check(same_places(scanner_tokens_backward(text), forward), "backward scan gives the forward tokens");
    check(same_places(model_tokens(text), forward), "scanner splits where the model does");
}

// A start away from solved, so no turn can pass for one that fixes it.
template <class C>
C mixed_start() {
    C cube;
    for (const std::string_view token : {"R", "U'", "F2", "L", "D'", "B", "R2", "U"})
        turn_by_model(cube, token);
    return cube;
}

template <class C>
C check_moves(std::string_view text, const Tokens& tokens) {
    const C start = mixed_start<C>();
    const C cube = moved_by_scanner(start, text);
    check(cube == moved_by_model(start, tokens), "whole string turns like its tokens one by one");
    return cube;
}

}  // namespace
}  // namespace turnsmith::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace turnsmith;
    using namespace turnsmith::fuzz;
    const std::string_view text = as_text(data, size);
    check_tokens(text);
    const Tokens tokens = model_tokens(text);
    const Cube3x3 large = check_moves<Cube3x3>(text, tokens);
    const Cube2x2 small = check_moves<Cube2x2>(text, tokens);
    check(small.corners == large.corners, "2x2 word equals the 3x3 corner word");
    return 0;
}

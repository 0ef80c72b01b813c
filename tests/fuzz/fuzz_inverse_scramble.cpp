// Fuzzes the textual inverse of a move string. The inverse keeps a trailing
// mark ("U'" gives "U''", which the scanner skips), so it undoes only what a
// token written as a bare face letter did; the properties below are the ones
// that hold for every input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"

namespace turnsmith::fuzz {
namespace {

std::vector<std::string> copies(const Tokens& tokens) { return {tokens.begin(), tokens.end()}; }

void check_shape(std::string_view text, const std::string& inverse) {
    const Tokens out = scanner_tokens(inverse);
    check(out.size() == scanner_tokens(text).size(), "inverse has as many tokens as the text");
    check(inverse == joined(copies(out)), "inverse tokens are joined by single spaces");
    if (is_valid_utf8(text)) check(is_valid_utf8(inverse), "inverse of UTF-8 is UTF-8");
}

// Inverting twice gives each token back, except that a bare face letter X
// comes back as X'' (X, then X', then X' with its mark kept).
void check_inverted_twice(std::string_view text, const std::string& inverse) {
    std::vector<std::string> expected;
    for (const std::string_view token : scanner_tokens(text))
        expected.push_back(is_bare_face(token) ? std::string(token) + "''" : std::string(token));
    const std::string twice = inverse_scramble_internal(inverse);
    check(twice == joined(expected), "inverting twice restores all but bare face letters");
    check(inverse_scramble_internal(twice) == inverse, "inverting three times equals inverting once");
}

// A token whose inverse undoes it: a bare face letter, or a token skipped both
// as written and as inverted ("x", "R2'"). "U'", "U!", "U2", "U''" and
// "U'2" are not: one of the pair is skipped or, for "U!", both turn U'.
bool undone_by_inverse(std::string_view token) {
    return is_bare_face(token) || (!is_recognised(token) && !is_recognised(inverted_by_model(token)));
}

// The text with every token that its inverse would not undo cut down to its
// face letter, keeping all the whitespace and the other tokens as they were.
std::string undoable_variant(std::string_view text, const Tokens& tokens) {
    std::string variant;
    std::size_t copied = 0;
    for (const std::string_view token : tokens) {
        if (undone_by_inverse(token)) continue;
        const auto at = static_cast<std::size_t>(token.data() - text.data());
        variant.append(text, copied, at - copied);
        variant += token.front();
        copied = at + token.size();
    }
    variant.append(text, copied);
    return variant;
}

template <class C>
void check_undoes(std::string_view text) {
    const C cube = moved_by_scanner(moved_by_scanner(C{}, text), inverse_scramble_internal(text));
    check(cube.is_solved(), "text then its inverse restores the cube");
}

}  // namespace
}  // namespace turnsmith::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace turnsmith;
    using namespace turnsmith::fuzz;
    const std::string_view text = as_text(data, size);
    const std::string inverse = inverse_scramble_internal(text);
    const Tokens tokens = model_tokens(text);
    check(inverse == inverse_by_model(tokens), "inverse follows the rewrite rule token by token");
    check_shape(text, inverse);
    check_inverted_twice(text, inverse);
    const std::string variant = undoable_variant(text, tokens);
    check_undoes<Cube3x3>(variant);
    check_undoes<Cube2x2>(variant);
    return 0;
}

"""Single cubes: turns, views, rendering, move strings, inversion and scrambles."""

import collections
import operator

import pytest

from cubehelpers import (
    LETTERS, MOVE_METHODS, OPENINGS, RESET, SOLVED_CORNERS, SOLVED_EDGES, corner_parity,
    corner_walk, corner_walk_states, edge_word, fresh, reference_render, reference_words,
    strip_ansi, words,
)
from turnsmith import Cube2x2, Cube3x3, inverse_scramble

U, UP, D, DP, R, RP, L, LP, F, FP, B, BP = range(12)

# --- turns ---------------------------------------------------------------


def test_new_cubes_hold_the_solved_words():
    assert words(Cube3x3()) == (SOLVED_CORNERS, SOLVED_EDGES)
    assert words(Cube2x2()) == (SOLVED_CORNERS,)
    assert Cube3x3().is_solved() and Cube2x2().is_solved()


WORDS_FROM_SOLVED = [
    ([U], 0x398A410403, 0x5A928398A410403),
    ([UP], 0x398A400C41, 0x5A928398A400C41),
    ([D], 0x21CC518820, 0x5A92821CC518820),
    ([R], 0x3B6241D940, 0x594283992418940),
    ([F], 0x748A4BAC20, 0xB49283E8A41EC20),
    ([B], 0x3999018AA9, 0x5AA90398B818839),
    ([R, U, RP, UP], 0x3C8A41DA01, 0x58128398A418941),
]


@pytest.mark.parametrize("indexes, corners, edges", WORDS_FROM_SOLVED,
                         ids=["U", "U'", "D", "R", "F", "B", "R U R' U'"])
def test_words_after_turns_from_solved(indexes, corners, edges):
    assert words(fresh(Cube3x3, indexes)) == (corners, edges)
    assert words(fresh(Cube2x2, indexes)) == (corners,)


@pytest.mark.parametrize("index", range(12), ids=lambda i: MOVE_METHODS[i])
def test_every_single_turn_matches_the_move_table(cube_cls, index):
    cube = fresh(cube_cls, [index])
    assert words(cube) == reference_words([index], cube_cls)
    assert not cube.is_solved()


def test_r_u_r_prime_u_prime_six_times_is_identity(cube_cls):
    cube = cube_cls()
    for _ in range(5):
        cube.do_moves("R U R' U'")
        assert not cube.is_solved()
    cube.do_moves("R U R' U'")
    assert cube.is_solved()


def test_u_turn_needs_four_to_return(cube_cls):
    cube = cube_cls()
    for _ in range(3):
        cube.do_u_move()
        assert not cube.is_solved()
    cube.do_u_move()
    assert cube.is_solved()


@pytest.mark.parametrize("moves", ["R2 U2 R2 U2 R2 U2", "F2 R2 F2 R2 F2 R2", "R L' U2 R' L F2"])
def test_3x3_with_every_corner_home_is_not_solved_while_an_edge_is_out(moves):
    cube = Cube3x3()
    cube.do_moves(moves)
    assert cube.corners == SOLVED_CORNERS
    assert edge_word(cube) != SOLVED_EDGES
    assert not cube.is_solved()
    # The 2x2 sees only corners: the same moves solve it.
    small = Cube2x2()
    small.do_moves(moves)
    assert small.is_solved()


@pytest.mark.parametrize("indexes", [[U, DP], [R, LP]], ids=["U D'", "R L'"])
def test_2x2_opposite_layers_show_uniform_faces_but_are_not_solved(indexes):
    cube = fresh(Cube2x2, indexes)
    if indexes == [U, DP]:
        assert cube.state == 0x3148710403
    stickers = cube.to_sticker_array()
    assert all(len(set(stickers[4 * f:4 * f + 4])) == 1 for f in range(6))
    assert stickers != Cube2x2().to_sticker_array()
    assert not cube.is_solved()


# --- sticker arrays ----------------------------------------------------------


def test_solved_sticker_arrays():
    assert Cube3x3().to_sticker_array() == [c for c in range(6) for _ in range(9)]
    assert Cube2x2().to_sticker_array() == [c for c in range(6) for _ in range(4)]


STICKERS_AFTER = {
    U: [0] * 9 + [5, 5, 5, 1, 1, 1, 1, 1, 1] + [1, 1, 1, 2, 2, 2, 2, 2, 2] + [3] * 9
    + [2, 2, 2, 4, 4, 4, 4, 4, 4] + [4, 4, 4, 5, 5, 5, 5, 5, 5],
    F: [0, 0, 0, 0, 0, 0, 4, 4, 4] + [0, 1, 1, 0, 1, 1, 0, 1, 1] + [2] * 9
    + [1, 1, 1, 3, 3, 3, 3, 3, 3] + [4, 4, 3, 4, 4, 3, 4, 4, 3] + [5] * 9,
}


@pytest.mark.parametrize("move", [U, F], ids=["U", "F"])
def test_sticker_arrays_after_one_turn(move):
    expected = STICKERS_AFTER[move]
    assert fresh(Cube3x3, [move]).to_sticker_array() == expected
    corner_stickers = [expected[9 * f + k] for f in range(6) for k in (0, 2, 6, 8)]
    assert fresh(Cube2x2, [move]).to_sticker_array() == corner_stickers


def test_sticker_list_is_new_each_call(cube_cls):
    cube = cube_cls()
    first = cube.to_sticker_array()
    first[0] = 99
    assert cube.to_sticker_array()[0] == 0
    assert cube.to_sticker_array() is not cube.to_sticker_array()
    assert all(type(v) is int for v in cube.to_sticker_array())


# --- piece lists and binary strings ----------------------------------------


def test_solved_piece_lists():
    solved_corners = [(p, 0) for p in range(8)]
    assert Cube3x3().get_corners() == solved_corners
    assert Cube2x2().get_corners() == solved_corners
    assert Cube3x3().get_edges() == [(p, 0) for p in range(12)]


def test_piece_lists_after_u(cube_cls):
    cube = fresh(cube_cls, [U])
    assert cube.get_corners() == [(3, 0), (0, 0), (1, 0), (2, 0), (4, 0), (5, 0), (6, 0), (7, 0)]
    if cube_cls is Cube3x3:
        assert cube.get_edges() == [(3, 0), (0, 0), (1, 0), (2, 0)] + [(p, 0) for p in range(4, 12)]


def test_piece_lists_show_twist_and_flip_after_f():
    cube = fresh(Cube3x3, [F])
    assert cube.get_corners() == [(0, 0), (1, 0), (3, 1), (7, 2), (4, 0), (5, 0), (2, 2), (6, 1)]
    edges = cube.get_edges()
    assert [edges[s] for s in (2, 6, 10, 11)] == [(11, 1), (10, 1), (2, 1), (6, 1)]
    assert all(flip == 0 for s, (_, flip) in enumerate(edges) if s not in (2, 6, 10, 11))


def test_solved_binary_strings():
    corners = "0" * 26 + format(SOLVED_CORNERS, "b")
    edges = "0" * 5 + format(SOLVED_EDGES, "b")
    assert len(format(SOLVED_CORNERS, "b")) == 38 and len(format(SOLVED_EDGES, "b")) == 59
    cube = Cube3x3()
    assert cube.to_binary_corners() == corners
    assert cube.to_binary_edges() == edges
    assert cube.to_binary() == (corners, edges)
    assert Cube2x2().to_binary() == corners


@pytest.mark.parametrize("indexes", [[], [F], [B, L, F, R], [D] * 3 + [B] * 5])
def test_binary_strings_are_64_digits_of_the_words(indexes):
    cube = fresh(Cube3x3, indexes)
    corners, edges = cube.to_binary()
    for text, word in ((corners, cube.corners), (edges, edge_word(cube))):
        assert len(text) == 64 and set(text) <= {"0", "1"}
        assert int(text, 2) == word
    assert corners.startswith("0" * 24) and edges.startswith("0" * 4)
    small = fresh(Cube2x2, indexes)
    assert small.to_binary() == corners and int(small.to_binary(), 2) == small.state


def test_views_return_new_objects(cube_cls):
    cube = fresh(cube_cls, [R])
    corners = cube.get_corners()
    corners.clear()
    assert len(cube.get_corners()) == 8
    assert cube.get_corners() is not cube.get_corners()
    if cube_cls is Cube3x3:
        cube.get_edges().append(None)
        assert len(cube.get_edges()) == 12
        assert cube.to_binary() is not cube.to_binary()


# --- rendering -----------------------------------------------------------


def test_solved_3x3_net():
    lines = (["       W W W"] * 3 + ["O O O  G G G  R R R  B B B"] * 3 + ["       Y Y Y"] * 3)
    assert strip_ansi(str(Cube3x3())) == "".join(line + "\n" for line in lines)


def test_solved_2x2_net():
    lines = ["      W W"] * 2 + ["O O   G G   R R   B B"] * 2 + ["      Y Y"] * 2
    assert strip_ansi(str(Cube2x2())) == "".join(line + "\n" for line in lines)


def test_net_after_u_shifts_the_top_row_of_the_side_faces():
    lines = strip_ansi(str(fresh(Cube3x3, [U]))).split("\n")
    assert lines[3] == "G G G  R R R  B B B  O O O"
    assert lines[4] == lines[5] == "O O O  G G G  R R R  B B B"


@pytest.mark.parametrize("code", range(6), ids=list(LETTERS))
def test_exact_escape_sequences(code):
    sticker = OPENINGS[code] + LETTERS[code] + RESET
    assert len(sticker.encode()) == (16 if LETTERS[code] == "O" else 12)
    assert sticker in str(Cube3x3()) and sticker in str(Cube2x2())


@pytest.mark.parametrize("indexes", [[], [U], [F, R, B, L, D], [R, U, RP, UP] * 3])
def test_rendering_lengths_and_line_feeds(cube_cls, indexes):
    text = str(fresh(cube_cls, indexes))
    assert len(text) == (789 if cube_cls is Cube3x3 else 364)
    assert text.endswith("\n")
    assert text.count("\n") == (9 if cube_cls is Cube3x3 else 6)
    assert all(line == line.rstrip(" ") for line in text.split("\n"))
    assert text == reference_render(fresh(cube_cls, indexes).to_sticker_array())


# --- move strings --------------------------------------------------------

TOKENS = {
    "U": [U], "U'": [UP], "U!": [UP], "U2": [U, U],
    "D": [D], "D'": [DP], "D!": [DP], "D2": [D, D],
    "R": [R], "R'": [RP], "R!": [RP], "R2": [R, R],
    "L": [L], "L'": [LP], "L!": [LP], "L2": [L, L],
    "F": [F], "F'": [FP], "F!": [FP], "F2": [F, F],
    "B": [B], "B'": [BP], "B!": [BP], "B2": [B, B],
}


@pytest.mark.parametrize("token", TOKENS)
def test_every_token(cube_cls, token):
    # From a scrambled start so that an inverted or wrong-face turn cannot hide.
    start = [R, F, D, L, B, UP, F]
    cube = fresh(cube_cls, start)
    assert cube.do_moves(token) is None
    assert words(cube) == words(fresh(cube_cls, start + TOKENS[token]))


@pytest.mark.parametrize("text, indexes", [
    ("R U R' U'", [R, U, RP, UP]),
    ("R! U!", [RP, UP]),
    ("  R\tU\nR'  U' ", [R, U, RP, UP]),
    ("U2 D2 R2 L2 F2 B2", [U, U, D, D, R, R, L, L, F, F, B, B]),
    ("U' x R", [UP, R]),
    ("R \x00 U", [R, U]),
    ("F u Uw M x U3 UU U'' U2' U'2 U\u2019 r B", [F, B]),
])
def test_move_strings(cube_cls, text, indexes):
    cube = cube_cls()
    cube.do_moves(text)
    assert words(cube) == words(fresh(cube_cls, indexes))


@pytest.mark.parametrize("text", [
    "", "   ", "\t\n", "u", "Uw", "M", "x", "y", "z", "E", "S", "U3", "UU", "U''", "U2'", "U'2",
    "U\u2019", "U\x1cR", "U\x1dR", "U\x1eR", "U\x1fR", "R\u200bU", "U\x00R", "R\x00", "'", "2",
    "!", "UR", "R2R", "ＵR", "u' r2 f!",
], ids=repr)
def test_strings_that_apply_nothing(cube_cls, text):
    cube = cube_cls()
    assert cube.do_moves(text) is None
    assert cube.is_solved()


WHITESPACE = ["\t", "\n", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680",
              *[chr(c) for c in range(0x2000, 0x200B)], "\u2028", "\u2029", "\u202f",
              "\u205f", "\u3000"]


@pytest.mark.parametrize("space", WHITESPACE, ids=lambda s: f"U+{ord(s):04X}")
def test_every_whitespace_character_separates_tokens(space):
    cube = Cube3x3()
    cube.do_moves(space + "R" + space + space + "U'" + space)
    assert words(cube) == words(fresh(Cube3x3, [R, UP]))


@pytest.mark.parametrize("text", ["U U U U", "U U'", "U2 U2", "R2 R2", "F F'", "B! B"])
def test_strings_that_return_to_the_start(cube_cls, text):
    cube = fresh(cube_cls, [L, D, F])
    cube.do_moves(text)
    assert words(cube) == words(fresh(cube_cls, [L, D, F]))


def test_same_string_gives_same_corners_on_both_sizes():
    text = "R U2 F' L! D B2 R' U L2 F2 D'"
    big, small = Cube3x3(), Cube2x2()
    big.do_moves(text)
    small.do_moves(text)
    assert big.corners == small.state != SOLVED_CORNERS


# --- inverse_scramble ------------------------------------------------------

INVERSIONS = [
    ("R U R' U'", "U'' R'' U' R'"),
    ("R U F", "F' U' R'"),
    ("U2 R", "R' U'2"),
    ("", ""),
    (" \t\n\u3000 ", ""),
    ("  R\tU  ", "U' R'"),
    ("U! x Uw", "Uw x U!"),
    ("R U", "U' R'"),
    ("U' R'", "R'' U''"),
    ("R''", "R'"),
    ("D L B", "B' L' D'"),
    ("U'", "U''"), ("U2", "U'2"), ("U''", "U'"), ("U'2", "U2"), ("U!", "U!"),
    ("'", "'"), ("2", "2"), ("R2'", "R2'"),
    ("u", "u"), ("Uw", "Uw"), ("x", "x"), ("M", "M"), ("U3", "U3"), ("UU", "UU"), ("''", "''"),
    ("R\u2003F\u00a0B", "B' F' R'"),
    ("R\u200bU", "R\u200bU"),
    ("é R", "R' é"),
]


@pytest.mark.parametrize("text, expected", INVERSIONS, ids=[repr(t) for t, _ in INVERSIONS])
def test_inverse_scramble(text, expected):
    assert inverse_scramble(text) == expected


def test_inverse_scramble_leaves_its_argument_alone():
    text = " ".join("RUF")   # made now: a literal would be the very object compared with
    result = inverse_scramble(text)
    assert text == "R U F" and result is not text


@pytest.mark.parametrize("text", ["R U F D L B", "U U U", "F\tL\u3000D"])
def test_inverse_of_plain_letters_undoes_through_do_moves(cube_cls, text):
    cube = cube_cls()
    cube.do_moves(text)
    cube.do_moves(inverse_scramble(text))
    assert cube.is_solved()


# --- scrambles ----------------------------------------------------------------


def test_default_scramble_is_twenty_turns(cube_cls, np):
    unsolved = 0
    for _ in range(20):
        cube = cube_cls()
        assert cube.scramble() is None
        assert corner_parity(cube) == 0   # an even number of turns
        unsolved += not cube.is_solved()
    # A 20-turn walk returns home now and then (about once in 10**5 on the
    # 2x2), but never twenty times running.
    assert unsolved > 0

    # Parity leaves the even lengths. Of those, 20 must be the one under which
    # the corners seen after many default scrambles are likeliest, judged by
    # the exact distributions of three corners of the U face after 2..40 turns.
    tracked, count = (0, 1, 2), 150_000
    walks = corner_walk(tracked, 40)
    lengths = range(2, 41, 2)
    word = operator.attrgetter("corners" if cube_cls is Cube3x3 else "state")
    corner_words = []
    for _ in range(count):
        cube = cube_cls()
        cube.scramble()
        corner_words.append(word(cube))
    seen = np.bincount(corner_walk_states(np.array(corner_words, dtype=np.uint64), tracked),
                       minlength=len(walks[0]))
    where = seen > 0
    with np.errstate(divide="ignore"):   # a state no walk of that length reaches
        log_likelihood = {n: seen[where] @ np.log(walks[n][where]) for n in lengths}
    assert max(log_likelihood, key=log_likelihood.get) == 20, log_likelihood
    # Chernoff: with independent scrambles, a length n comes out at least as
    # likely as the true 20 with probability at most (sum of sqrt(P20 * Pn))
    # ** count, and 20 at least as likely as a true n with the same bound.
    # Summed over n that is 6e-16, nearly all of it from 22: the chance that
    # this test fails by accident, or passes with a default of 18 or 22.
    bound = sum(np.sqrt(walks[20] * walks[n]).sum() ** count for n in lengths if n != 20)
    assert bound < 1e-12


@pytest.mark.parametrize("length", [1, 3, 5, 21])
def test_odd_lengths_never_solve(cube_cls, length):
    for _ in range(30):
        cube = cube_cls()
        cube.scramble(length)
        assert not cube.is_solved()
        assert corner_parity(cube) == 1


def test_scramble_one_is_uniform_over_the_twelve_turns(cube_cls):
    outcomes = {words(fresh(cube_cls, [m])): m for m in range(12)}
    assert len(outcomes) == 12
    trials = 2400
    counts = collections.Counter()
    for _ in range(trials):
        cube = cube_cls()
        cube.scramble(1)
        counts[outcomes[words(cube)]] += 1
    expected = trials / 12
    chi_square = sum((counts[m] - expected) ** 2 / expected for m in range(12))
    # 11 degrees of freedom; 80 lies far beyond any plausible random deviation.
    assert chi_square < 80, counts


def test_scramble_two_returns_to_solved_about_one_time_in_twelve(cube_cls):
    solved = 0
    for _ in range(1200):
        cube = cube_cls()
        cube.scramble(2)
        solved += cube.is_solved()
    # expected 100 in 1200, standard deviation under 10
    assert 40 < solved < 170


def test_two_fresh_cubes_end_in_different_states(cube_cls):
    first, second = cube_cls(), cube_cls()
    first.scramble(60)
    second.scramble(60)
    assert words(first) != words(second)

"""Properties over random move sequences."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import turnsmith
from cubehelpers import (
    CORNER_POSITIONS_3, MOVE_METHODS, SOLVED_CORNERS, corner_parity, edge_word,
    fresh, permutation_parity, reference_render, reference_stickers, reference_words,
    strip_ansi, words,
)
from turnsmith import Cube2x2, Cube3x3

move_index = st.integers(0, 11)
sequences = st.lists(move_index, max_size=40)
cube_classes = st.sampled_from([Cube3x3, Cube2x2])

MARKS = {"": lambda i: [i], "'": lambda i: [i + 1], "!": lambda i: [i + 1], "2": lambda i: [i, i]}
FACES = "UDRLFB"
token = st.tuples(st.sampled_from(FACES), st.sampled_from(sorted(MARKS)))
junk = st.sampled_from(["u", "Uw", "M", "x", "U3", "UU", "U''", "U'2", "R2'", "\u200b", "é"])
separator = st.text(alphabet=" \t\n\u00a0\u2003\u3000\u2028", min_size=1, max_size=3)


@given(cube_classes, sequences, move_index)
def test_turn_then_partner_is_identity(cls, indexes, index):
    cube = fresh(cls, indexes)
    before = words(cube)
    getattr(cube, MOVE_METHODS[index])()
    assert words(cube) != before
    getattr(cube, MOVE_METHODS[index ^ 1])()
    assert words(cube) == before


@given(cube_classes, sequences, move_index)
def test_four_quarter_turns_are_identity(cls, indexes, index):
    cube = fresh(cls, indexes)
    before = words(cube)
    seen = set()
    for _ in range(4):
        seen.add(words(cube))
        getattr(cube, MOVE_METHODS[index])()
    assert words(cube) == before
    assert len(seen) == 4


@given(sequences)
def test_words_follow_the_move_table(indexes):
    assert words(fresh(Cube3x3, indexes)) == reference_words(indexes)


@given(sequences)
def test_2x2_word_equals_3x3_corner_word(indexes):
    assert fresh(Cube2x2, indexes).state == fresh(Cube3x3, indexes).corners


@given(sequences)
def test_piece_invariants_hold_after_any_turns(indexes):
    cube = fresh(Cube3x3, indexes)
    corners, edges = cube.get_corners(), cube.get_edges()
    assert sorted(p for p, _ in corners) == list(range(8))
    assert sorted(p for p, _ in edges) == list(range(12))
    assert all(t in (0, 1, 2) for _, t in corners)
    assert sum(t for _, t in corners) % 3 == 0
    assert sum(f for _, f in edges) % 2 == 0
    parity = len(indexes) % 2
    assert corner_parity(cube) == parity
    assert permutation_parity([p for p, _ in edges]) == parity
    assert cube.corners >> 40 == 0 and edge_word(cube) >> 60 == 0
    assert cube.is_solved() == (words(cube) == (SOLVED_CORNERS, 0x5A928398A418820))


@given(cube_classes, sequences)
def test_views_agree_with_each_other(cls, indexes):
    cube = fresh(cls, indexes)
    stickers = cube.to_sticker_array()
    assert stickers == reference_stickers(cube)
    assert all(stickers.count(colour) == len(stickers) // 6 for colour in range(6))
    text = str(cube)
    assert text == reference_render(stickers)
    assert len(text) == (789 if cls is Cube3x3 else 364)
    assert strip_ansi(text).replace(" ", "").replace("\n", "") != ""


@given(sequences)
def test_2x2_stickers_are_the_3x3_corner_stickers(indexes):
    big = fresh(Cube3x3, indexes).to_sticker_array()
    assert fresh(Cube2x2, indexes).to_sticker_array() == [big[i] for i in CORNER_POSITIONS_3]


@given(cube_classes, sequences, st.lists(st.one_of(token, junk), max_size=20), st.data())
def test_do_moves_agrees_with_single_turns(cls, start, items, data):
    pieces, expected = [], list(start)
    for item in items:
        if isinstance(item, tuple):
            face, mark = item
            pieces.append(face + mark)
            expected += MARKS[mark](2 * FACES.index(face))
        else:
            pieces.append(item)
    text = data.draw(separator) if items else ""
    for piece in pieces:
        text += piece + data.draw(separator)
    cube = fresh(cls, start)
    cube.do_moves(text)
    assert words(cube) == words(fresh(cls, expected))


@given(cube_classes, sequences, st.lists(st.sampled_from(FACES), max_size=30), separator)
def test_inverse_of_single_letters_undoes_them(cls, start, letters, space):
    cube = fresh(cls, start)
    before = words(cube)
    text = space.join(letters)
    cube.do_moves(text)
    inverse = turnsmith.inverse_scramble(text)
    assert inverse == " ".join(letter + "'" for letter in reversed(letters))
    cube.do_moves(inverse)
    assert words(cube) == before


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2], ids=lambda c: c.__name__)
@given(length=st.integers(-3, 40))
def test_scramble_parity_follows_length(cls, length):
    cube = cls()
    cube.scramble(length)
    assert corner_parity(cube) == max(length, 0) % 2
    if length <= 0 or length % 2:
        assert cube.is_solved() == (length <= 0)

"""Shared constants and independent oracles for the Python tests.

The oracles are written from the published move and sticker tables (slot
cycles, twist gains, facet positions), one row per turn or slot, so they can
check the packed words and the views of any reachable state, not only the few
states reached from solved by one turn.
"""

import importlib.util
import os
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import turnsmith

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

SOLVED_CORNERS = 0x398A418820
SOLVED_EDGES = 0x5A928398A418820

MOVE_METHODS = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]
CUBE_CLASSES = [turnsmith.Cube3x3, turnsmith.Cube2x2]
STICKER_DIM = {turnsmith.Cube3x3: 54, turnsmith.Cube2x2: 24}
BATCH_TYPE = {turnsmith.Cube3x3: 3, turnsmith.Cube2x2: 2}

# --- packed words ----------------------------------------------------------


def edge_word(cube):
    return int(cube.to_binary_edges(), 2)


def words(cube):
    """Every packed word of a cube, comparable across cubes of one class."""
    if isinstance(cube, turnsmith.Cube3x3):
        return (cube.corners, edge_word(cube))
    return (cube.state,)


def fresh(cls, indexes=()):
    """A new cube given the single-turn methods of `indexes` in order."""
    cube = cls()
    for index in indexes:
        getattr(cube, MOVE_METHODS[index])()
    return cube


def permutation_parity(pieces):
    """0 for an even arrangement, 1 for an odd one."""
    seen = [False] * len(pieces)
    parity = 0
    for start in range(len(pieces)):
        length = 0
        slot = start
        while not seen[slot]:
            seen[slot] = True
            slot = pieces[slot]
            length += 1
        if length:
            parity ^= (length - 1) & 1
    return parity


def corner_parity(cube):
    """Every quarter turn is one 4-cycle of corners, so this is the parity
    of the number of quarter turns a cube has received."""
    return permutation_parity([piece for piece, _ in cube.get_corners()])


def word_corner_parity(word):
    """corner_parity of the cube whose corner word (an int or a NumPy integer) is given."""
    return permutation_parity([(int(word) >> 5 * slot) & 7 for slot in range(8)])


# --- reference turns -------------------------------------------------------

# (new slot, old slot, twist gained) for the corners, (new, old) for the edges,
# and whether the four moved edges flip; one row per move index.
_TURNS = [
    ([(0, 3, 0), (1, 0, 0), (2, 1, 0), (3, 2, 0)], [(0, 3), (1, 0), (2, 1), (3, 2)], False),
    ([(0, 1, 0), (1, 2, 0), (2, 3, 0), (3, 0, 0)], [(0, 1), (1, 2), (2, 3), (3, 0)], False),
    ([(4, 5, 0), (5, 6, 0), (6, 7, 0), (7, 4, 0)], [(4, 5), (5, 6), (6, 7), (7, 4)], False),
    ([(4, 7, 0), (5, 4, 0), (6, 5, 0), (7, 6, 0)], [(4, 7), (5, 4), (6, 5), (7, 6)], False),
    ([(1, 2, 1), (2, 6, 2), (5, 1, 2), (6, 5, 1)], [(1, 10), (5, 9), (9, 1), (10, 5)], False),
    ([(1, 5, 1), (2, 1, 2), (5, 6, 2), (6, 2, 1)], [(1, 9), (5, 10), (9, 5), (10, 1)], False),
    ([(0, 4, 2), (3, 0, 1), (4, 7, 1), (7, 3, 2)], [(3, 8), (7, 11), (8, 7), (11, 3)], False),
    ([(0, 3, 2), (3, 7, 1), (4, 0, 1), (7, 4, 2)], [(3, 11), (7, 8), (8, 3), (11, 7)], False),
    ([(2, 3, 1), (3, 7, 2), (6, 2, 2), (7, 6, 1)], [(2, 11), (6, 10), (10, 2), (11, 6)], True),
    ([(2, 6, 1), (3, 2, 2), (6, 7, 2), (7, 3, 1)], [(2, 10), (6, 11), (10, 6), (11, 2)], True),
    ([(0, 1, 1), (1, 5, 2), (4, 0, 2), (5, 4, 1)], [(0, 9), (4, 8), (8, 0), (9, 4)], True),
    ([(0, 4, 1), (1, 0, 2), (4, 5, 2), (5, 1, 1)], [(0, 8), (4, 9), (8, 4), (9, 0)], True),
]


def _slots(word, count):
    return [(word >> (5 * s)) & 31 for s in range(count)]


def _pack(fields):
    return sum(field << (5 * s) for s, field in enumerate(fields))


def reference_turn(corners, edges, index):
    """The words after move `index`; indexes of 12 and above change nothing."""
    if not 0 <= index < 12:
        return corners, edges
    corner_moves, edge_moves, flips = _TURNS[index]
    old_c, new_c = _slots(corners, 8), _slots(corners, 8)
    for new, old, gain in corner_moves:
        piece, twist = old_c[old] & 7, old_c[old] >> 3
        new_c[new] = piece | (((twist + gain) % 3) << 3)
    old_e, new_e = _slots(edges, 12), _slots(edges, 12)
    for new, old in edge_moves:
        new_e[new] = old_e[old] ^ (16 if flips else 0)
    return _pack(new_c), _pack(new_e)


def reference_words(indexes, cls=turnsmith.Cube3x3):
    corners, edges = SOLVED_CORNERS, SOLVED_EDGES
    for index in indexes:
        corners, edges = reference_turn(corners, edges, index)
    return (corners, edges) if cls is turnsmith.Cube3x3 else (corners,)


# --- random walks ----------------------------------------------------------


def corner_walk(pieces, longest):
    """Exact distributions of the slots and twists of the corner pieces
    `pieces` after 0, 1, ..., `longest` turns drawn uniformly from the twelve,
    starting solved: one array per length, indexed by `corner_walk_states`.

    A turn carries each corner by its slot alone, whatever the others do, so
    the tracked pieces form a Markov chain of their own and the arrays are
    computed exactly, not sampled. Pieces that share a face keep their
    relative places longest, so three of one face tell walk lengths apart
    better than the single pieces or the whole permutation do."""
    import numpy as np

    n = len(pieces)
    slot_weights = 8 ** np.arange(n)
    twist_weights = 8 ** n * 3 ** np.arange(n)
    states = np.arange(8 ** n * 3 ** n)
    slots = states[:, None] // slot_weights % 8
    twists = states[:, None] // twist_weights % 3
    successors = []
    for corner_moves, _, _ in _TURNS:
        to_slot, gain = np.arange(8), np.zeros(8, dtype=np.int64)
        for new, old, added in corner_moves:
            to_slot[old], gain[old] = new, added
        successors.append(to_slot[slots] @ slot_weights
                          + (twists + gain[slots]) % 3 @ twist_weights)
    walk = np.zeros(len(states))
    walk[np.array(pieces) @ slot_weights] = 1.0    # piece p starts home in slot p
    walks = [walk]
    for _ in range(longest):
        walk = sum(np.bincount(s, weights=walk, minlength=len(states)) for s in successors) / 12
        walks.append(walk)
    return walks


def corner_walk_states(corner_words, pieces):
    """The state of the tracked `pieces` in each word of a uint64 array of
    corner words, numbered as `corner_walk` numbers them."""
    import numpy as np

    shifts = 5 * np.arange(8, dtype=np.uint64)
    fields = ((corner_words[:, None] >> shifts) & np.uint64(31)).astype(np.int64)
    slots = np.stack([np.argmax(fields & 7 == piece, axis=1) for piece in pieces], axis=1)
    twists = np.take_along_axis(fields >> 3, slots, axis=1)
    n = len(pieces)
    return slots @ 8 ** np.arange(n) + twists @ (8 ** n * 3 ** np.arange(n))


# --- reference sticker projection ------------------------------------------

# Sticker index of facets 0, 1, 2 of each corner slot, and of facets 0, 1 of
# each edge slot, on the 3x3; the 2x2 uses the corner positions of each face.
CORNER_FACETS_3 = [(0, 47, 36), (2, 11, 45), (8, 20, 9), (6, 38, 18),
                   (33, 42, 53), (35, 51, 17), (29, 15, 26), (27, 24, 44)]
CORNER_FACETS_2 = [(0, 21, 16), (1, 5, 20), (3, 9, 4), (2, 17, 8),
                   (14, 18, 23), (15, 22, 7), (13, 6, 11), (12, 10, 19)]
EDGE_FACETS = [(1, 46), (5, 10), (7, 19), (3, 37), (34, 52), (32, 16),
               (28, 25), (30, 43), (50, 39), (48, 14), (23, 12), (21, 41)]
CORNER_COLOURS = [(0, 5, 4), (0, 1, 5), (0, 2, 1), (0, 4, 2),
                  (3, 4, 5), (3, 5, 1), (3, 1, 2), (3, 2, 4)]
EDGE_COLOURS = [(0, 5), (0, 1), (0, 2), (0, 4), (3, 5), (3, 1), (3, 2), (3, 4),
                (5, 4), (5, 1), (2, 1), (2, 4)]
# Sticker k of a 2x2 face sits where sticker 0, 2, 6 or 8 of the 3x3 face does.
CORNER_POSITIONS_3 = [9 * face + k for face in range(6) for k in (0, 2, 6, 8)]


def reference_stickers(cube):
    """Sticker colours computed from the piece lists of the cube itself."""
    three = isinstance(cube, turnsmith.Cube3x3)
    stickers = [None] * (54 if three else 24)
    facets = CORNER_FACETS_3 if three else CORNER_FACETS_2
    for slot, (piece, twist) in enumerate(cube.get_corners()):
        for facet, index in enumerate(facets[slot]):
            stickers[index] = CORNER_COLOURS[piece][(twist % 3 + facet) % 3]
    if three:
        for slot, (piece, flip) in enumerate(cube.get_edges()):
            for facet, index in enumerate(EDGE_FACETS[slot]):
                stickers[index] = EDGE_COLOURS[piece][flip ^ facet]
        for face in range(6):
            stickers[9 * face + 4] = face
    return stickers


# --- terminal rendering ----------------------------------------------------

LETTERS = "WRGYOB"
OPENINGS = ["\x1b[37;1m", "\x1b[31;1m", "\x1b[32;1m", "\x1b[33;1m",
            "\x1b[38;5;208m", "\x1b[34;1m"]
RESET = "\x1b[0m"
_ESCAPE = re.compile("\x1b\\[[0-9;]*m")


def strip_ansi(text):
    return _ESCAPE.sub("", text)


def reference_render(stickers):
    """The coloured net of a sticker list (54 or 24 codes)."""
    side = 3 if len(stickers) == 54 else 2
    indent, gap = (" " * 7, "  ") if side == 3 else (" " * 6, "   ")
    coloured = [OPENINGS[c] + LETTERS[c] + RESET for c in stickers]
    per_face = side * side

    def row(face, r):
        start = per_face * face + side * r
        return " ".join(coloured[start:start + side])

    u, r_, f, d, l, b = range(6)
    lines = [indent + row(u, r) for r in range(side)]
    lines += [gap.join(row(face, r) for face in (l, f, r_, b)) for r in range(side)]
    lines += [indent + row(d, r) for r in range(side)]
    return "".join(line + "\n" for line in lines)


# --- reading states back from views -----------------------------------------

_CORNER_BY_FACETS = {
    tuple(colours[(twist + facet) % 3] for facet in range(3)): (piece, twist)
    for piece, colours in enumerate(CORNER_COLOURS) for twist in range(3)
}
_EDGE_BY_FACETS = {
    (colours[flip], colours[flip ^ 1]): (piece, flip)
    for piece, colours in enumerate(EDGE_COLOURS) for flip in range(2)
}


def pieces_from_stickers(stickers):
    """The piece lists that `reference_stickers` projects to these stickers:
    (corner pairs, edge pairs), edge pairs None for the 24 stickers of a 2x2.
    Raises ValueError for a facet group that no piece shows or a misplaced
    centre, so any array that is not a projection of some state is caught."""
    stickers = [int(s) for s in stickers]
    three = len(stickers) == 54
    if not three and len(stickers) != 24:
        raise ValueError(f"{len(stickers)} stickers")
    corners = []
    for slot, facets in enumerate(CORNER_FACETS_3 if three else CORNER_FACETS_2):
        seen = tuple(stickers[i] for i in facets)
        if seen not in _CORNER_BY_FACETS:
            raise ValueError(f"corner slot {slot} shows colours {seen}")
        corners.append(_CORNER_BY_FACETS[seen])
    if not three:
        return corners, None
    if [stickers[9 * face + 4] for face in range(6)] != list(range(6)):
        raise ValueError("centres out of place")
    edges = []
    for slot, facets in enumerate(EDGE_FACETS):
        seen = tuple(stickers[i] for i in facets)
        if seen not in _EDGE_BY_FACETS:
            raise ValueError(f"edge slot {slot} shows colours {seen}")
        edges.append(_EDGE_BY_FACETS[seen])
    return corners, edges


def unpack_corners(word):
    return [(field & 7, field >> 3) for field in _slots(word, 8)]


def unpack_edges(word):
    return [(field & 15, field >> 4) for field in _slots(word, 12)]


def pack_corners(pairs):
    return _pack([piece | twist << 3 for piece, twist in pairs])


def pack_edges(pairs):
    return _pack([piece | flip << 4 for piece, flip in pairs])


def piece_problems(corners=None, edges=None):
    """Descriptions of every broken state invariant of the piece lists given
    (either may be None); empty for a state that turns can reach. The parity
    rule is checked only when both lists are given."""
    problems = []
    corner_pieces = edge_pieces = None
    if corners is not None:
        pieces = [piece for piece, _ in corners]
        twists = [twist for _, twist in corners]
        if sorted(pieces) == list(range(8)):
            corner_pieces = pieces
        else:
            problems.append(f"corner pieces {pieces} are not a permutation of 0..7")
        if any(t not in (0, 1, 2) for t in twists) or sum(twists) % 3:
            problems.append(f"corner twists {twists} do not sum to 0 mod 3")
    if edges is not None:
        pieces = [piece for piece, _ in edges]
        flips = [flip for _, flip in edges]
        if sorted(pieces) == list(range(12)):
            edge_pieces = pieces
        else:
            problems.append(f"edge pieces {pieces} are not a permutation of 0..11")
        if any(f not in (0, 1) for f in flips) or sum(flips) % 2:
            problems.append(f"edge flips {flips} do not sum to 0 mod 2")
    if (corner_pieces is not None and edge_pieces is not None
            and permutation_parity(corner_pieces) != permutation_parity(edge_pieces)):
        problems.append("corner and edge permutations differ in parity")
    return problems


# --- packed words as data -----------------------------------------------------


def word_rows(array):
    """The rows of a to_words() array as tuples of ints, comparable with words()."""
    return [tuple(row) if array.ndim == 2 else (row,) for row in array.tolist()]


def word_problems(state):
    """Every rule that a tuple of words (corners[, edges]) breaks, as piece_problems
    describes them, plus bits set above the last slot; empty for a reachable state."""
    corners, edges = state[0], state[1] if len(state) == 2 else None
    problems = piece_problems(unpack_corners(corners & (1 << 40) - 1),
                              None if edges is None else unpack_edges(edges & (1 << 60) - 1))
    if corners >> 40:
        problems.append("corner word has bits above slot 7")
    if edges is not None and edges >> 60:
        problems.append("edge word has bits above slot 11")
    return problems


# --- other processes ----------------------------------------------------------


def run_script(script, **env_changes):
    """The stripped output of `script` (indented text) run by this interpreter
    in a new process whose RAYON_ variables are only those given."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_changes)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def require_extra(extra, *modules):
    """Skips the calling test (or module, called at its top) unless the
    modules of an optional extra are importable. The test command installs
    the extras: under CI their absence is a broken set-up, which fails the
    test instead."""
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    if not missing:
        return
    if os.environ.get("CI") == "true":
        pytest.fail(f"{', '.join(missing)} not importable, though the test environment installs the {extra} extra")
    pytest.skip(f"needs the {extra} extra ({', '.join(missing)} not importable): pip install '.[{extra}]'",
                allow_module_level=True)


def require_dask():
    """Dask and its distributed scheduler, which the examples import."""
    require_extra("dask", "dask", "distributed")


def require_gymnasium():
    """Gymnasium, which turnsmith_gym and its example import."""
    require_extra("gym", "gymnasium")

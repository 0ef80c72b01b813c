"""Argument binding, conversion messages, and the exception classes."""

import inspect
import re

import pytest

import turnsmith
from cubehelpers import (
    BATCH_TYPE, SOLVED_CORNERS, STICKER_DIM, corner_parity, fresh, words,
)
from turnsmith import Cube2x2, Cube3x3, CubeBatch


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


def batch_array(np, values, dtype="int64"):
    return np.array(values, dtype=dtype)


# --- binding -------------------------------------------------------------

# The branches of the binder that test_every_binder_agrees_with_its_text_signature
# below does not reach, in CPython's wording of these errors.
BINDING_CASES = [
    # the positional count is tested before any keyword
    (lambda: Cube3x3().do_moves("U", "R", bogus=1), "Cube3x3.do_moves() takes 1 positional arguments but 2 were given"),
    # keywords match case-sensitively; one that is no UTF-8 matches nothing
    (lambda: Cube3x3().do_moves(Moves="U"), "Cube3x3.do_moves() got an unexpected keyword argument 'Moves'"),
    (lambda: Cube3x3().do_moves(**{"\ud800": "U"}), "Cube3x3.do_moves() got an unexpected keyword argument '\ud800'"),
    # the missing values leave out those a keyword filled
    (lambda: CubeBatch(cube_type=3), "CubeBatch.__new__() missing 1 required positional argument: 'count'"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES, ids=[ascii(m) for _, m in BINDING_CASES])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def readable_signature(call):
    """None where inspect reads none (test_module fails those)."""
    try:
        return inspect.signature(call)
    except ValueError:
        return None


def binders():
    """(name in messages, callable, signature) of every constructor, function
    and method that takes arguments; the methods bound to an instance."""
    instances = [Cube3x3(), Cube2x2(), CubeBatch(1, 3), turnsmith.StateSet(3)]
    found = [(f"{type(obj).__name__}.__new__", type(obj)) for obj in instances]
    found += [(name, getattr(turnsmith, name)) for name in dir(turnsmith)
              if callable(getattr(turnsmith, name)) and not isinstance(getattr(turnsmith, name), type)]
    found += [(f"{type(obj).__name__}.{name}", getattr(obj, name)) for obj in instances
              for name in dir(type(obj)) if not name.startswith("__") and callable(getattr(obj, name))]
    signed = [(name, call, readable_signature(call)) for name, call in found]
    return [row for row in signed if row[2] and (row[2].parameters or row[0].endswith(".__new__"))]


def missing_listing(names):
    """CPython's list of missing parameters: 'a', 'a' and 'b', or 'a', 'b', and 'c'."""
    quoted = [f"'{name}'" for name in names]
    return " and ".join(quoted) if len(quoted) < 3 else ", ".join(quoted[:-1]) + ", and " + quoted[-1]


BINDERS = binders()


@pytest.mark.parametrize("name, call, signature", BINDERS, ids=[name for name, _, _ in BINDERS])
def test_every_binder_agrees_with_its_text_signature(name, call, signature):
    """Each callable states its parameters twice, for binding and for inspect:
    the two must agree on the names, their order and which are required."""
    def refused(*args, **kwargs):
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        assert type(info.value) is TypeError
        return str(info.value)

    names = list(signature.parameters)
    required = [p.name for p in signature.parameters.values() if p.default is p.empty]
    counts = str(len(names)) if len(required) == len(names) else f"from {len(required)} to {len(names)}"
    given = f"{len(names) + 1} {'were' if names else 'was'}"
    assert refused(*[None] * (len(names) + 1)) == f"{name}() takes {counts} positional arguments but {given} given"
    assert refused(unknown=None) == f"{name}() got an unexpected keyword argument 'unknown'"
    if required:
        plural = "s" if len(required) > 1 else ""
        assert refused() == (f"{name}() missing {len(required)} required positional argument{plural}: "
                             + missing_listing(required))
    for p in names:
        assert refused(*[None] * len(names), **{p: None}) == f"{name}() got multiple values for argument '{p}'"


def _moves_by_name(cls):
    by_name, by_position = cls(), cls()
    by_name.do_moves(moves="R U F'")
    by_position.do_moves("R U F'")
    assert words(by_name) == words(by_position) != words(cls())


def _scramble_length_by_name(cls):
    cube = cls()
    cube.scramble(scramble_length=0)
    assert cube.is_solved()
    cube.scramble(scramble_length=1)
    assert not cube.is_solved() and corner_parity(cube) == 1


def _count_and_cube_type_by_name(cls):
    # Named in the other order than declared: only the names bind them right.
    count = 2 if cls is Cube3x3 else 5
    batch = CubeBatch(cube_type=BATCH_TYPE[cls], count=count)
    assert len(batch) == count
    assert [type(c) for c in batch] == [cls] * count
    assert [len(c.to_sticker_array()) for c in batch] == [STICKER_DIM[cls]] * count


def _scramble_by_name(cls):
    inverse = turnsmith.inverse_scramble(scramble="R U F")
    assert inverse == "F' U' R'"
    cube = cls()
    cube.do_moves("R U F")
    cube.do_moves(inverse)
    assert cube.is_solved()


def _cubes_by_name(cls):
    rows = turnsmith.get_next_states(cubes=[fresh(cls, [4]), cls()])
    assert rows.shape == (24, STICKER_DIM[cls])
    assert rows.tolist() == [fresh(cls, start + [move]).to_sticker_array()
                             for start in ([4], []) for move in range(12)]


BY_NAME = {
    "moves": _moves_by_name,
    "scramble_length": _scramble_length_by_name,
    "count, cube_type": _count_and_cube_type_by_name,
    "scramble": _scramble_by_name,
    "cubes": _cubes_by_name,
}


@pytest.mark.parametrize("parameter", BY_NAME)
def test_every_parameter_binds_by_name(parameter, cube_cls, np):
    BY_NAME[parameter](cube_cls)


def test_keyword_arguments_of_batch_methods(np):
    batch = CubeBatch(2, 3)
    batch.apply_move_indexes(move_indexes=np.array([4], dtype=np.uint64))
    batch.scramble(scramble_lengths=np.array([0, 1]))
    assert not batch[0].is_solved() and not batch[1].is_solved()
    assert words(batch[0]) == words(fresh(Cube3x3, [4])) and corner_parity(batch[1]) == 1


def test_failed_binding_applies_nothing():
    cube = Cube3x3()
    for call in (lambda: cube.do_moves("U", moves="R"), lambda: cube.do_moves("U", "R"),
                 lambda: cube.scramble(5, bogus=1), lambda: cube.scramble(None)):
        with pytest.raises(TypeError):
            call()
    assert cube.is_solved()


@pytest.mark.parametrize("call", [
    lambda: Cube3x3().is_solved(1),
    lambda: Cube3x3().do_u_move(1),
    lambda: Cube2x2().get_corners(x=1),
    lambda: Cube3x3().to_sticker_array(1),
    lambda: CubeBatch(1, 3).len(1),
    lambda: CubeBatch(1, 3).to_sticker_array(1),
    lambda: CubeBatch(1, 3).get_next_states(1),
], ids=["is_solved", "do_u_move", "get_corners", "to_sticker_array", "len",
        "batch.to_sticker_array", "batch.get_next_states"])
def test_methods_without_parameters_refuse_arguments(call):
    with pytest.raises(TypeError):
        call()


# --- conversion ------------------------------------------------------------

PREFIXED_CASES = [
    (lambda: Cube3x3().do_moves(5), "argument 'moves': 'int' object is not an instance of 'str'"),
    (lambda: Cube2x2().do_moves(None), "argument 'moves': 'None' is not an instance of 'str'"),
    (lambda: Cube3x3().do_moves(b"U"), "argument 'moves': 'bytes' object is not an instance of 'str'"),
    (lambda: Cube3x3().do_moves(["U"]), "argument 'moves': 'list' object is not an instance of 'str'"),
    (lambda: turnsmith.inverse_scramble(5), "argument 'scramble': 'int' object is not an instance of 'str'"),
    (lambda: turnsmith.inverse_scramble(None), "argument 'scramble': 'None' is not an instance of 'str'"),
    (lambda: turnsmith.get_next_states((Cube3x3(),)), "argument 'cubes': 'tuple' object is not an instance of 'list'"),
    (lambda: turnsmith.get_next_states(None), "argument 'cubes': 'None' is not an instance of 'list'"),
    (lambda: turnsmith.get_next_states(CubeBatch(1, 3)), "argument 'cubes': 'CubeBatch' object is not an instance of 'list'"),
    (lambda: turnsmith.get_next_states(iter([Cube3x3()])), "argument 'cubes': 'list_iterator' object is not an instance of 'list'"),
]


@pytest.mark.parametrize("call, message", PREFIXED_CASES, ids=[m for _, m in PREFIXED_CASES])
def test_type_mismatch_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


INTEGER_TYPE_ERRORS = [
    (lambda: Cube3x3().scramble(None), "scramble_length"),
    (lambda: Cube2x2().scramble(2.5), "scramble_length"),
    (lambda: Cube3x3().scramble("3"), "scramble_length"),
    (lambda: Cube3x3().scramble(RaisingIndex(TypeError("no"))), "scramble_length"),
    (lambda: CubeBatch(2.0, 3), "count"),
    (lambda: CubeBatch("2", 3), "count"),
    (lambda: CubeBatch(None, 3), "count"),
    (lambda: CubeBatch("x", 4), "count"),   # count is converted before cube_type
    (lambda: CubeBatch(2, "3"), "cube_type"),
    (lambda: CubeBatch(2, 3.0), "cube_type"),
    (lambda: CubeBatch(2, 3)[1.0], "index"),
    (lambda: CubeBatch(2, 3)[0:2], "index"),
    (lambda: CubeBatch(2, 3)["0"], "index"),
    (lambda: CubeBatch(2, 3)[None], "index"),
]


@pytest.mark.parametrize("call, name", INTEGER_TYPE_ERRORS,
                         ids=[f"{i}-{n}" for i, (_, n) in enumerate(INTEGER_TYPE_ERRORS)])
def test_integer_conversion_type_errors_carry_the_prefix(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{name}': ")
    assert len(str(info.value)) > len(f"argument '{name}': ")
    assert info.value.__cause__ is None


OVERFLOW_CASES = [
    lambda: Cube3x3().scramble(2**63),
    lambda: Cube2x2().scramble(-2**63 - 1),
    lambda: Cube3x3().scramble(Index(2**70)),
    lambda: CubeBatch(-1, 3),
    lambda: CubeBatch(2**64, 3),
    lambda: CubeBatch(-1, 4),     # count is converted before cube_type
    lambda: CubeBatch(2, -1),
    lambda: CubeBatch(2, 2**64),
    lambda: CubeBatch(2, 3)[2**63],
    lambda: CubeBatch(2, 3)[-2**63 - 1],
]


@pytest.mark.parametrize("call", OVERFLOW_CASES, ids=range(len(OVERFLOW_CASES)))
def test_overflow_passes_through_without_prefix(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument ")


@pytest.mark.parametrize("error", [ValueError("bad index"), TypeErrorSubclass("sub")],
                         ids=["ValueError", "TypeError-subclass"])
def test_only_exact_type_errors_get_the_prefix(error):
    with pytest.raises(type(error)) as info:
        Cube3x3().scramble(RaisingIndex(error))
    assert type(info.value) is type(error)
    assert str(info.value) == str(error)


@pytest.mark.parametrize("cube_type", [0, 1, 4, 2**64 - 1])
def test_unknown_cube_type(cube_type):
    with pytest.raises(TypeError) as info:
        CubeBatch(2, cube_type)
    assert str(info.value) == "unknown cube type: expected 2 or 3"


def test_integer_like_arguments_are_accepted(np):
    batch = CubeBatch(Index(3), Index(2))
    assert len(batch) == 3 and isinstance(batch[Index(-1)], Cube2x2)
    assert isinstance(CubeBatch(np.int64(1), np.uint8(3))[np.int32(0)], Cube3x3)
    cube = Cube3x3()
    cube.scramble(Index(1))
    assert corner_parity(cube) == 1


def test_true_counts_as_one_turn(cube_cls):
    one_turn = {words(fresh(cube_cls, [move])) for move in range(12)}
    for _ in range(20):   # three turns land on a one-turn state about once in six
        cube = cube_cls()
        cube.scramble(True)
        assert not cube.is_solved() and corner_parity(cube) == 1
        assert words(cube) in one_turn
    cube = cube_cls()
    cube.scramble(False)
    assert cube.is_solved()


@pytest.mark.parametrize("length", [0, -5, -2**63], ids=str)
def test_non_positive_lengths_are_no_error(cube_cls, length):
    cube = cube_cls()
    assert cube.scramble(length) is None
    assert cube.is_solved()


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


def test_str_and_list_subclasses_are_accepted():
    cube = Cube3x3()
    cube.do_moves(StrSubclass("R"))
    assert cube.corners == 0x3B6241D940
    assert turnsmith.inverse_scramble(StrSubclass("R U")) == "U' R'"
    assert turnsmith.get_next_states(ListSubclass([cube])).shape == (12, 54)


@pytest.mark.parametrize("text", ["R \ud800", "\udfff", "U R U' \udc80 R'"])
def test_lone_surrogates_raise_encode_error_before_any_turn(cube_cls, text):
    cube = cube_cls()
    with pytest.raises(UnicodeEncodeError):
        cube.do_moves(text)
    assert cube.is_solved()
    with pytest.raises(UnicodeEncodeError):
        turnsmith.inverse_scramble(text)


# --- receivers -------------------------------------------------------------

WRONG_RECEIVERS = [
    lambda a, b: Cube3x3.do_u_move(b),
    lambda a, b: Cube2x2.do_u_move(a),
    lambda a, b: Cube3x3.do_moves(b, "R"),
    lambda a, b: Cube3x3.scramble(b, 3),
    lambda a, b: Cube3x3.is_solved(b),
    lambda a, b: Cube2x2.to_sticker_array(a),
    lambda a, b: Cube3x3.corners.__get__(b),
    lambda a, b: Cube2x2.state.__get__(a),
    lambda a, b: CubeBatch.len(a),
    lambda a, b: CubeBatch.to_sticker_array(b),
    lambda a, b: Cube3x3.__str__(b),
]


@pytest.mark.parametrize("call", WRONG_RECEIVERS, ids=range(len(WRONG_RECEIVERS)))
def test_wrong_receiver_is_a_type_error_and_changes_nothing(call):
    a, b = Cube3x3(), Cube2x2()
    with pytest.raises(TypeError):
        call(a, b)
    assert a.is_solved() and b.is_solved()
    assert words(a) == (SOLVED_CORNERS, 0x5A928398A418820) and words(b) == (SOLVED_CORNERS,)


# --- internal faults --------------------------------------------------------


def test_panic_exception_escapes_except_exception(np):
    batch = CubeBatch(10, 3)
    with pytest.raises(BaseException) as info:
        try:
            batch.scramble(np.arange(10)[::2])
        except Exception:  # a PanicException must not land here
            pytest.fail("PanicException was caught as Exception")
    panic = type(info.value)
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__bases__ == (BaseException,)
    assert str(info.value).endswith("AsSliceError")
    assert len(info.value.args) == 1
    # The batch was given back and nothing was turned.
    assert all(cube.is_solved() for cube in batch)
    batch.scramble(np.arange(10)[::2].copy())  # lengths 0, 2, 4, 6, 8 for cubes 0..4
    assert batch[0].is_solved() and all(cube.is_solved() for cube in list(batch)[5:])


@pytest.mark.parametrize("count, cube_type", [(2**60, 2), (2**59, 3), (2**64 - 1, 3)])
def test_unrepresentable_batch_size_is_a_capacity_overflow(count, cube_type):
    with pytest.raises(BaseException) as info:
        CubeBatch(count, cube_type)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("capacity overflow",)


def test_panic_exception_is_one_class_per_process(np):
    caught = []
    for _ in range(2):
        try:
            CubeBatch(1, 3).apply_move_indexes(np.arange(4, dtype=np.uint64)[::-1])
        except BaseException as e:  # noqa: B036 - the class under test derives from it
            caught.append(type(e))
    assert len(caught) == 2 and caught[0] is caught[1]
    assert re.search("BaseException", caught[0].__doc__ or "")


@pytest.mark.parametrize("call, text", [
    (lambda np: CubeBatch(4, 3).scramble(np.arange(8)[::2]), "AsSliceError"),
    (lambda np: CubeBatch(2**60, 2), "capacity overflow"),
], ids=["AsSliceError", "capacity overflow"])
def test_panic_writes_a_diagnostic_to_stderr(np, capfd, call, text):
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        call(np)
    assert type(info.value).__name__ == "PanicException"
    assert text in capfd.readouterr().err


# --- integer arrays: the kind of the values, then the shape, then the range -----------


# (call on a batch of three 3x3 cubes, the parameter)
INTEGER_ARRAYS = {
    "take": (lambda b, v: b.take(v), "indexes"),
    "put": (lambda b, v: b.put(v, CubeBatch(0, 3)), "indexes"),
    "apply_moves": (lambda b, v: b.apply_moves(v), "moves"),
    "randomize": (lambda b, v: b.randomize(rows=v), "rows"),
    "get_next_batch": (lambda b, v: b.get_next_batch(v), "move_indexes"),
    "apply_move_sequences": (lambda b, v: b.apply_move_sequences(v), "moves"),
    "from_words": (lambda b, v: CubeBatch.from_words(v, 3), "words"),
    "from_sticker_array": (lambda b, v: CubeBatch.from_sticker_array(v, 3), "stickers"),
    "from_ranks": (lambda b, v: CubeBatch.from_ranks(v, 2), "ranks"),
}


def wrong_kinds(np):
    """(value, what the message says it got)"""
    return [("01", "'str'"), (1.5, "'float'"), (np.float64(1.5), "'numpy.float64'"),
            (np.array(1.5), "an array of float64"), (np.zeros((1, 1, 1)), "an array of float64"),
            ([[[1.5]]], "'float'"), (None, "'NoneType'")]


@pytest.mark.parametrize("method", INTEGER_ARRAYS)
def test_the_kind_of_an_integer_array_is_checked_before_its_shape(np, method):
    call, parameter = INTEGER_ARRAYS[method]
    batch = CubeBatch(3, 3)
    for value, got in wrong_kinds(np):
        if value is None and method in ("get_next_batch", "randomize"):
            continue  # None asks for all twelve moves, or all rows
        with pytest.raises(TypeError) as raised:
            call(batch, value)
        assert str(raised.value) == f"argument '{parameter}': expected integers, got {got}"


def sticker_rows_with(np, value):
    rows = CubeBatch(3, 3).to_sticker_array().astype(np.uint64)
    rows[1, 5] = value
    return rows


# (call, the message): every value read as a signed 64-bit integer, given as
# an unsigned one beyond the signed range, in row 1 (row 0 for from_ranks).
BEYOND_SIGNED = {
    "take": (lambda np, b: b.take(np.array([0, 2**64 - 1], dtype=np.uint64)),
             "argument 'indexes': row 1 holds 18446744073709551615, which does not fit a signed integer"),
    "get_next_batch": (lambda np, b: b.get_next_batch(np.array([1, 2**63], dtype=np.uint64)),
                       "argument 'move_indexes': row 1 holds 9223372036854775808, "
                       "which does not fit a signed integer"),
    "from_sticker_array": (lambda np, b: CubeBatch.from_sticker_array(sticker_rows_with(np, 2**63 + 1), 3),
                           "argument 'stickers': row 1 holds 9223372036854775809, "
                           "which does not fit a signed integer"),
    "from_ranks": (lambda np, b: CubeBatch.from_ranks(np.array([2**63 + 3], dtype=np.uint64), 2),
                   "argument 'ranks': row 0 holds 9223372036854775811, which does not fit a signed integer"),
}


@pytest.mark.parametrize("method", BEYOND_SIGNED)
def test_unsigned_values_beyond_the_signed_range_are_refused(np, method):
    call, message = BEYOND_SIGNED[method]
    with pytest.raises(ValueError) as raised:
        call(np, CubeBatch(3, 3))
    assert str(raised.value) == message

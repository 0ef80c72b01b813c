"""Module contents, type properties and documentation of every callable."""

import importlib.metadata
import inspect
import os
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import turnsmith
from cubehelpers import FREE_THREADED, MOVE_METHODS, SOLVED_CORNERS
from turnsmith import Cube2x2, Cube3x3, CubeBatch

CLASSES = [CubeBatch, Cube2x2, Cube3x3]

TURN_DOCS = {
    "do_u_move": "Apply the U move (clockwise top face turn).",
    "do_u_prime_move": "Apply the U' move (counterclockwise top face turn).",
    "do_d_move": "Apply the D move (clockwise bottom face turn).",
    "do_d_prime_move": "Apply the D' move (counterclockwise bottom face turn).",
    "do_r_move": "Apply the R move (clockwise right face turn).",
    "do_r_prime_move": "Apply the R' move (counterclockwise right face turn).",
    "do_l_move": "Apply the L move (clockwise left face turn).",
    "do_l_prime_move": "Apply the L' move (counterclockwise left face turn).",
    "do_f_move": "Apply the F move (clockwise front face turn).",
    "do_f_prime_move": "Apply the F' move (counterclockwise front face turn).",
    "do_b_move": "Apply the B move (clockwise back face turn).",
    "do_b_prime_move": "Apply the B' move (counterclockwise back face turn).",
}
SHARED_DOCS = {
    "get_corners": ("($self)", "Return the corner state as an array."),
    "is_solved": ("($self)", "Return true if the cube is solved."),
    "do_moves": ("($self, moves)", "Apply a whitespace-separated sequence of cube moves."),
    "scramble": ("($self, scramble_length=20)", "Apply a random scramble of the given length."),
    **{name: ("($self)", doc) for name, doc in TURN_DOCS.items()},
}
METHOD_DOCS = [
    *[(Cube3x3, name, sig, doc) for name, (sig, doc) in SHARED_DOCS.items()],
    *[(Cube2x2, name, sig, doc) for name, (sig, doc) in SHARED_DOCS.items()],
    (Cube3x3, "to_binary_corners", "($self)", "Return the corner state as a 64-bit binary string."),
    (Cube3x3, "to_binary_edges", "($self)", "Return the edge state as a 64-bit binary string."),
    (Cube3x3, "to_binary", "($self)",
     "Return the corner and edge states as a tuple of 64-bit binary strings."),
    (Cube3x3, "get_edges", "($self)", "Return the edge state as an array."),
    (Cube3x3, "to_sticker_array", "($self)", "Return the cube state as an array of 54 sticker colors."),
    (Cube2x2, "to_sticker_array", "($self)", ""),
    (CubeBatch, "apply_move_indexes", "($self, move_indexes)", ""),
    (CubeBatch, "get_next_states", "($self)",
     "Return successor states for all cubes using the 12 quarter-turn moves.\n\n"
     "Returns a NumPy int64 array with shape (len(self) * 12, sticker_dim)."),
    (CubeBatch, "to_sticker_array", "($self)",
     "Return the cube states as a sticker array with shape (len(self), sticker_dim).\n\n"
     "Returns a NumPy int64 array with shape (len(self), sticker_dim)."),
    (CubeBatch, "scramble", "($self, scramble_lengths)",
     "Scramble each cube with the corresponding number of random moves.\n\n"
     "The `scramble_lengths` array is zipped with the batch. If it is shorter\n"
     "than the batch, only the first N cubes are scrambled. Extra lengths are\n"
     "ignored."),
    (CubeBatch, "len", "($self)", "Return the number of cubes in the batch."),
]


def run_python(code, env=None, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


# --- the module object -----------------------------------------------------


def test_all_lists_the_exports_in_registration_order():
    assert turnsmith.__all__ == ["CubeBatch", "Cube2x2", "Cube3x3", "inverse_scramble",
                                 "get_next_states"]
    for name in turnsmith.__all__:
        assert hasattr(turnsmith, name)


def test_module_doc_is_empty():
    assert turnsmith.__doc__ == ""


def test_version_is_the_installed_distributions():
    assert turnsmith.__version__ == importlib.metadata.version("turnsmith")


def test_panic_exception_is_not_exported():
    assert not hasattr(turnsmith, "PanicException")


@pytest.mark.skipif(not FREE_THREADED, reason="only the free-threaded build can run without the GIL")
def test_import_keeps_the_gil_disabled():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    # -W error turns the interpreter's "GIL re-enabled" RuntimeWarning into a failure.
    result = run_python("""
        import sys, turnsmith
        assert sys._is_gil_enabled() is False
        print("ok")
    """, env=env)
    assert result.returncode == 0, result.stderr
    result = subprocess.run([sys.executable, "-W", "error", "-c", "import turnsmith"],
                            capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stderr


def test_numpy_is_imported_only_by_array_operations():
    result = run_python("""
        import sys, turnsmith
        assert "numpy" not in sys.modules
        c = turnsmith.Cube3x3(); c.do_moves("R U"); c.to_sticker_array(); str(c)
        b = turnsmith.CubeBatch(2, 3); len(b); b[0]; str(b)
        assert "numpy" not in sys.modules
        b.to_sticker_array()
        assert "numpy" in sys.modules
        print("ok")
    """)
    assert result.returncode == 0, result.stderr


def test_single_cubes_work_without_numpy_and_arrays_report_it():
    result = run_python("""
        import sys
        sys.modules["numpy"] = None   # makes every import of numpy fail
        import turnsmith
        c = turnsmith.Cube2x2(); c.do_moves("F"); c.scramble(3); c.get_corners()
        b = turnsmith.CubeBatch(2, 3)
        for call in (b.to_sticker_array, b.get_next_states,
                     lambda: turnsmith.get_next_states([c])):
            try:
                call()
            except Exception:
                raise SystemExit("caught as Exception")
            except BaseException as e:
                assert type(e).__name__ == "PanicException", type(e)
                assert str(e).startswith("Failed to access NumPy array API capsule"), str(e)
            else:
                raise SystemExit("no error")
        print("ok")
    """)
    assert result.returncode == 0, result.stderr + result.stdout
    assert result.stdout.strip() == "ok"


# Puts a stand-in for NumPy's C-API capsule in place: a copy of the real table
# whose two version functions report the ABI and C-API versions given.
STAND_IN_CAPSULE = """
    import ctypes, sys
    import numpy._core.multiarray as multiarray
    import turnsmith
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    real = ctypes.cast(api.PyCapsule_GetPointer(multiarray._ARRAY_API, None), ctypes.POINTER(ctypes.c_void_p))
    table = (ctypes.c_void_p * 300)(*real[:300])
    version = ctypes.CFUNCTYPE(ctypes.c_uint)
    reports = version(lambda: REPORTED_ABI), version(lambda: REPORTED_API)
    table[0], table[211] = (ctypes.cast(f, ctypes.c_void_p) for f in reports)
    multiarray._ARRAY_API = api.PyCapsule_New(ctypes.addressof(table), None, None)
    for _ in range(2):   # refused on every use, not only the first
        try:
            print(turnsmith.CubeBatch(2, 3).to_sticker_array().shape)
        except ImportError as e:
            print(e)
"""
NEEDS = "but turnsmith needs ABI version 1.x or 2.x and C-API version 0x7 or later"


@pytest.mark.parametrize("abi, api, expected", [
    (0x02000000, 0x16, "(2, 54)"),
    (0x01000009, 0x07, "(2, 54)"),
    (0x03000000, 0x16, f"NumPy's C interface has ABI version 0x3000000 and C-API version 0x16, {NEEDS}"),
    (0x00090000, 0x16, f"NumPy's C interface has ABI version 0x90000 and C-API version 0x16, {NEEDS}"),
    (0x01000009, 0x06, f"NumPy's C interface has ABI version 0x1000009 and C-API version 0x6, {NEEDS}"),
])
def test_numpy_c_interfaces_the_slots_do_not_fit_are_refused(abi, api, expected):
    pytest.importorskip("numpy._core.multiarray")
    script = STAND_IN_CAPSULE.replace("REPORTED_ABI", hex(abi)).replace("REPORTED_API", hex(api))
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [expected, expected]


# --- type properties -------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_type_names_and_base(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__bases__ == (object,)
    assert getattr(turnsmith, cls.__name__) is cls


@pytest.mark.parametrize("function", [turnsmith.get_next_states, turnsmith.inverse_scramble],
                         ids=lambda f: f.__name__)
def test_functions_belong_to_the_module(function):
    assert function.__module__ == "turnsmith"
    assert function.__self__ is turnsmith


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def instances():
    return [Cube3x3(), Cube2x2(), CubeBatch(1, 3)]


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_instances_have_no_dict_and_no_weakrefs(obj):
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1


@pytest.mark.parametrize("obj, attribute", [(Cube3x3(), "corners"), (Cube2x2(), "state")],
                         ids=["Cube3x3", "Cube2x2"])
def test_word_attribute_is_read_only(obj, attribute):
    assert getattr(obj, attribute) == SOLVED_CORNERS
    with pytest.raises(AttributeError):
        setattr(obj, attribute, 0)
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
    assert getattr(obj, attribute) == SOLVED_CORNERS
    assert not (getattr(type(obj), attribute).__doc__ or "")


def test_edge_word_has_no_attribute():
    names = set(dir(Cube3x3())) - set(dir(object()))
    assert not any(name in names for name in ("edges", "state"))


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_default_repr_identity_hash_and_equality(obj):
    other = type(obj)(*((1, 3) if isinstance(obj, CubeBatch) else ()))
    assert repr(obj).startswith(f"<builtins.{type(obj).__name__} object at 0x")
    assert hash(obj) == object.__hash__(obj)
    assert obj == obj
    assert obj != other and not obj == other
    assert len({obj, other}) == 2


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_attributes_are_not_frozen(cls):
    cls.extra_for_test = 1
    try:
        assert cls.extra_for_test == 1
    finally:
        del cls.extra_for_test


def test_batch_has_no_item_assignment():
    batch = CubeBatch(2, 3)
    with pytest.raises(TypeError):
        batch[0] = Cube3x3()
    with pytest.raises(TypeError):
        del batch[0]


# --- documentation -----------------------------------------------------------


@pytest.mark.parametrize("cls, signature, doc", [
    (Cube3x3, "()", ""),
    (Cube2x2, "()", "A compact 2x2 Vorlan's Cube model with fast move operations."),
    (CubeBatch, "(count, cube_type)", ""),
], ids=lambda v: getattr(v, "__name__", None))
def test_class_signature_and_doc(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert (cls.__doc__ or "") == doc


@pytest.mark.parametrize("cls, name, signature, doc", METHOD_DOCS,
                         ids=[f"{c.__name__}.{n}" for c, n, _, _ in METHOD_DOCS])
def test_method_signature_and_doc(cls, name, signature, doc):
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    assert (method.__doc__ or "") == doc
    assert list(inspect.signature(method).parameters)[0] == "self"


def test_cube2x2_to_binary_signature():
    assert Cube2x2.to_binary.__text_signature__ == "($self)"


@pytest.mark.parametrize("function, signature, doc", [
    (turnsmith.get_next_states, "(cubes)",
     "Return quarter-turn successors for a batch of 2x2 or 3x3 cubes."),
    (turnsmith.inverse_scramble, "(scramble)", "Return the inverse of the given scramble string."),
], ids=["get_next_states", "inverse_scramble"])
def test_function_signature_and_doc(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def callables():
    """(owner, name) of every function and method, the private ones included."""
    return [(owner, name) for owner in (turnsmith, *CLASSES, turnsmith.StateSet)
            for name, value in vars(owner).items()
            if not name.startswith("__") and callable(value) and not isinstance(value, type)]


UNDOCUMENTED = {(cls, name) for cls, name, _, doc in METHOD_DOCS if not doc}
PICKLE_HELPERS = {"_restore", "_restore_batch", "_restore_state_set"}
OVERLOADED = {
    "to_one_hot": "(self, /, dtype='float32', out=None)",
    "solutions": "(self, /, max_length=None, optimal=False, progress=None, return_lengths=False)",
    "unique": "(self, /, order='sorted', return_index=False, return_inverse=False, return_counts=False)",
}


# stubtest holds each signature that inspect reads to the stubs, names, kinds
# and defaults, but passes over a callable whose signature inspect cannot read,
# over how a method takes self and over the defaults of an overloaded stub
# (OVERLOADED); and it reads no docstring, which begins with one sentence (the
# test hooks' excepted).
@pytest.mark.parametrize("owner, name", callables(),
                         ids=[f"{getattr(o, '__name__', o)}.{n}" for o, n in callables()])
def test_every_callable_has_a_signature_and_a_summary(owner, name):
    function = getattr(owner, name)
    signature = inspect.signature(function)
    parameters = list(signature.parameters.values())
    if owner is CubeBatch and name in OVERLOADED:
        assert str(signature) == OVERLOADED[name]
    if isinstance(vars(owner)[name], types.MethodDescriptorType):
        assert parameters[0].name == "self" and parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY
    if (owner, name) not in UNDOCUMENTED and (not name.startswith("_") or name in PICKLE_HELPERS):
        summary = function.__doc__.split("\n")[0]
        assert summary[0].isupper() and summary.endswith(".")


def test_cube2x2_lacks_the_edge_views():
    for name in ("get_edges", "to_binary_corners", "to_binary_edges", "corners"):
        assert not hasattr(Cube2x2(), name)
    assert not hasattr(Cube3x3(), "state")


@pytest.mark.parametrize("cls", [Cube3x3, Cube2x2], ids=lambda c: c.__name__)
def test_methods_that_change_the_cube_return_none(cls):
    cube = cls()
    assert all(getattr(cube, name)() is None for name in MOVE_METHODS)
    assert cube.do_moves("R") is None
    assert cube.scramble(2) is None
    assert cube.scramble() is None

// The Python-facing methods that Cube3x3 and Cube2x2 share, written once as
// templates over the cube type. Each class's file joins these declarations
// and its own into its method table, in its own order.
#pragma once

#include "python/python.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "cube/group.hpp"
#include "cube/notation.hpp"
#include "cube/one_hot.hpp"
#include "cube/random.hpp"
#include "cube/state_check.hpp"
#include "cube/views.hpp"
#include "python/args.hpp"
#include "python/attachment.hpp"
#include "python/call.hpp"
#include "python/cube_object.hpp"
#include "python/methods.hpp"
#include "python/numpy.hpp"
#include "python/one_hot_arrays.hpp"

namespace turnsmith::py {

// ---- building blocks ----------------------------------------------------

inline PyObject* binary_string(Word word) {
    const auto digits = binary_digits(word);
    return check(PyUnicode_FromStringAndSize(digits.data(), static_cast<Py_ssize_t>(digits.size())));
}

// A list of (piece, orientation) tuples, slot 0 first.
template <std::size_t N>
PyObject* pair_list(const std::array<PiecePair, N>& pairs) {
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(N))));
    for (std::size_t slot = 0; slot < N; ++slot) {
        PyObject* pair = check(Py_BuildValue("(BB)", pairs[slot].first, pairs[slot].second));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(slot), pair);
    }
    return list.release();
}

template <std::size_t N>
PyObject* int_list(const std::array<std::uint64_t, N>& values) {
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(N))));
    for (std::size_t i = 0; i < N; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_int(values[i]));
    }
    return list.release();
}

// ---- method bodies ----------------------------------------------------

template <Cube C>
using CubeOf = CubeContents<C>;

// Runs a read-only view of the cube under shared access. A view runs no
// Python code unless it says so, and its hold then goes unnoted.
template <Cube C, Noted N = Noted::no, class View>
PyObject* read_cube(PyObject* self, View&& view) {
    return method_call<CubeOf<C>, Access::shared, N>(self,
                                                     [&](CubeOf<C>& object) { return view(object.cube); });
}

template <Cube C, MoveIndex M>
PyObject* turn_method(PyObject* self, PyObject*) {
    return method_call<CubeOf<C>, Access::exclusive, Noted::no>(self, [](CubeOf<C>& object) {
        turn<M>(object.cube);
        return Py_NewRef(Py_None);
    });
}

template <Cube C>
PyObject* is_solved_method(PyObject* self, PyObject*) {
    return read_cube<C>(self, [](const C& cube) { return Py_NewRef(cube.is_solved() ? Py_True : Py_False); });
}

template <Cube C>
PyObject* to_sticker_array_method(PyObject* self, PyObject*) {
    return read_cube<C>(self, [](const C& cube) { return int_list(cube.to_sticker_array_internal()); });
}

template <Cube C>
PyObject* get_corners_method(PyObject* self, PyObject*) {
    return read_cube<C>(self, [](const C& cube) { return pair_list(corner_pairs(cube.corners)); });
}

template <Cube C>
PyObject* str_method(PyObject* self) {
    return read_cube<C>(self, [](const C& cube) { return new_str(cube.render_ansi_internal()); });
}

template <Cube C>
PyObject* corner_word_getter(PyObject* self, void*) {
    return read_cube<C>(self, [](const C& cube) { return new_int(cube.corners); });
}

template <Cube C>
PyObject* do_moves_method(const Call<1>& call) {
    // Reading a str (or a str subclass) for its UTF-8 runs no Python code.
    return method_call<CubeOf<C>, Access::exclusive, Noted::no>(
        call, [](CubeOf<C>& object, const Bound<1>& bound) {
            apply_moves_internal(object.cube, to_utf8(bound[0], "moves"));
            return Py_NewRef(Py_None);
        });
}

inline constexpr std::int64_t default_scramble_length = 20;
// A few milliseconds of turns on the calling thread.
inline constexpr std::int64_t scramble_turns_per_chunk = std::int64_t{1} << 16;

// `length` random turns, in detached chunks on the free-threaded build when
// there are many.
template <Cube C>
void scramble_cube(C& cube, std::int64_t length) {
    auto& rng = thread_rng();  // created even when nothing is drawn
    const auto turn = [&](std::int64_t count) {
        for (std::int64_t i = 0; i < count; ++i) apply_move_index_internal(cube, draw_move_index(rng));
    };
    if (length <= scramble_turns_per_chunk) {
        turn(length);  // too short to keep anyone waiting
        return;
    }
    for (std::int64_t done = 0; done < length; done += scramble_turns_per_chunk) {
        detached_on_free_threaded([&] { turn(std::min(length - done, scramble_turns_per_chunk)); });
    }
}

template <Cube C>
PyObject* scramble_method(const Call<1>& call) {
    return method_call<CubeOf<C>, Access::exclusive>(
        call, [](CubeOf<C>& object, const Bound<1>& bound) {
            scramble_cube(object.cube, bound[0] ? to_int64(bound[0], "scramble_length") : default_scramble_length);
            return Py_NewRef(Py_None);
        });
}

// A new solved cube; the constructor takes no arguments.
template <Cube C>
PyObject* new_cube(PyTypeObject* type, const Bound<0>&) {
    return construct<CubeOf<C>>(type, C{});
}

// ---- states in and out --------------------------------------------------

// The cube that `words` hold, or ValueError naming the rule they break.
template <Cube C>
C checked_cube(const std::array<Word, C::word_count>& words) {
    if (const auto fault = check_state(words)) throw_error(PyExc_ValueError, describe(*fault));
    return C::from_words(words);
}

// The words as Python ints, corners first.
template <Cube C>
PyObject* words_tuple(const C& cube) {
    const auto words = cube.words();
    Ref tuple = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(words.size()))));
    for (std::size_t i = 0; i < words.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), new_int(words[i]));
    }
    return tuple.release();
}

template <Cube C>
PyObject* to_words_method(PyObject* self, PyObject*) {
    return read_cube<C>(self, [](const C& cube) { return words_tuple(cube); });
}

// A class method: no receiver to hold, the arguments are the caller's; one
// parameter per word, named as the words are.
template <Cube C>
PyObject* from_words_method(const Call<C::word_count>& call) {
    return function_call(call, [&](const Bound<C::word_count>& bound) {
        std::array<Word, C::word_count> words{};
        for (std::size_t i = 0; i < words.size(); ++i) {
            words[i] = to_uint64(bound[i], call.signature.parameters[i]);
        }
        return construct<CubeContents<C>>(reinterpret_cast<PyTypeObject*>(call.self), checked_cube<C>(words));
    });
}

// The colour codes of a sequence of C::sticker_dim integers.
template <Cube C>
StickerArray<C::sticker_dim> sticker_codes(PyObject* value, const char* parameter) {
    if (!PySequence_Check(value)) throw_type_mismatch(value, "Sequence", parameter);
    Ref sequence = Ref::steal(check(PySequence_Fast(value, "a sequence of stickers")));
    const Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence.get());
    if (length != static_cast<Py_ssize_t>(C::sticker_dim)) {
        throw_error(PyExc_ValueError, "expected " + std::to_string(C::sticker_dim) + " stickers, got " +
                                          std::to_string(length));
    }
    StickerArray<C::sticker_dim> codes{};
    for (std::size_t i = 0; i < codes.size(); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i));
        Ref index = Ref::steal(PyNumber_Index(item));
        if (!index) throw_conversion_error(parameter);
        int overflow = 0;
        const long long code = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (code == -1 && PyErr_Occurred()) throw_error_already_set();
        if (overflow != 0 || code < 0 || code >= static_cast<long long>(face_count)) {
            PyErr_Format(PyExc_ValueError, "sticker %zu has colour %S, but colours are 0..5", i, index.get());
            throw_error_already_set();
        }
        codes[i] = static_cast<std::uint64_t>(code);
    }
    return codes;
}

template <Cube C>
PyObject* from_sticker_array_method(const Call<1>& call) {
    return function_call(call, [&](const Bound<1>& bound) {
        const auto codes = sticker_codes<C>(bound[0], "stickers");
        C cube{};
        if (const auto fault = read_sticker_array_internal(codes, cube)) {
            throw_error(PyExc_ValueError, describe(*fault));
        }
        return construct<CubeContents<C>>(reinterpret_cast<PyTypeObject*>(call.self),
                                          checked_cube<C>(cube.words()));
    });
}

template <Cube C>
PyObject* reduce_method(PyObject* self, PyObject*) {
    // Finding the module's function goes through the import machinery.
    return read_cube<C, Noted::yes>(self, [](const C& cube) {
        Ref words = Ref::steal(words_tuple(cube));
        Ref restore = Ref::steal(module_function("_restore"));
        constexpr long cube_type = C::cube_type;
        return check(Py_BuildValue("(O(lO))", restore.get(), cube_type, words.get()));
    });
}

// ---- group operations ----------------------------------------------------

template <Cube C>
PyObject* inverse_method(PyObject* self, PyObject*) {
    return read_cube<C>(self, [](const C& cube) { return construct<CubeOf<C>>(inverse_of(cube)); });
}

// Both cubes are read under shared holds; a cube composed with itself is
// held twice, as shared holds nest.
template <Cube C>
PyObject* compose_method(const Call<1>& call) {
    return method_call<CubeOf<C>, Access::shared>(
        call, [](CubeOf<C>& object, const Bound<1>& bound) {
            if (!is_instance<CubeOf<C>>(bound[0])) throw_type_mismatch(bound[0], cube_class_name<C>, "other");
            CubeOf<C>& other = contents_of<CubeOf<C>>(bound[0]);
            const SharedHold other_hold(other.access);
            return construct<CubeOf<C>>(compose(object.cube, other.cube));
        });
}

// ---- by move index ----------------------------------------------------------

// A move index: an int in 0..11, anything larger or negative a ValueError.
inline MoveIndex to_move_index(PyObject* value) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) throw_conversion_error("index");
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw_error_already_set();
    if (overflow != 0 || number < 0 || number >= static_cast<long long>(move_count)) {
        PyErr_Format(PyExc_ValueError, "argument 'index': move index %S is not in 0..11", index.get());
        throw_error_already_set();
    }
    return static_cast<MoveIndex>(number);
}

template <Cube C>
PyObject* apply_move_index_method(const Call<1>& call) {
    return method_call<CubeOf<C>, Access::exclusive>(call, [](CubeOf<C>& object, const Bound<1>& bound) {
        apply_move_index_internal(object.cube, to_move_index(bound[0]));
        return Py_NewRef(Py_None);
    });
}

// The cube's one-hot row as a new 1-D array, written straight from its words.
template <Cube C>
PyObject* to_one_hot_method(const Call<1>& call) {
    return method_call<CubeOf<C>, Access::shared>(call, [](CubeOf<C>& object, const Bound<1>& bound) {
        const OneHotType type = to_one_hot_type(bound[0]);
        return visit_one_hot_type(type, [&]<class T>(OneHotElement<T> element) {
            auto row = Rows<T>::zeroed(1, C::sticker_dim * one_hot_width);
            one_hot_row(object.cube, row.row(0), element.one);
            const std::size_t shape[1] = {row.cols()};
            return make_result_array(row.release(), element.type_number, sizeof(T),
                                     std::span<const std::size_t>(shape));
        });
    });
}

// ---- declarations ------------------------------------------------------------

template <Cube C>
inline constexpr auto group_methods = std::tuple{
    method("inverse", inverse_method<C>,
           "Return a new cube of the inverse state.\n\n"
           "This cube followed by it is solved, and so is the other order."),
    method("compose", {"other"}, compose_method<C>,
           C::has_edges
               ? "Return a new cube: this state followed by other's.\n\n"
                 "As move sequences: the moves that made this cube, then those that made other\n"
                 "(a Cube3x3), applied to a solved cube."
               : "Return a new cube: this state followed by other's.\n\n"
                 "As move sequences: the moves that made this cube, then those that made other\n"
                 "(a Cube2x2), applied to a solved cube."),
};

// The twelve single turns, in move-index order, named and documented by the
// move table.
template <Cube C>
inline constexpr auto turn_methods = []<std::size_t... M>(std::index_sequence<M...>) {
    return std::tuple{method(moves[M].method, turn_method<C, M>, moves[M].doc)...};
}(std::make_index_sequence<move_count>{});

// do_moves and scramble, the last two of the specified methods of both classes.
template <Cube C>
inline constexpr auto notation_methods = std::tuple{
    method("do_moves", {"moves"}, do_moves_method<C>, "Apply a whitespace-separated sequence of cube moves."),
    method("scramble", {defaulted("scramble_length", "20")}, scramble_method<C>,
           "Apply a random scramble of the given length."),
};

// from_words takes one parameter per word.
template <Cube C>
constexpr auto from_words_declaration() {
    if constexpr (C::has_edges) {
        return class_method("from_words", {"corners", "edges"}, from_words_method<C>,
                            "Return the cube of the given packed words, checked to be reachable.");
    } else {
        return class_method("from_words", {"corners"}, from_words_method<C>,
                            "Return the cube of the given packed corner word, checked to be reachable.");
    }
}

// The methods that bring states in and out.
template <Cube C>
inline constexpr auto state_methods = std::tuple{
    method("to_words", to_words_method<C>,
           C::has_edges ? "Return the packed corner and edge words as a tuple of ints."
                              : "Return the packed corner word as a 1-tuple of an int."),
    from_words_declaration<C>(),
    class_method("from_sticker_array", {"stickers"}, from_sticker_array_method<C>,
                 "Return the cube of the given sticker colours, checked to be reachable."),
    method("__reduce__", reduce_method<C>, "Return state information for pickling."),
};

// Turns and one-hot rows by move index, as batches take them.
template <Cube C>
inline constexpr auto index_methods = std::tuple{
    method("apply_move_index", {"index"}, apply_move_index_method<C>,
           "Apply one quarter turn by its move index, 0..11 (the order of the batches)."),
    method("to_one_hot", {defaulted("dtype", "'float32'")}, to_one_hot_method<C>,
           "Return the stickers one-hot encoded, shape (sticker_dim * 6,).\n\n"
           "Equal to row 0 of CubeBatch.from_cubes([self]).to_one_hot(dtype); dtype is\n"
           "float32 (the default), float16 or uint8, as CubeBatch.to_one_hot reads it."),
};

// A cube class's declarations in table order: its views, the methods both
// classes have, then its own last ones, then those by move index.
template <Cube C, class Views, class Last>
constexpr auto cube_method_table(const Views& views, const Last& last) {
    return MethodTable{cube_class_name<C>, std::tuple_cat(views, turn_methods<C>, notation_methods<C>,
                                                          state_methods<C>, group_methods<C>, last,
                                                          index_methods<C>)};
}

// The corner word's getter, under the class's own name for it.
template <Cube C>
std::array<PyGetSetDef, 2> corner_word_getset(const char* name) {
    return {{{name, corner_word_getter<C>, nullptr, nullptr, nullptr}, {}}};
}

// The slots of a cube class: its own constructor (for its docstring),
// methods and getters, the rest shared.
template <Cube C, const auto& New>
std::array<PyType_Slot, 7> cube_type_slots(PyMethodDef* methods, PyGetSetDef* getset) {
    return {{
        doc_slot<New>(),
        new_slot<New>(),
        {Py_tp_dealloc, reinterpret_cast<void*>(destroy<CubeContents<C>>)},
        {Py_tp_str, reinterpret_cast<void*>(str_method<C>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    }};
}

}  // namespace turnsmith::py

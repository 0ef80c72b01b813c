// One declaration per Python method or module function: its name, its
// parameters (with the defaults its text signature shows), what it is bound
// to, its handler and its docstring. Everything else is made from it: the
// Signature that binds its arguments, the documentation string whose first
// line is the text signature ("take($self, indexes)\n--\n\n" and the
// docstring), and its row of the PyMethodDef table. A class declares its
// methods as one constant table, in registration order:
//
//   constexpr MethodTable batch_set_methods{"CubeBatch", std::tuple{
//       method("keys", keys, "Return a 64-bit key of every cube's state ..."),
//       method("isin", {"other"}, isin, "Return which cubes' states occur ..."),
//   }};
//
// and method_rows<batch_set_methods>() gives its rows. A method without
// parameters has a METH_NOARGS handler, `PyObject* (PyObject* self, PyObject*)`;
// one with parameters has `PyObject* (const Call<N>&)`, and gets its call with
// the declared signature, for method_call or function_call (python/call.hpp).
// A class's constructor is declared the same way and gives the class its
// docstring, text signature first ("CubeBatch(count, cube_type)"), and its
// tp_new, which binds the arguments before the handler runs.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/errors.hpp"

namespace turnsmith::py {

// ---- declarations -------------------------------------------------------------

// A parameter, by position or by name: required, or left out for its default.
struct Parameter {
    // Implicit, so that a list of bare names declares required parameters.
    constexpr Parameter(const char* parameter_name) noexcept : name(parameter_name) {}

    const char* name;
    const char* shown_default = nullptr;  // as the text signature shows it; null when required
};

// A parameter that may be left out; `shown` is its default as Python writes it ("None", "'sorted'").
constexpr Parameter defaulted(const char* name, const char* shown) noexcept {
    Parameter parameter(name);
    parameter.shown_default = shown;
    return parameter;
}

// What a callable is bound to: an instance ($self), its class ($type), or
// the module; or it makes an instance of its class.
enum class Kind { instance, class_method, function, constructor };

template <std::size_t N>
using Handler = PyObject* (*)(const Call<N>&);
// A constructor's: the new object of `type`, from the bound arguments.
template <std::size_t N>
using NewHandler = PyObject* (*)(PyTypeObject* type, const Bound<N>& bound);

template <std::size_t N, class H>
struct Method {
    const char* name;
    Kind kind;
    std::array<Parameter, N> parameters;
    H handler;
    const char* doc;  // what follows the text signature
    bool receiver_shown = true;

    // The same declaration, its text signature naming no receiver: a class
    // method's published signature may leave out "$type".
    constexpr Method without_receiver() const noexcept {
        Method copy = *this;
        copy.receiver_shown = false;
        return copy;
    }

    constexpr const char* receiver() const noexcept {
        if (!receiver_shown || kind == Kind::function || kind == Kind::constructor) return "";
        return kind == Kind::instance ? "$self" : "$type";
    }

    // The leading parameters without a default; every one after them has one.
    constexpr std::size_t required() const {
        std::size_t count = 0;
        while (count < N && parameters[count].shown_default == nullptr) ++count;
        for (std::size_t i = count; i < N; ++i) {
            if (parameters[i].shown_default == nullptr) throw "a required parameter follows a defaulted one";
        }
        return count;
    }

    // A constructor's is named "__new__" in binding messages.
    constexpr Signature<N> signature(const char* owner) const {
        std::array<const char*, N> names{};
        for (std::size_t i = 0; i < N; ++i) names[i] = parameters[i].name;
        return {owner, kind == Kind::constructor ? "__new__" : name, names, required()};
    }

    constexpr int flags() const noexcept {
        const int calling = N == 0 ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS;
        return kind == Kind::class_method ? calling | METH_CLASS : calling;
    }
};

// Declarations of a method of the instance (without or with parameters), of a
// class method, and of a module function (without or with parameters).
constexpr Method<0, PyCFunction> method(const char* name, PyCFunction handler, const char* doc) noexcept {
    return {name, Kind::instance, {}, handler, doc};
}
template <std::size_t N>
constexpr Method<N, Handler<N>> method(const char* name, const Parameter (&parameters)[N], Handler<N> handler,
                                       const char* doc) noexcept {
    return {name, Kind::instance, std::to_array(parameters), handler, doc};
}
template <std::size_t N>
constexpr Method<N, Handler<N>> class_method(const char* name, const Parameter (&parameters)[N],
                                             Handler<N> handler, const char* doc) noexcept {
    return {name, Kind::class_method, std::to_array(parameters), handler, doc};
}
constexpr Method<0, PyCFunction> function(const char* name, PyCFunction handler, const char* doc) noexcept {
    return {name, Kind::function, {}, handler, doc};
}
template <std::size_t N>
constexpr Method<N, Handler<N>> function(const char* name, const Parameter (&parameters)[N],
                                         Handler<N> handler, const char* doc) noexcept {
    return {name, Kind::function, std::to_array(parameters), handler, doc};
}

// A class's constructor, named as the class: its text signature is the
// class's, and its docstring the class's.
constexpr Method<0, NewHandler<0>> constructor(const char* class_name, NewHandler<0> handler,
                                               const char* doc) noexcept {
    return {class_name, Kind::constructor, {}, handler, doc};
}
template <std::size_t N>
constexpr Method<N, NewHandler<N>> constructor(const char* class_name, const Parameter (&parameters)[N],
                                               NewHandler<N> handler, const char* doc) noexcept {
    return {class_name, Kind::constructor, std::to_array(parameters), handler, doc};
}

// The declarations of one class (or of module functions, owner null), in
// registration order. The owner names the callable in binding messages
// ("CubeBatch.take()").
template <class... M>
struct MethodTable {
    const char* owner;
    std::tuple<M...> methods;
};
template <class... M>
MethodTable(const char*, std::tuple<M...>) -> MethodTable<M...>;

// ---- what a declaration makes ------------------------------------------------------

// Hands the documentation string of `method` to `put` piece by piece: the
// text signature, the line that ends it, the docstring.
template <class M, class Put>
constexpr void documentation_pieces(const M& method, Put&& put) {
    put(method.name);
    put("(");
    put(method.receiver());
    bool first = *method.receiver() == '\0';
    for (const Parameter& parameter : method.parameters) {
        if (!first) put(", ");
        first = false;
        put(parameter.name);
        if (parameter.shown_default != nullptr) {
            put("=");
            put(parameter.shown_default);
        }
    }
    put(")\n--\n\n");
    put(method.doc);
}

template <class M>
constexpr std::size_t documentation_length(const M& method) {
    std::size_t length = 0;
    documentation_pieces(method, [&](const char* text) { length += std::char_traits<char>::length(text); });
    return length;
}

// The documentation string of `method`, `Length` characters long, and its
// terminating zero.
template <std::size_t Length, class M>
constexpr std::array<char, Length + 1> written_documentation(const M& method) {
    std::array<char, Length + 1> text{};
    std::size_t at = 0;
    documentation_pieces(method, [&](const char* piece) {
        while (*piece != '\0') text[at++] = *piece++;
    });
    return text;
}

template <const auto& Table, std::size_t I>
inline constexpr const auto& declared = std::get<I>(Table.methods);

// The documentation string of method I of Table, made at compile time: static
// storage, as the method table keeps pointing at it.
template <const auto& Table, std::size_t I>
inline constexpr auto documentation =
    written_documentation<documentation_length(declared<Table, I>)>(declared<Table, I>);

template <const auto& Table, std::size_t I>
inline constexpr auto signature_of = declared<Table, I>.signature(Table.owner);

// The vectorcall entry of a method with parameters: its handler, given the call.
template <const auto& Table, std::size_t I>
PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return declared<Table, I>.handler(Call{signature_of<Table, I>, self, args, nargs, kwnames});
}

template <const auto& Table, std::size_t I>
PyMethodDef method_row() {
    constexpr const auto& method = declared<Table, I>;
    PyCFunction function = nullptr;
    if constexpr (method.parameters.size() == 0) {
        function = method.handler;
    } else {
        function = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vectorcall_entry<Table, I>));
    }
    return {method.name, function, method.flags(), documentation<Table, I>.data()};
}

// Two declarations of one name would leave the second unreachable.
template <class Tuple>
constexpr bool names_distinct(const Tuple& methods) {
    return std::apply(
        [](const auto&... method) {
            const std::array<std::string_view, sizeof...(method)> names{std::string_view(method.name)...};
            for (std::size_t i = 0; i < names.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (names[i] == names[j]) return false;
                }
            }
            return true;
        },
        methods);
}

// The rows of a table's declarations, in order, without the row that ends a
// PyMethodDef table.
template <const auto& Table>
auto method_rows() {
    static_assert(names_distinct(Table.methods), "two methods of one table share a name");
    constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(Table.methods)>>;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<PyMethodDef, count>{method_row<Table, I>()...};
    }(std::make_index_sequence<count>{});
}

// ---- what a constructor's declaration makes -----------------------------------------

template <const auto& New>
inline constexpr auto constructor_documentation = written_documentation<documentation_length(New)>(New);

template <const auto& New>
inline constexpr auto constructor_signature = New.signature(New.name);

template <const auto& New>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return New.handler(type, bind(constructor_signature<New>, args, kwargs)); });
}

// The class's docstring slot, its text signature first, and its constructor's slot.
template <const auto& New>
PyType_Slot doc_slot() {
    return {Py_tp_doc, const_cast<char*>(constructor_documentation<New>.data())};
}
template <const auto& New>
PyType_Slot new_slot() {
    return {Py_tp_new, reinterpret_cast<void*>(new_entry<New>)};
}

// ---- tables ----------------------------------------------------------------------

// A class's PyMethodDef table: the rows of its parts in order, then the one
// zero row that ends it.
inline std::vector<PyMethodDef> method_table(std::initializer_list<std::span<const PyMethodDef>> parts) {
    std::vector<PyMethodDef> rows;
    for (const std::span<const PyMethodDef> part : parts) rows.insert(rows.end(), part.begin(), part.end());
    rows.push_back({nullptr, nullptr, 0, nullptr});
    return rows;
}

}  // namespace turnsmith::py

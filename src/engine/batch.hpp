// The states of a batch: one contiguous array of plain cube states of one
// type, sized once; solved at construction, or written in full by the
// operation that makes the batch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "base/fault.hpp"
#include "cube/cube_types.hpp"
#include "engine/row_buffer.hpp"

namespace turnsmith {

// Storage for `count` states of type C. The cube types are plain words
// (implicit-lifetime types), so the storage holds them as soon as it is
// written.
template <Cube C>
class CubeArray {
public:
    CubeArray() noexcept = default;
    // Throws InternalFault "capacity overflow" when the size cannot be
    // represented, OutOfMemory when it cannot be allocated. The states are
    // left for the caller to write.
    static CubeArray unwritten(std::size_t count) {
        if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(C)) {
            internal_fault("capacity overflow");
        }
        CubeArray array;
        array.count_ = count;
        if (count == 0) return array;
        array.cubes_ = static_cast<C*>(row_memory::allocate_zeroed_bytes(count * sizeof(C)));
        if (array.cubes_ == nullptr) {
            out_of_memory("a batch of " + std::to_string(count) + " cubes (" + std::to_string(count * sizeof(C)) +
                          " bytes)");
        }
        return array;
    }
    CubeArray(CubeArray&& other) noexcept
        : cubes_(std::exchange(other.cubes_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    CubeArray& operator=(CubeArray&& other) noexcept {
        std::swap(cubes_, other.cubes_);
        std::swap(count_, other.count_);
        return *this;
    }
    ~CubeArray() { row_memory::release(cubes_, count_ * sizeof(C)); }

    std::size_t count() const noexcept { return count_; }
    std::span<C> span() noexcept { return {cubes_, count_}; }
    std::span<const C> span() const noexcept { return {cubes_, count_}; }

private:
    C* cubes_ = nullptr;
    std::size_t count_ = 0;
};

class BatchStates {
public:
    // `cube_type` is 2 or 3 (checked by the caller); throws as CubeArray does.
    static BatchStates solved(std::size_t count, unsigned cube_type);
    // States that the caller then writes, every one.
    static BatchStates unwritten(std::size_t count, unsigned cube_type) {
        return visit_cube_type(cube_type, [&]<Cube C>() { return unwritten<C>(count); });
    }
    template <Cube C>
    static BatchStates unwritten(std::size_t count) {
        return BatchStates(CubeArray<C>::unwritten(count));
    }

    unsigned cube_type() const noexcept {
        return std::visit([]<Cube C>(const CubeArray<C>&) { return C::cube_type; }, states_);
    }
    std::size_t size() const noexcept {
        return std::visit([](const auto& array) { return array.count(); }, states_);
    }

    // Calls `f` with the states as a span of the batch's cube type.
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit([&](auto& array) -> decltype(auto) { return f(array.span()); }, states_);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit([&](const auto& array) -> decltype(auto) { return f(array.span()); }, states_);
    }

private:
    template <Cube C>
    explicit BatchStates(CubeArray<C> array) : states_(std::move(array)) {}

    std::variant<CubeArray<Cube2x2>, CubeArray<Cube3x3>> states_;
};

inline BatchStates BatchStates::solved(std::size_t count, unsigned cube_type) {
    BatchStates states = unwritten(count, cube_type);
    states.visit([]<Cube C>(std::span<C> cubes) { std::fill(cubes.begin(), cubes.end(), C{}); });
    return states;
}

}  // namespace turnsmith

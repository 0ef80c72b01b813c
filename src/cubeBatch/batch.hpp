// The states of a batch: one contiguous array of plain cube states of one
// type, sized once and solved at construction.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <variant>

#include "cube/fault.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"

namespace turnsmith {

template <Cube C>
struct CubeArray {
    std::unique_ptr<C[]> cubes;
    std::size_t count = 0;

    std::span<C> span() noexcept { return {cubes.get(), count}; }
    std::span<const C> span() const noexcept { return {cubes.get(), count}; }
};

class BatchStates {
public:
    // `cube_type` is 2 or 3 (checked by the caller). Throws InternalFault
    // "capacity overflow" when the storage size cannot be represented, and
    // OutOfMemory when it cannot be allocated.
    static BatchStates solved(std::size_t count, unsigned cube_type) {
        return cube_type == 2 ? BatchStates(allocate<Cube2x2>(count)) : BatchStates(allocate<Cube3x3>(count));
    }

    unsigned cube_type() const noexcept {
        return std::holds_alternative<CubeArray<Cube2x2>>(states_) ? 2 : 3;
    }
    std::size_t size() const noexcept {
        return std::visit([](const auto& array) { return array.count; }, states_);
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
    static CubeArray<C> allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(C)) {
            internal_fault("capacity overflow");
        }
        CubeArray<C> array;
        array.count = count;
        if (count == 0) return array;
        array.cubes.reset(new (std::nothrow) C[count]);  // every C starts solved
        if (!array.cubes) {
            out_of_memory("a batch of " + std::to_string(count) + " cubes (" + std::to_string(count * sizeof(C)) +
                          " bytes)");
        }
        return array;
    }

    template <Cube C>
    explicit BatchStates(CubeArray<C> array) : states_(std::move(array)) {}

    std::variant<CubeArray<Cube2x2>, CubeArray<Cube3x3>> states_;
};

}  // namespace turnsmith

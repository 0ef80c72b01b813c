// The batch loops of the 48 symmetries: images of every cube under one
// symmetry or one each, and every cube's least image. Each item reads its own
// cube and writes its own output, so the loops need no lock.
#pragma once

#include <cstdint>
#include <span>

#include "cube/cube.hpp"
#include "cube/symmetries.hpp"
#include "cube/work_cost.hpp"
#include "engine/loops.hpp"

namespace turnsmith {

// out[i] is cube i under symmetry `k` (below symmetries::symmetry_count).
template <Cube C, class Runner = AtOnce>
void symmetric_internal(std::span<const C> cubes, unsigned k, std::span<C> out, Runner&& run = {}) {
    const symmetries::Symmetry& s = symmetries::all()[k];
    run(out.size(), FixedCost<4>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = symmetries::conjugate(cubes[i], s);
    });
}

// out[i] is cube i under symmetry numbers[i] (each checked below
// symmetries::symmetry_count, and held apart from the caller's array).
template <Cube C, class Runner = AtOnce>
void symmetric_each_internal(std::span<const C> cubes, std::span<const std::uint8_t> numbers,
                             std::span<C> out, Runner&& run = {}) {
    const auto& all = symmetries::all();
    run(out.size(), FixedCost<4>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = symmetries::conjugate(cubes[i], all[numbers[i]]);
    });
}

// out[i] is the least image of cube i (symmetries::least_image).
template <Cube C, class Runner = AtOnce>
void canonical_internal(std::span<const C> cubes, bool with_inverse, std::span<C> out, Runner&& run = {}) {
    const auto& all = symmetries::all();
    const auto& tables = symmetries::corner_tables();
    run(out.size(), FixedCost<32>{}, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            out[i] = symmetries::least_image(cubes[i], with_inverse, all, tables);
    });
}

}  // namespace turnsmith

#include "engine/row_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "base/fault.hpp"

namespace turnsmith::row_memory {
namespace {

// Buffers that the C library would map on its own anyway (its largest mmap
// threshold is 32 MiB) are mapped here, with huge pages asked for: that cuts
// the page faults that the workers take while they write the rows (the kernel
// otherwise maps 4 KiB at a time). Smaller ones come from the heap, where
// memory freed by earlier results is reused instead of faulted in again.
constexpr std::size_t mapped_from_bytes = std::size_t{32} << 20;

[[noreturn]] void result_out_of_memory(std::size_t rows, std::size_t cols, std::size_t bytes) {
    out_of_memory("a result of " + std::to_string(rows) + " rows of " + std::to_string(cols) + " values (" +
                  std::to_string(bytes) + " bytes)");
}

}  // namespace

void* allocate_zeroed_bytes(std::size_t bytes) noexcept {
    if (bytes >= mapped_from_bytes) {
        void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return nullptr;
        madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: refusal changes nothing
        return memory;
    }
    return std::calloc(bytes, 1);
}

void* allocate_zeroed(std::size_t rows, std::size_t cols, std::size_t element_size) {
    const std::size_t max_elements = std::numeric_limits<std::ptrdiff_t>::max() / element_size;
    if (cols != 0 && rows > max_elements / cols) internal_fault("capacity overflow");
    const std::size_t bytes = rows * cols * element_size;
    if (bytes == 0) return nullptr;
    void* memory = allocate_zeroed_bytes(bytes);
    if (memory == nullptr) result_out_of_memory(rows, cols, bytes);
    return memory;
}

void release(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return;
    if (bytes >= mapped_from_bytes) {
        munmap(data, bytes);
    } else {
        std::free(data);
    }
}

}  // namespace turnsmith::row_memory

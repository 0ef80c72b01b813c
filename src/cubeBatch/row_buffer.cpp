#include "cubeBatch/row_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "cube/fault.hpp"

namespace turnsmith {
namespace {

// Buffers that the C library would map on its own anyway (its largest mmap
// threshold is 32 MiB) are mapped here, with huge pages asked for: that cuts
// the page faults that the workers take while they write the rows (the kernel
// otherwise maps 4 KiB at a time). Smaller ones come from the heap, where
// memory freed by earlier results is reused instead of faulted in again.
constexpr std::size_t mapped_from_bytes = std::size_t{32} << 20;

std::size_t bytes_of(std::size_t elements) noexcept { return elements * sizeof(std::int64_t); }

[[noreturn]] void result_out_of_memory(std::size_t rows, std::size_t cols) {
    out_of_memory("a result of " + std::to_string(rows) + " rows of " + std::to_string(cols) + " values (" +
                  std::to_string(bytes_of(rows * cols)) + " bytes)");
}

}  // namespace

RowBuffer RowBuffer::zeroed(std::size_t rows, std::size_t cols) {
    constexpr std::size_t max_elements = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(std::int64_t);
    if (cols != 0 && rows > max_elements / cols) internal_fault("capacity overflow");
    RowBuffer buffer;
    buffer.rows_ = rows;
    buffer.cols_ = cols;
    const std::size_t bytes = bytes_of(rows * cols);
    if (bytes == 0) return buffer;
    void* memory = nullptr;
    if (bytes >= mapped_from_bytes) {
        memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) result_out_of_memory(rows, cols);
        madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: refusal changes nothing
    } else {
        memory = std::calloc(rows * cols, sizeof(std::int64_t));
        if (memory == nullptr) result_out_of_memory(rows, cols);
    }
    buffer.data_ = static_cast<std::int64_t*>(memory);
    return buffer;
}

void RowBuffer::release_memory(void* data, std::size_t elements) noexcept {
    if (data == nullptr) return;
    const std::size_t bytes = bytes_of(elements);
    if (bytes >= mapped_from_bytes) {
        munmap(data, bytes);
    } else {
        std::free(data);
    }
}

}  // namespace turnsmith

// A zero-filled buffer of rows x cols signed 64-bit values: the output of the
// batch projections, handed to NumPy without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace turnsmith {

class RowBuffer {
public:
    RowBuffer() noexcept = default;
    // Throws InternalFault "capacity overflow" when the size cannot be
    // represented, OutOfMemory when it cannot be allocated.
    static RowBuffer zeroed(std::size_t rows, std::size_t cols);

    RowBuffer(RowBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), rows_(other.rows_), cols_(other.cols_) {}
    RowBuffer& operator=(RowBuffer&& other) noexcept {
        RowBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~RowBuffer() { release_memory(data_, size()); }

    std::int64_t* row(std::size_t r) noexcept { return data_ + r * cols_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }

    // Gives up ownership; the memory must then be released with
    // release_memory(data, size()).
    std::int64_t* release() noexcept { return std::exchange(data_, nullptr); }
    static void release_memory(void* data, std::size_t elements) noexcept;

private:
    void swap(RowBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(rows_, other.rows_);
        std::swap(cols_, other.cols_);
    }

    std::int64_t* data_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

}  // namespace turnsmith

// A zero-filled buffer of rows x cols values of one element type: the output
// of the batch operations, handed to NumPy without a copy. Sticker arrays and
// successors are signed 64-bit rows (RowBuffer); words, flags, sticker bytes
// and recorded moves use the other element types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace turnsmith {

namespace row_memory {
// Zero-filled memory of `rows` x `cols` elements of `element_size` bytes.
// Throws InternalFault "capacity overflow" when the size cannot be
// represented, OutOfMemory when it cannot be allocated.
void* allocate_zeroed(std::size_t rows, std::size_t cols, std::size_t element_size);
void release(void* data, std::size_t bytes) noexcept;
// Zero-filled memory of `bytes` bytes (not 0), or null when it cannot be had.
void* allocate_zeroed_bytes(std::size_t bytes) noexcept;

// Memory taken out of a buffer, released when this ends unless handed on.
class Owned {
public:
    Owned(void* data, std::size_t bytes) noexcept : data_(data), bytes_(bytes) {}
    Owned(Owned&& other) noexcept : data_(std::exchange(other.data_, nullptr)), bytes_(other.bytes_) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned& operator=(Owned&&) = delete;
    ~Owned() { release(data_, bytes_); }

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }
    // Hands the memory on; release(data, bytes()) then falls to the taker.
    void* take() noexcept { return std::exchange(data_, nullptr); }

private:
    void* data_;
    std::size_t bytes_;
};
}  // namespace row_memory

template <class T>
class Rows {
public:
    using Element = T;

    Rows() noexcept = default;
    static Rows zeroed(std::size_t rows, std::size_t cols) {
        Rows buffer;
        buffer.data_ = static_cast<T*>(row_memory::allocate_zeroed(rows, cols, sizeof(T)));
        buffer.rows_ = rows;
        buffer.cols_ = cols;
        return buffer;
    }

    Rows(Rows&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), rows_(other.rows_), cols_(other.cols_) {}
    Rows& operator=(Rows&& other) noexcept {
        Rows(std::move(other)).swap(*this);
        return *this;
    }
    ~Rows() { row_memory::release(data_, bytes()); }

    T* row(std::size_t r) noexcept { return data_ + r * cols_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }
    std::size_t bytes() const noexcept { return size() * sizeof(T); }

    // Gives up the memory to its new owner.
    row_memory::Owned release() noexcept {
        const std::size_t size_in_bytes = bytes();
        return {std::exchange(data_, nullptr), size_in_bytes};
    }

private:
    void swap(Rows& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(rows_, other.rows_);
        std::swap(cols_, other.cols_);
    }

    T* data_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

using RowBuffer = Rows<std::int64_t>;

}  // namespace turnsmith

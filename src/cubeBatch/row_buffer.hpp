// A zero-filled buffer of rows x cols signed 64-bit values: the output of the
// batch projections, handed to NumPy without a copy.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include "cube/fault.hpp"

namespace turnsmith {

class RowBuffer {
 public:
  static RowBuffer zeroed(std::size_t rows, std::size_t cols) {
    constexpr std::size_t max_elements = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(std::int64_t);
    if (cols != 0 && rows > max_elements / cols) internal_fault("capacity overflow");
    RowBuffer buffer;
    buffer.rows_ = rows;
    buffer.cols_ = cols;
    if (rows * cols == 0) return buffer;
    // calloc hands large blocks over as fresh zero pages: no zeroing pass, and
    // the workers fault the pages in where they write.
    buffer.data_.reset(static_cast<std::int64_t*>(std::calloc(rows * cols, sizeof(std::int64_t))));
    if (!buffer.data_) throw std::bad_alloc();
    return buffer;
  }

  std::int64_t* row(std::size_t r) noexcept { return data_.get() + r * cols_; }
  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  std::size_t size() const noexcept { return rows_ * cols_; }

  // Gives up ownership; the memory must then be released with release_memory().
  std::int64_t* release() noexcept { return data_.release(); }
  static void release_memory(void* data) noexcept { std::free(data); }

 private:
  struct Free {
    void operator()(std::int64_t* data) const noexcept { std::free(data); }
  };
  std::unique_ptr<std::int64_t[], Free> data_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
};

}  // namespace turnsmith

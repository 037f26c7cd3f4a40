// Matrix of doubles: rows and columns travel with the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace expcoil {

// rows x columns doubles, row-major and contiguous; m[r][c] is column c of row r. Values are left
// uninitialised by construction: every producer in the program writes each element before anyone
// reads it, and the FFT working set is too large to clear for nothing.
class Matrix {
 public:
  Matrix() = default;
  Matrix(std::uint32_t rows, std::uint32_t columns);

  std::uint32_t rows() const { return rows_; }
  std::uint32_t columns() const { return columns_; }
  std::size_t size() const { return static_cast<std::size_t>(rows_) * columns_; }

  double* operator[](std::uint32_t r) { return data_.get() + static_cast<std::size_t>(r) * columns_; }
  const double* operator[](std::uint32_t r) const {
    return data_.get() + static_cast<std::size_t>(r) * columns_;
  }
  double* data() { return data_.get(); }
  const double* data() const { return data_.get(); }

 private:
  std::uint32_t rows_ = 0;
  std::uint32_t columns_ = 0;
  std::unique_ptr<double[]> data_;
};

// a[r][c] *= b[r][c] over a's extent; b must be at least as large in both directions.
void matrix_multiply_elementwise(Matrix& a, const Matrix& b);

}  // namespace expcoil

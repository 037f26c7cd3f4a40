#include "lib/matrix.hpp"

#include <cstdint>
#include <new>

namespace expcoil {

Matrix::Matrix(std::uint32_t rows, std::uint32_t columns) : rows_(rows), columns_(columns) {
  const std::uint64_t n = static_cast<std::uint64_t>(rows) * columns;
  if (n > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
  if (n != 0) data_ = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(n));
}

void matrix_multiply_elementwise(Matrix& a, const Matrix& b) {
  for (std::uint32_t r = a.rows(); r-- > 0;) {
    double* ar = a[r];
    const double* br = b[r];
    for (std::uint32_t c = a.columns(); c-- > 0;) ar[c] = ar[c] * br[c];
  }
}

}  // namespace expcoil

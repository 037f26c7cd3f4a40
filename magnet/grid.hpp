// Evaluation of a function of two coordinates over every element of a matrix, on all processors.
// Element [r][c] receives function(r * step0 + origin0, c * step1 + origin1): the coordinates are
// (double)index * step, then + origin, so a grid evaluates to the same bits whatever the worker
// count. The elements are split evenly among `workers` workers of lib/workers.hpp (0: all processors;
// a worker's range may begin and end in the middle of a row).
#pragma once

#include <concepts>
#include <type_traits>

#include "lib/matrix.hpp"

namespace expcoil {

// Called once per element from several threads at once (different `out` each); it must only read
// shared data.
using GridFunction = void (*)(double x0, double x1, double* out, const void* context);

// Fills `matrix`; its previous contents are not read. An empty matrix makes no call.
void grid_evaluate(Matrix& matrix, GridFunction function, const void* context, double origin0, double origin1,
                   double step0, double step1, unsigned workers = 0);

// The same for any callable f(x0, x1, out) that is safe to call concurrently through a const
// reference, e.g. a lambda that forwards to a function taking its record by reference.
template <class F>
requires std::invocable<const F&, double, double, double*>
void grid_evaluate(Matrix& matrix, const F& function, double origin0, double origin1, double step0,
                   double step1, unsigned workers = 0) {
  grid_evaluate(
      matrix,
      [](double x0, double x1, double* out, const void* context) {
        (*static_cast<const F*>(context))(x0, x1, out);
      },
      static_cast<const void*>(&function), origin0, origin1, step0, step1, workers);
}

}  // namespace expcoil

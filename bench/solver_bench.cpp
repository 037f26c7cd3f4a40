// Cost of the current-potential solver for a 256-point coil mesh on 512- and 1024-point FFT meshes,
// with 1 and 2 workers, against the straightforward chain in the same run: the target evaluated
// point by point, a kernel matrix evaluated point by point, and a 2-D FFT that transforms one row
// and then one gathered column at a time. Both chains give the same bits (the tests check the
// pieces); the phases are timed on their own as well.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "lib/fft.hpp"
#include "lib/workers.hpp"
#include "magnet/grid.hpp"
#include "magnet/mesh.hpp"
#include "magnet/solver.hpp"
#include "magnet/target.hpp"

namespace {

using namespace expcoil;

struct Example {
  MagnetSpec magnet;
  Parameters& set = magnet.params;
  explicit Example(std::int32_t fft) {
    set.scaling_k = 2.5;
    set.good_field_height = 0.15;
    set.vertical_end_height = 0.08;
    set.vertical_middle_join_height = 0.35;
    set.vertical_middle_ramp = 0.5;
    set.vertical_end_ramp = 0.5;
    set.coil_meshes[0] = set.coil_meshes[1] = 256;
    set.fft_meshes[0] = set.fft_meshes[1] = fft;
    set.use_vertical_fft_inversion = 1;
    magnet.bmax = 0.8;
    magnet.length = 0.8;
    magnet.winding_centre_to_midplane = 0.02;
    magnet.winding_return_half_length = 0.1;
    magnet.polynomial_adjustment = {0.0};
  }
};

// --- the straightforward chain ------------------------------------------------------------------

void plain_fft2d(bool inverse, const Matrix& in_re, const Matrix* in_im, Matrix& out_re, Matrix& out_im,
                 unsigned workers) {
  const std::uint32_t rows = in_re.rows(), columns = in_re.columns();
  Matrix tmp_re(rows, columns), tmp_im(rows, columns);
  run_workers(rows, workers, [&](const WorkerRange& range, unsigned) {
    for (std::int64_t r = range.first; r < range.end; ++r) {
      const auto row = static_cast<std::uint32_t>(r);
      fft(columns, inverse, in_re[row], in_im != nullptr ? (*in_im)[row] : nullptr, tmp_re[row], tmp_im[row]);
    }
  });
  run_workers(columns, workers, [&](const WorkerRange& range, unsigned) {
    auto scratch = std::make_unique<double[]>(4 * std::size_t{rows});
    double *c_re = scratch.get(), *c_im = c_re + rows, *x_re = c_im + rows, *x_im = x_re + rows;
    for (std::int64_t c = range.first; c < range.end; ++c) {
      for (std::uint32_t r = rows; r-- > 0;) {
        c_re[r] = tmp_re[r][c];
        c_im[r] = tmp_im[r][c];
      }
      fft(rows, inverse, c_re, c_im, x_re, x_im);
      for (std::uint32_t r = rows; r-- > 0;) {
        out_re[r][c] = x_re[r];
        out_im[r][c] = x_im[r];
      }
    }
  });
}

Matrix plain_potential(const MagnetSpec& magnet, unsigned workers) {
  const Parameters& p = magnet.params;
  const std::int32_t coil_rows = p.coil_meshes[0], coil_columns = p.coil_meshes[1],
                     fft_rows = p.fft_meshes[0], fft_columns = p.fft_meshes[1];
  const MeshGeometry coil = mesh_geometry(magnet, coil_rows, coil_columns);
  const MeshGeometry f = mesh_geometry(magnet, fft_rows, fft_columns);
  const double fft_y = f.origin[1] - 0.5 * ((fft_rows - 1) * f.spacing);
  const double fft_z = f.origin[2] - 0.5 * ((fft_columns - 1) * f.spacing);
  const double step = f.spacing + f.spacing;
  const auto rows = static_cast<std::uint32_t>(fft_rows), columns = static_cast<std::uint32_t>(fft_columns);
  Matrix target(rows, columns);
  grid_evaluate(
      target, [&](double y, double z, double* out) { target_potential(y, z, out, magnet); }, fft_y, fft_z,
      step, step, workers);
  Matrix s_re(rows, columns), s_im(rows, columns);
  plain_fft2d(false, target, nullptr, s_re, s_im, workers);
  target = Matrix();
  Matrix kernel(rows, columns);
  const KernelContext context{step, &magnet};
  grid_evaluate(
      kernel, [&](double x0, double x1, double* out) { inversion_kernel(x0, x1, out, context); }, 0.0, 0.0,
      1.0, 1.0, workers);
  matrix_multiply_elementwise(s_re, kernel);
  matrix_multiply_elementwise(s_im, kernel);
  kernel = Matrix();
  Matrix r_re(rows, columns), r_im(rows, columns);
  plain_fft2d(true, s_re, &s_im, r_re, r_im, workers);
  Matrix out(coil_rows, coil_columns);
  for (std::int32_t i = coil_rows; i-- > 0;) {
    for (std::int32_t j = coil_columns; j-- > 0;) {
      if (i == 0 || j == 0 || i == coil_rows - 1 || j == coil_columns - 1) {
        out[i][j] = 0.0;
        continue;
      }
      const double v = ((coil.origin[1] - fft_y) + i * coil.spacing) / step;
      const double u = ((coil.origin[2] - fft_z) + j * coil.spacing) / step;
      const auto a = static_cast<std::uint32_t>(v), b = static_cast<std::uint32_t>(u);
      const double fa = v - a, fb = u - b;
      const double lower = r_re[a][b + 1] * fb + (1 - fb) * r_re[a][b];
      const double upper = r_re[a + 1][b + 1] * fb + r_re[a + 1][b] * (1 - fb);
      out[i][j] = upper * fa + lower * (1 - fa);
    }
  }
  return out;
}

// Arguments: FFT mesh, workers.
template <Matrix (*Solve)(const MagnetSpec&, unsigned)>
void BM_potential(benchmark::State& state) {
  Example example(static_cast<std::int32_t>(state.range(0)));
  const auto workers = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    Matrix m = Solve(example.magnet, workers);
    benchmark::DoNotOptimize(m.data());
  }
}
BENCHMARK(BM_potential<compute_current_potential>)
    ->Name("compute_current_potential")
    ->ArgsProduct({{512, 1024}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_potential<plain_potential>)
    ->Name("straightforward_potential")
    ->ArgsProduct({{512, 1024}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// --- phases -------------------------------------------------------------------------------------

template <bool Separable>
void BM_sample(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Example example(static_cast<std::int32_t>(n));
  const auto workers = static_cast<unsigned>(state.range(1));
  Matrix target(n, n);
  // The enlarged FFT grid of the example: y from -1.5 to 2.2, z from -2.05 to 2.05.
  const double step = 4.1 / (n - 1), y0 = 0.175 - 2.05, z0 = -2.05;
  for (auto _ : state) {
    if (Separable) {
      sample_target(target, example.magnet, y0, z0, step, step, workers);
    } else {
      grid_evaluate(
          target, [&](double y, double z, double* out) { target_potential(y, z, out, example.magnet); }, y0,
          z0, step, step, workers);
    }
    benchmark::DoNotOptimize(target.data());
  }
}
BENCHMARK(BM_sample<true>)
    ->Name("sample_target")
    ->ArgsProduct({{512, 1024}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_sample<false>)
    ->Name("straightforward_sample")
    ->ArgsProduct({{512, 1024}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

template <bool Batched>
void BM_fft2d(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  const auto workers = static_cast<unsigned>(state.range(1));
  Matrix re(n, n), im(n, n), out_re(n, n), out_im(n, n);
  for (std::size_t i = 0; i < re.size(); ++i) re.data()[i] = im.data()[i] = static_cast<double>(i % 97);
  for (auto _ : state) {
    if (Batched) {
      fft2d(false, re, &im, out_re, out_im, workers);
    } else {
      plain_fft2d(false, re, &im, out_re, out_im, workers);
    }
    benchmark::DoNotOptimize(out_re.data());
  }
}
BENCHMARK(BM_fft2d<true>)
    ->Name("fft2d")
    ->ArgsProduct({{512, 1024}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_fft2d<false>)
    ->Name("straightforward_fft2d")
    ->ArgsProduct({{512, 1024}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

#include "magnet/solver.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/constants.hpp"
#include "lib/errors.hpp"
#include "lib/fft.hpp"
#include "lib/number_format.hpp"
#include "magnet/grid.hpp"
#include "magnet/mesh.hpp"
#include "magnet/target.hpp"

namespace expcoil {
namespace {

// 1 / (1 + 1e-6): the factor at kappa = 0, and everywhere without the inversion.
constexpr double kUnitFactor = 0.9999990000010001;

// Bilinear weights of fractional index x on an axis of n points: the cell [a, a1] and the fraction
// f = x - a. Below 0 the first cell is used; at or past the last point the cell collapses onto it
// and f is left unclamped (the two corners are then equal, so the value is that point's).
struct Cell {
  std::uint32_t a, a1;
  double f;
};

Cell cell_of(double x, std::uint32_t n) {
  const double clamped = x > 0 ? x : 0.0;
  const double last = static_cast<double>(n - 1);
  const std::uint32_t a = clamped < last ? static_cast<std::uint32_t>(clamped) : n - 1;
  const std::uint32_t a1 = a + 1 < n ? a + 1 : n - 1;
  return {a, a1, x - a};
}

// m[r][c] = m[r][c] * factor[r][0].
void scale_rows(Matrix& m, const Matrix& factor) {
  for (std::uint32_t r = m.rows(); r-- > 0;) {
    const double f = factor[r][0];
    double* row = m[r];
    for (std::uint32_t c = m.columns(); c-- > 0;) row[c] = row[c] * f;
  }
}

// A profile so steep that e^(k d) overflows inside the winding region would turn the whole
// spectrum, and with it every winding, into NaN.
void require_finite_target(const Matrix& target, const MagnetSpec& magnet, double origin_y, double origin_z,
                           double step) {
  for (std::uint32_t r = 0; r < target.rows(); ++r) {
    for (std::uint32_t c = 0; c < target.columns(); ++c) {
      if (std::isfinite(target[r][c])) continue;
      const double y = static_cast<double>(r) * step + origin_y;
      std::string message = "the target current potential is not finite at y = ";
      message += format_general(y, 6);
      message += " m, z = ";
      message += format_general(static_cast<double>(c) * step + origin_z, 6);
      message += " m: ";
      message += target_overflow_cause(magnet, y);
      throw InputError(message);
    }
  }
}

// e^(|kappa| d) overflows for the shortest wavelengths when the winding plane lies far from the
// mid-plane; the factor is then not a number (inf / inf) and so would be every winding.
void require_finite_kernel(const Matrix& kernel, const MagnetSpec& magnet, double step) {
  for (std::uint32_t r = 0; r < kernel.rows(); ++r) {
    if (std::isfinite(kernel[r][0])) continue;
    std::string message =
        "the vertical FFT inversion factor e^(|kappa| d) exceeds double range at the FFT mesh's ";
    message += "wavenumber kappa = ";
    const std::int64_t n = kernel.rows();
    const std::int64_t f = r < n / 2 ? r : r - static_cast<std::int64_t>(n);
    message += format_general(static_cast<double>(f) * kTwoPi / (step * static_cast<double>(n)), 6);
    message += " /m: \"Winding centre to midplane\" (";
    message += format_general(magnet.winding_centre_to_midplane, 6);
    message += " m) is too large for \"FFT meshes\" (";
    message += std::to_string(magnet.params.fft_meshes[0]);
    message += "); reduce either, or turn \"Use vertical FFT inversion\" off";
    throw InputError(message);
  }
}

}  // namespace

void inversion_kernel(double x0, double, double* out, const KernelContext& context) {
  const MagnetSpec& magnet = *context.magnet;
  const std::int64_t r = static_cast<std::int64_t>(x0);
  const std::int64_t N = magnet.params.fft_meshes[0];
  const std::int64_t f = r < N / 2 ? r : r - N;
  if (!magnet.params.use_vertical_fft_inversion) {
    *out = kUnitFactor;
    return;
  }
  const double kappa = static_cast<double>(f) * kTwoPi / (context.step * static_cast<double>(N));
  const double a = magnet.winding_centre_to_midplane * std::fabs(kappa);
  const double E = std::exp(a);
  const double damped = 0.001 * E;
  *out = E / (1 + damped * damped);
}

SolverMemory solver_memory(const Parameters& set) {
  const double fft_points = static_cast<double>(set.fft_meshes[0]) * set.fft_meshes[1];
  const double coil_points = static_cast<double>(set.coil_meshes[0]) * set.coil_meshes[1];
  // At the inverse transform: the spectrum and the result, real and imaginary.
  return {4.0 * fft_points * sizeof(double), coil_points * sizeof(double)};
}

namespace {

// The wavenumber of FFT index i of n points at spacing step, 1/m.
double wavenumber(std::uint32_t i, std::uint32_t n, double step) {
  const std::int64_t f = i < n / 2 ? static_cast<std::int64_t>(i) : static_cast<std::int64_t>(i) - n;
  return static_cast<double>(f) * kTwoPi / (step * static_cast<double>(n));
}

// The 4-point Lagrange weights of nodes a - 1 .. a + 2 at the fraction t past node a.
void cubic_weights(double t, double w[4]) {
  w[0] = -t * (t - 1) * (t - 2) / 6;
  w[1] = (t + 1) * (t - 1) * (t - 2) / 2;
  w[2] = -(t + 1) * t * (t - 2) / 2;
  w[3] = (t + 1) * t * (t - 1) / 6;
}

// out[i][j] = R at fractional index (y0 + i s, z0 + j s) by tensor-product cubics, the outer ring 0. The
// bilinear interpolation's error, f (1 - f) h^2 psi'' / 2 with f the phase between the two grids, beats
// between them: on a precise design it was a wave of +-0.06 % in By across the band (k = 10 /m); the
// cubics' is of order (k h)^4. The coil mesh lies in the middle half of the enlarged grid, so the four
// nodes exist; they are clamped all the same.
void interpolate_cubic(Matrix& out, const Matrix& R, double y0, double z0, double s) {
  const auto last_row = static_cast<std::int64_t>(R.rows()) - 1;
  const auto last_column = static_cast<std::int64_t>(R.columns()) - 1;
  std::vector<std::int64_t> zi(out.columns());
  std::vector<double> zw(4 * std::size_t{out.columns()});
  for (std::uint32_t j = 0; j < out.columns(); ++j) {
    const double x = z0 + j * s;
    zi[j] = static_cast<std::int64_t>(std::floor(x));
    cubic_weights(x - static_cast<double>(zi[j]), &zw[4 * j]);
  }
  for (std::uint32_t i = 0; i < out.rows(); ++i) {
    const double x = y0 + i * s;
    const auto a = static_cast<std::int64_t>(std::floor(x));
    double yw[4];
    cubic_weights(x - static_cast<double>(a), yw);
    for (std::uint32_t j = 0; j < out.columns(); ++j) {
      if (i == 0 || i == out.rows() - 1 || j == 0 || j == out.columns() - 1) {
        out[i][j] = 0.0;
        continue;
      }
      double sum = 0;
      for (int p = 0; p < 4; ++p) {
        const double* row = R[static_cast<std::uint32_t>(std::clamp<std::int64_t>(a - 1 + p, 0, last_row))];
        double along = 0;
        for (int q = 0; q < 4; ++q) {
          along += zw[4 * j + q] * row[std::clamp<std::int64_t>(zi[j] - 1 + q, 0, last_column)];
        }
        sum += yw[p] * along;
      }
      out[i][j] = sum;
    }
  }
}

Matrix solve_potential(const MagnetSpec& magnet, const PotentialModel* model, unsigned workers) {
  const Parameters& p = magnet.params;
  const std::int32_t coil_rows = p.coil_meshes[0], coil_columns = p.coil_meshes[1];
  const std::int32_t fft_rows = p.fft_meshes[0], fft_columns = p.fft_meshes[1];
  if (coil_rows < 2 || coil_columns < 2 || fft_rows < 1 || fft_columns < 1) {
    throw InputError(
        "current potential: the coil mesh needs at least 2 points and the FFT mesh 1 "
        "point along each direction");
  }
  const MeshGeometry coil = mesh_geometry(magnet, coil_rows, coil_columns);
  const double coil_spacing = coil.spacing;
  const double coil_y = coil.origin[1], coil_z = coil.origin[2];
  const MeshGeometry fft_mesh = mesh_geometry(magnet, fft_rows, fft_columns);
  const double fft_spacing = fft_mesh.spacing;
  // Enlarged about its own centre to twice its extent, keeping the point counts.
  const double fft_y = fft_mesh.origin[1] - 0.5 * ((fft_rows - 1) * fft_spacing);
  const double fft_z = fft_mesh.origin[2] - 0.5 * ((fft_columns - 1) * fft_spacing);
  const double step = fft_spacing + fft_spacing;

  const auto rows = static_cast<std::uint32_t>(fft_rows), columns = static_cast<std::uint32_t>(fft_columns);
  Matrix result_re;
  {
    Matrix spectrum_re(rows, columns);
    Matrix spectrum_im(rows, columns);
    {
      Matrix target(rows, columns);
      if (model != nullptr) {
        model->sample(target, fft_y, fft_z, step, workers);
      } else {
        sample_target(target, magnet, fft_y, fft_z, step, step, workers);
      }
      require_finite_target(target, magnet, fft_y, fft_z, step);
      fft2d(false, target, nullptr, spectrum_re, spectrum_im, workers);
    }
    if (model != nullptr) {
      Matrix factor(rows, columns);
      grid_evaluate(
          factor,
          [&](double r, double c, double* out) {
            *out = model->factor(wavenumber(static_cast<std::uint32_t>(r), rows, step),
                                 wavenumber(static_cast<std::uint32_t>(c), columns, step));
          },
          0.0, 0.0, 1.0, 1.0, workers);
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t c = 0; c < columns; ++c) {
          spectrum_re[r][c] = spectrum_re[r][c] * factor[r][c];
          spectrum_im[r][c] = spectrum_im[r][c] * factor[r][c];
        }
      }
    } else {
      // The factor depends on the row alone, so it is tabulated once per row (at the row index, as
      // the kernel expects) and applied along the row: the same products as with a full matrix.
      Matrix kernel(rows, 1);
      const KernelContext context{step, &magnet};
      grid_evaluate(
          kernel, [&context](double x0, double x1, double* out) { inversion_kernel(x0, x1, out, context); },
          0.0, 0.0, 1.0, 1.0, workers);
      require_finite_kernel(kernel, magnet, step);
      scale_rows(spectrum_re, kernel);
      scale_rows(spectrum_im, kernel);
    }
    result_re = Matrix(rows, columns);
    // Only the real part of the inverse is used (the kernel is real and even in the frequency).
    Matrix result_im(rows, columns);
    fft2d(true, spectrum_re, &spectrum_im, result_re, result_im, workers);
  }

  const auto out_rows = static_cast<std::uint32_t>(coil_rows),
             out_columns = static_cast<std::uint32_t>(coil_columns);
  Matrix out(out_rows, out_columns);
  const Matrix& R = result_re;
  if (model != nullptr) {
    interpolate_cubic(out, R, ((coil_y - fft_y) / step), ((coil_z - fft_z) / step), coil_spacing / step);
    return out;
  }
  for (std::uint32_t i = out_rows; i-- > 0;) {
    const bool border_row = i == 0 || i == out_rows - 1;
    const Cell y = cell_of(((coil_y - fft_y) + i * coil_spacing) / step, rows);
    for (std::uint32_t j = out_columns; j-- > 0;) {
      if (border_row || j == 0 || j == out_columns - 1) {
        out[i][j] = 0.0;
        continue;
      }
      const Cell z = cell_of(((coil_z - fft_z) + j * coil_spacing) / step, columns);
      const double lower = R[y.a][z.a1] * z.f + (1 - z.f) * R[y.a][z.a];
      const double upper = R[y.a1][z.a1] * z.f + R[y.a1][z.a] * (1 - z.f);
      out[i][j] = upper * y.f + lower * (1 - y.f);
    }
  }
  return out;
}

}  // namespace

Matrix compute_current_potential(const MagnetSpec& magnet, unsigned workers) {
  return solve_potential(magnet, nullptr, workers);
}

Matrix compute_current_potential(const MagnetSpec& magnet, const PotentialModel& model, unsigned workers) {
  return solve_potential(magnet, &model, workers);
}

}  // namespace expcoil

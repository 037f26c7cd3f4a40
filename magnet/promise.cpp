#include "magnet/promise.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "lib/number_format.hpp"
#include "magnet/windings.hpp"

namespace expcoil {
namespace {

constexpr std::size_t kLinePoints = 201;
constexpr std::size_t kPathHeights = 11;

// numpy's linspace: start + i step, the last point exactly stop.
std::vector<double> linspace(double start, double stop, std::size_t n) {
  std::vector<double> v(n);
  const double step = n > 1 ? (stop - start) / static_cast<double>(n - 1) : 0.0;
  for (std::size_t i = 0; i < n; ++i) v[i] = start + static_cast<double>(i) * step;
  if (n > 1) v[n - 1] = stop;
  return v;
}

// The positions along the path of analysis.path_positions: finely spaced to 2 h + 2 d past the magnet's
// end, where the field has fallen to its tail, four times coarser beyond, to the coil mesh's end.
std::vector<double> path_positions(const MagnetSpec& magnet, const std::vector<double>& mesh_z) {
  const double reach = std::max(-mesh_z.front(), mesh_z.back());
  const double h = magnet.winding_return_half_length, w = magnet.winding_centre_to_midplane;
  const double step = std::max(h, w) / 8;
  const double fine_reach = std::min(0.5 * magnet.length + 2 * h + 2 * w, reach);
  const double fine_points = std::min(std::max(std::ceil(fine_reach / step), 20.0), 800.0);
  std::vector<double> half = linspace(0.0, fine_reach, static_cast<std::size_t>(fine_points) + 1);
  if (reach > fine_reach) {
    const double tail = std::min(std::max(std::ceil((reach - fine_reach) / (4 * step)), 1.0), 800.0);
    const std::vector<double> more = linspace(fine_reach, reach, static_cast<std::size_t>(tail) + 1);
    half.insert(half.end(), more.begin() + 1, more.end());
  }
  std::vector<double> z;
  for (std::size_t i = half.size(); i-- > 1;) z.push_back(-half[i]);
  z.insert(z.end(), half.begin(), half.end());
  return z;
}

// The least-squares slope of ln|f| against x.
double log_slope(const std::vector<double>& x, const std::vector<double>& f) {
  const std::size_t n = x.size();
  double x_mean = 0, ln_mean = 0;
  std::vector<double> ln(n);
  for (std::size_t i = 0; i < n; ++i) {
    ln[i] = std::log(std::fabs(f[i]));
    x_mean += x[i];
    ln_mean += ln[i];
  }
  x_mean /= static_cast<double>(n);
  ln_mean /= static_cast<double>(n);
  double num = 0, den = 0;
  for (std::size_t i = 0; i < n; ++i) {
    num += (x[i] - x_mean) * (ln[i] - ln_mean);
    den += (x[i] - x_mean) * (x[i] - x_mean);
  }
  return num / den;
}

// max |k(x) / k - 1| of the local index d ln|f| / dx, as numpy's gradient takes it: second order inside
// on the uneven points, first order at the two ends.
double max_local_index_error(const std::vector<double>& x, const std::vector<double>& f, double k) {
  const std::size_t n = x.size();
  std::vector<double> ln(n);
  for (std::size_t i = 0; i < n; ++i) ln[i] = std::log(std::fabs(f[i]));
  double worst = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double slope;
    if (i == 0) {
      slope = (ln[1] - ln[0]) / (x[1] - x[0]);
    } else if (i == n - 1) {
      slope = (ln[n - 1] - ln[n - 2]) / (x[n - 1] - x[n - 2]);
    } else {
      const double hd = x[i] - x[i - 1], hs = x[i + 1] - x[i];
      slope =
          (hs * hs * ln[i + 1] + (hd * hd - hs * hs) * ln[i] - hd * hd * ln[i - 1]) / (hs * hd * (hd + hs));
    }
    const double error = std::fabs(slope / k - 1);
    // A NaN must not pass as a small error.
    if (!(error <= worst)) worst = error;
  }
  return worst;
}

std::string percent(double fraction) { return format_general(100 * fraction, 3) + " %"; }

}  // namespace

bool BandFigures::meets(const PromiseLimits& l) const { return promise_misses(*this, l).empty(); }

std::vector<BandFigures> promise_figures(const MagnetSpec& magnet, const FieldEvaluator& field,
                                         const std::vector<double>& mesh_z, unsigned workers) {
  const Parameters& p = magnet.params;
  const double g = p.good_field_height, J = p.vertical_middle_join_height, k = p.scaling_k;
  struct Band {
    const char* name;
    std::vector<double> y, height;
    double sign;
  };
  std::vector<Band> bands;
  bands.push_back({"lower", linspace(-g, 0.0, kLinePoints), {}, 1.0});
  if (J > 0) bands.push_back({"upper", linspace(J, J + g, kLinePoints), {}, -1.0});
  for (Band& b : bands) {
    b.height = b.y;
    if (b.sign < 0) {
      for (double& h : b.height) h = J - h;
    }
  }

  // The path: x = 0 along z, bent with the windings; its arc length is the same at every height.
  const std::vector<double> z = path_positions(magnet, mesh_z);
  const std::size_t nz = z.size();
  std::vector<double> path_x(nz, 0.0), path_z = z;
  if (magnet.bent) bend_points(magnet, path_x.data(), path_z.data(), nz);
  std::vector<double> ds(nz - 1);
  for (std::size_t i = 0; i + 1 < nz; ++i)
    ds[i] = std::hypot(path_x[i + 1] - path_x[i], path_z[i + 1] - path_z[i]);

  // Every point of every band in one request.
  std::vector<double> px, py, pz;
  for (const Band& b : bands) {
    for (double y : b.y) {
      px.push_back(0.0);
      py.push_back(y);
      pz.push_back(0.0);
    }
    for (double y : linspace(b.y.front(), b.y.back(), kPathHeights)) {
      for (std::size_t i = 0; i < nz; ++i) {
        px.push_back(path_x[i]);
        py.push_back(y);
        pz.push_back(path_z[i]);
      }
    }
  }
  std::vector<double> B(3 * px.size());
  field.field_at_points(px.data(), py.data(), pz.data(), px.size(), B.data(), workers);

  std::vector<BandFigures> figures;
  std::size_t at = 0;
  for (const Band& b : bands) {
    BandFigures f;
    f.band = b.name;
    std::vector<double> by(kLinePoints);
    double squares = 0;
    for (std::size_t i = 0; i < kLinePoints; ++i, ++at) {
      by[i] = B[3 * at + 1];
      const double deviation = by[i] / (b.sign * magnet.bmax * std::exp(k * b.height[i])) - 1;
      squares += deviation * deviation;
      f.mean_deviation += deviation / kLinePoints;
    }
    f.rms_deviation = std::sqrt(squares / kLinePoints);
    f.k_fit_error = log_slope(b.height, by) / k - 1;
    f.max_local_index_error = max_local_index_error(b.height, by, k);

    const std::vector<double> heights = linspace(b.height.front(), b.height.back(), kPathHeights);
    std::vector<double> integral(kPathHeights);
    double shortest = INFINITY, longest = -INFINITY;
    for (std::size_t r = 0; r < kPathHeights; ++r, at += nz) {
      double sum = 0;
      for (std::size_t i = 0; i + 1 < nz; ++i)
        sum += 0.5 * (B[3 * (at + i) + 1] + B[3 * (at + i + 1) + 1]) * ds[i];
      integral[r] = sum;
      const double length = sum / B[3 * (at + nz / 2) + 1];
      shortest = std::min(shortest, length);
      longest = std::max(longest, length);
    }
    f.effective_length_spread = shortest > 0 ? longest / shortest - 1 : NAN;
    f.k_int_error = log_slope(heights, integral) / k - 1;
    figures.push_back(f);
  }
  return figures;
}

std::string promise_text(const BandFigures& f) {
  return f.band + " band: rms deviation from the law " + percent(f.rms_deviation) + ", k_fit/k - 1 " +
         percent(f.k_fit_error) + ", max |k(d)/k - 1| " + percent(f.max_local_index_error) +
         ", effective-length spread " + percent(f.effective_length_spread) + ", k_int/k - 1 " +
         percent(f.k_int_error);
}

std::string promise_misses(const BandFigures& f, const PromiseLimits& l) {
  std::string misses;
  const auto judge = [&misses](const char* name, double value, double limit) {
    if (std::fabs(value) <= limit) return;
    if (!misses.empty()) misses += ", ";
    misses += std::string(name) + " " + percent(value) + " (promise " + percent(limit) + ")";
  };
  judge("rms deviation from the law", f.rms_deviation, l.rms_deviation);
  judge("k_fit/k - 1", f.k_fit_error, l.k_fit_error);
  judge("max |k(d)/k - 1|", f.max_local_index_error, l.local_index_error);
  judge("effective-length spread", f.effective_length_spread, l.effective_length_spread);
  judge("k_int/k - 1", f.k_int_error, l.k_int_error);
  return misses;
}

}  // namespace expcoil

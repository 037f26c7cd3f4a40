#include "magnet/contour.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"

namespace expcoil {
namespace {

// Level coordinates at or beyond this magnitude would make k + 1.0 == k possible within a triangle's
// range (doubles count integers exactly only up to 2^53), and the level loop would stop advancing.
constexpr double kLevelCoordinateLimit = 0x1p52;

// Where level k crosses the edge from the lower vertex n (u_n) to the upper vertex f (u_f); r_nf is
// 1 / (u_f - u_n). Always called with the edge's lower vertex first, so that two triangles sharing the
// edge compute the same point from the same operands.
Point3 edge_point(const Point3& n, double u_n, const Point3& f, double u_f, double k, double r_nf) {
  return {(f.x * (k - u_n) + n.x * (u_f - k)) * r_nf, (f.y * (k - u_n) + n.y * (u_f - k)) * r_nf,
          (f.z * (k - u_n) + n.z * (u_f - k)) * r_nf};
}

std::string position(std::uint32_t i, std::uint32_t j) {
  std::string text = "row ";
  text += std::to_string(i);
  text += ", column ";
  text += std::to_string(j);
  return text;
}

// Everything contour_triangle relies on, checked over the whole matrix before anything is appended.
void check_contour_input(const Matrix& potential, double step) {
  const double r = 1.0 / step;
  if (!std::isfinite(step) || step == 0.0 || !std::isfinite(r)) {
    std::string message = "cannot contour the current potential with a current per winding of ";
    message += format_general(step, 15);
    message += " A: it must be finite and non-zero";
    throw InputError(message);
  }
  for (std::uint32_t i = 0; i < potential.rows(); ++i) {
    const double* row = potential[i];
    for (std::uint32_t j = 0; j < potential.columns(); ++j) {
      if (!std::isfinite(row[j])) {
        std::string message = "the current potential is ";
        message += format_general(row[j], 15);
        message += " at ";
        message += position(i, j);
        message += " of the coil mesh";
        throw InputError(message);
      }
      if (!(std::fabs(row[j] * r + 0.5) < kLevelCoordinateLimit)) {
        std::string message = "the current potential ";
        message += format_general(row[j], 15);
        message += " A at ";
        message += position(i, j);
        message += " of the coil mesh spans more than 2^52 windings of ";
        message += format_general(step, 15);
        message += " A";
        throw InputError(message);
      }
    }
  }
}

}  // namespace

std::uint64_t contour_piece_count(const Matrix& potential, double step) {
  const std::uint32_t rows = potential.rows();
  const std::uint32_t columns = potential.columns();
  if (rows < 2 || columns < 2) return 0;
  check_contour_input(potential, step);
  const double r = 1.0 / step;
  // Every integer k with u_low < k <= u_high of a triangle is one piece; the level coordinates are below
  // 2^52 in magnitude (checked above), where floor is exact. The window admits every level.
  const auto levels = [r](double a, double b, double c) {
    const double ua = a * r + 0.5, ub = b * r + 0.5, uc = c * r + 0.5;
    const double low = std::fmin(ua, std::fmin(ub, uc)), high = std::fmax(ua, std::fmax(ub, uc));
    return static_cast<std::uint64_t>(std::floor(high) - std::floor(low));
  };
  std::uint64_t count = 0;
  for (std::uint32_t i = 1; i < rows; ++i) {
    const double* below = potential[i - 1];
    const double* above = potential[i];
    for (std::uint32_t j = 1; j < columns; ++j) {
      count += levels(below[j - 1], above[j - 1], above[j]) + levels(below[j - 1], above[j], below[j]);
    }
  }
  return count;
}

void contour_triangle(WindingSet& windings, double a, double b, double c, double step, const Point3& A,
                      const Point3& B, const Point3& C, double lower, double upper, double factor) {
  // Highest H, middle M, lowest L; s = +1 when (H, M, L) is a rotation of (A, B, C). Every test is
  // greater-or-equal, so of equal values the vertex earlier in A, B, C ranks higher.
  const Point3 *H, *M, *L;
  double vH, vM, vL, s;
  if (a >= b && a >= c) {
    if (b >= c) {
      H = &A, M = &B, L = &C, vH = a, vM = b, vL = c, s = 1.0;
    } else {
      H = &A, M = &C, L = &B, vH = a, vM = c, vL = b, s = -1.0;
    }
  } else if (b >= c) {
    if (a >= c) {
      H = &B, M = &A, L = &C, vH = b, vM = a, vL = c, s = -1.0;
    } else {
      H = &B, M = &C, L = &A, vH = b, vM = c, vL = a, s = 1.0;
    }
  } else if (a >= b) {
    H = &C, M = &A, L = &B, vH = c, vM = a, vL = b, s = 1.0;
  } else {
    H = &C, M = &B, L = &A, vH = c, vM = b, vL = a, s = -1.0;
  }
  const double current = factor * (s * step);

  const double r = 1.0 / step;
  const double uH = vH * r + 0.5;
  const double uM = vM * r + 0.5;
  const double uL = vL * r + 0.5;
  const double u_lower = lower * r + 0.5;
  const double u_upper = upper * r + 0.5;

  // Q0, Q1, Q2 by ascending u; a negative step turns the ranking and the window upside down.
  const Point3 *Q0, *Q1, *Q2;
  double u0, u1, u2, ub_low, ub_high;
  if (uL > uH) {
    Q0 = H, Q1 = M, Q2 = L, u0 = uH, u1 = uM, u2 = uL;
    ub_low = u_upper, ub_high = u_lower;
  } else {
    Q0 = L, Q1 = M, Q2 = H, u0 = uL, u1 = uM, u2 = uH;
    ub_low = u_lower, ub_high = u_upper;
  }

  double k = std::floor(u0 > ub_low ? u0 : ub_low) + 1.0;
  if (!(k <= ub_high && k <= u2)) return;
  // Only the edges that a level crosses are ever used: Q0-Q1 needs u1 > u0, Q1-Q2 needs u2 > u1.
  const double r01 = 1.0 / (u1 - u0);
  const double r02 = 1.0 / (u2 - u0);
  const double r12 = 1.0 / (u2 - u1);
  for (; k <= ub_high; k += 1.0) {
    Point3 first;
    if (k <= u1) {
      first = edge_point(*Q0, u0, *Q1, u1, k, r01);
    } else if (k <= u2) {
      first = edge_point(*Q1, u1, *Q2, u2, k, r12);
    } else {
      break;
    }
    const Point3 second = edge_point(*Q0, u0, *Q2, u2, k, r02);
    windings.append(Segment{first.x, first.y, first.z, second.x, second.y, second.z, current});
  }
}

void contour_mesh(WindingSet& windings, const Matrix& potential, double step, double x0, double y0, double z0,
                  double spacing, double lower, double upper, double factor) {
  const std::uint32_t rows = potential.rows();
  const std::uint32_t columns = potential.columns();
  if (rows < 2 || columns < 2) return;
  check_contour_input(potential, step);

  for (std::uint32_t i = 1; i < rows; ++i) {
    const double* below = potential[i - 1];
    const double* above = potential[i];
    const double y_below = static_cast<double>(i - 1) * spacing + y0;
    const double y_above = static_cast<double>(i) * spacing + y0;
    for (std::uint32_t j = 1; j < columns; ++j) {
      const double z_left = static_cast<double>(j - 1) * spacing + z0;
      const double z_right = static_cast<double>(j) * spacing + z0;
      const Point3 p00{x0, y_below, z_left};   // node (i-1, j-1)
      const Point3 p10{x0, y_above, z_left};   // node (i, j-1)
      const Point3 p11{x0, y_above, z_right};  // node (i, j)
      const Point3 p01{x0, y_below, z_right};  // node (i-1, j)
      contour_triangle(windings, below[j - 1], above[j - 1], above[j], step, p00, p10, p11, lower, upper,
                       factor);
      contour_triangle(windings, below[j - 1], above[j], below[j], step, p00, p11, p01, lower, upper, factor);
    }
  }
}

}  // namespace expcoil

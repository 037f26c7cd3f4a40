#include "magnet/windings.hpp"

#include <cmath>
#include <string>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "magnet/contour.hpp"
#include "magnet/field.hpp"
#include "magnet/mesh.hpp"

namespace expcoil {
namespace {

// The window that admits every level.
constexpr double kAllLevelsLower = -1e20;
constexpr double kAllLevelsUpper = 1e20;

// sin(t) / t, and its limit 1 at t = 0.
double sinc(double t) { return t == 0.0 ? 1.0 : std::sin(t) / t; }

// The bend's literal forms, R - cos(phi) (R - x) and (1 - cos(theta)) R, subtract nearly equal numbers
// when the radius is large: they lose up to about 4 ulp of |R - x| or |R|. Kept, to the bit, wherever that
// stays below 1e-12 of the bent point (x, z): within 1000 times its size, 4 * 1.1e-16 * 1000 = 4.4e-13.
// False for a non-finite radius.
bool literal_form_accurate(double radius, double x, double z) {
  const double limit = std::fabs(radius) / 1000.0;
  return std::isfinite(limit) && (limit <= std::fabs(x) || limit <= std::fabs(z));
}

}  // namespace

std::uint64_t windings_segment_count(const MagnetSpec& magnet, const Matrix& potential) {
  return 2 * contour_piece_count(potential, magnet.winding_current());
}

double windings_memory_bytes(std::uint64_t segments) {
  // The set grows by a quarter at a time and holds the old and the new storage while it moves; the
  // field kernel's stream of the segments lives beside it while the field map is computed.
  return static_cast<double>(segments) * (2.25 * sizeof(Segment) + sizeof(StreamSegment));
}

WindingSet windings_generate(const MagnetSpec& magnet, const Matrix& potential) {
  WindingSet windings;
  // A mesh of fewer than two rows or columns has no cell to contour (and no spacing).
  if (potential.rows() >= 2 && potential.columns() >= 2) {
    const MeshGeometry mesh = mesh_geometry(magnet, static_cast<std::int32_t>(potential.rows()),
                                            static_cast<std::int32_t>(potential.columns()));
    contour_mesh(windings, potential, magnet.winding_current(), mesh.origin[0], mesh.origin[1],
                 mesh.origin[2], mesh.spacing, kAllLevelsLower, kAllLevelsUpper, 1.0);
  }
  windings_mirror(windings, magnet.winding_centre_to_midplane);
  if (magnet.bent) windings_bend(windings, magnet);
  return windings;
}

void windings_mirror(WindingSet& windings, double offset) {
  const std::uint32_t n = windings.count();
  for (std::uint32_t k = 0; k < n; ++k) {
    Segment& segment = windings[k];
    const Segment copy{segment.x1 - offset, segment.y1, segment.z1,      segment.x2 - offset,
                       segment.y2,          segment.z2, -segment.current};
    segment.x1 = segment.x1 + offset;
    segment.x2 = segment.x2 + offset;
    // May move the storage: `segment` is not used after this.
    windings.append(copy);
  }
}

namespace {

// The bend of windings_bend as a map of single points (x, z), its constants computed once.
class Bend {
 public:
  explicit Bend(const MagnetSpec& magnet) {
    const double L = magnet.length;
    const double alpha = magnet.angle;
    if (!std::isfinite(L) || L == 0.0 || !std::isfinite(alpha) || alpha == 0.0) {
      std::string message = "cannot bend a magnet of length ";
      message += format_general(L, 15);
      message += " m by an angle of ";
      message += format_general(alpha, 15);
      message += " rad: both must be finite and non-zero";
      throw InputError(message);
    }
    // R overflows to infinity for |alpha| below |L| * 5.6e-309; rho is 0 then, and only the forms without
    // R below are used.
    R_ = L / alpha;
    rho_ = 1.0 / R_;
    const double theta = 0.5 * alpha;
    h_ = 0.5 * L;
    sin_theta_ = std::sin(theta);
    cos_theta_ = std::cos(theta);
    // R sin(theta) and R (1 - cos(theta)) = 2 R sin^2(theta / 2), by R theta = h.
    h_sine_ = h_ * sinc(theta);
    h_versine_ = h_ * std::sin(0.5 * theta) * sinc(0.5 * theta);
  }

  void operator()(double& x, double& z) const {
    const double R = R_, h = h_, sin_theta = sin_theta_, cos_theta = cos_theta_;
    if (std::fabs(z) <= h) {
      const double phi = z * rho_;
      const double x_bent = R - std::cos(phi) * (R - x);
      const double z_bent = (R - x) * std::sin(phi);
      if (literal_form_accurate(R - x, x_bent, z_bent)) {
        z = z_bent;
        x = x_bent;
      } else {
        // x cos(phi) + 2 R sin^2(phi / 2) and (R - x) sin(phi), by R phi = z.
        const double half = 0.5 * phi;
        const double x_stable = x * std::cos(phi) + z * std::sin(half) * sinc(half);
        z = z * sinc(phi) - x * std::sin(phi);
        x = x_stable;
      }
    } else {
      // Beyond an end of the arc: straight on along its tangent there.
      const double w = std::fabs(z) - h;
      const double x_bent = (w * sin_theta + cos_theta * x) + (1 - cos_theta) * R;
      const double z_bent = z > 0 ? (w * cos_theta - sin_theta * x) + sin_theta * R
                                  : (sin_theta * x - sin_theta * R) - w * cos_theta;
      if (literal_form_accurate(R, x_bent, z_bent)) {
        z = z_bent;
        x = x_bent;
      } else {
        const double x_stable = (w * sin_theta + cos_theta * x) + h_versine_;
        z = z > 0 ? (w * cos_theta - sin_theta * x) + h_sine_ : (sin_theta * x - h_sine_) - w * cos_theta;
        x = x_stable;
      }
    }
  }

 private:
  double R_, rho_, h_, sin_theta_, cos_theta_, h_sine_, h_versine_;
};

}  // namespace

void windings_bend(WindingSet& windings, const MagnetSpec& magnet) {
  const Bend bend(magnet);
  for (Segment& segment : windings) {
    bend(segment.x1, segment.z1);
    bend(segment.x2, segment.z2);
  }
}

void bend_points(const MagnetSpec& magnet, double* x, double* z, std::size_t count) {
  const Bend bend(magnet);
  for (std::size_t i = 0; i < count; ++i) bend(x[i], z[i]);
}

}  // namespace expcoil

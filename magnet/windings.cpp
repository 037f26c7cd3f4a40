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
  if (magnet.angle_mode == 1) windings_bend(windings, magnet);
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

void windings_bend(WindingSet& windings, const MagnetSpec& magnet) {
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
  const double R = L / alpha;
  const double rho = 1.0 / R;
  const double theta = 0.5 * alpha;
  const double h = 0.5 * L;
  const double sin_theta = std::sin(theta);
  const double cos_theta = std::cos(theta);

  const auto bend_point = [&](double& x, double& z) {
    if (std::fabs(z) <= h) {
      const double phi = z * rho;
      const double x_bent = R - std::cos(phi) * (R - x);
      z = (R - x) * std::sin(phi);
      x = x_bent;
    } else {
      // Beyond an end of the arc: straight on along its tangent there.
      const double w = std::fabs(z) - h;
      const double x_bent = (w * sin_theta + cos_theta * x) + (1 - cos_theta) * R;
      if (z > 0) {
        z = (w * cos_theta - sin_theta * x) + sin_theta * R;
      } else {
        z = (sin_theta * x - sin_theta * R) - w * cos_theta;
      }
      x = x_bent;
    }
  };
  for (Segment& segment : windings) {
    bend_point(segment.x1, segment.z1);
    bend_point(segment.x2, segment.z2);
  }
}

}  // namespace expcoil

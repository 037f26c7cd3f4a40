// The conductor file, windings_<name>.cond: every segment of a magnet as a straight conductor element
// ("DEFINE GSTRAIGHT") of a keyword format, between the lines CONDUCTOR and QUIT. Each block gives the
// start point in millimetres, the Euler angles phi, theta, psi in degrees of a local frame whose z axis
// runs along the segment (the rotation Rz(phi) Ry(theta) Rz(psi) has the segment's direction as its
// third column), the length in millimetres and the current. Lines end in CR LF.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "magnet/segment.hpp"

namespace expcoil {

using Vector3 = std::array<double, 3>;

struct Frame {
  Vector3 u;
  Vector3 v;
};

// Two unit vectors u, v across the direction n (a unit vector or the zero vector): u is n crossed with
// the y axis when |n_x| is strictly the largest component, with the x axis otherwise, normalised; v is n
// crossed with that unnormalised vector, normalised. For a unit n, u x v = n. For the zero vector, u is
// the y axis and v the z axis.
Frame orthonormal_frame(const Vector3& n);

// The Euler angles (phi, theta, psi) in degrees of the local frame of a segment of direction d (not
// normalised; the zero vector for a zero-length segment), as the conductor file writes them.
Vector3 conductor_angles(const Vector3& d);

// Writes the file through a temporary that is renamed onto `path` when complete. Throws WriteError
// ("cannot write <path>: <reason>") on failure and leaves any existing file at `path` untouched.
void conductor_file_write(const WindingSet& windings, const std::string& path);
// The same bytes in memory, for writing later (write_text_file).
std::string conductor_file_text(const WindingSet& windings);

// One conductor of the file, in the file's units.
struct ConductorRecord {
  Vector3 start;   // mm
  Vector3 angles;  // phi, theta, psi, degrees
  double length;   // mm
  double current;  // A
};

// Reads the file back, block for block. Throws ReadError when it cannot be read and FileFormatError
// "<path>:<line>: <reason>" for a line that is not what the format holds there (a block of another kind
// than GSTRAIGHT included), "<path>: <reason>" for a file that ends before QUIT.
std::vector<ConductorRecord> conductor_file_read(const std::string& path);

}  // namespace expcoil

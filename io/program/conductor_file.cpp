#include "io/program/conductor_file.hpp"

#include <cmath>

#include "lib/constants.hpp"
#include "lib/errors.hpp"
#include "lib/line_reader.hpp"
#include "lib/output_file.hpp"
#include "lib/text_buffer.hpp"

namespace expcoil {
namespace {

// Arc cosine clamped to [0, pi] for arguments that rounding pushed outside [-1, 1].
double clamped_acos(double t) {
  if (t > 1) return 0.0;
  if (t < -1) return kPi;
  return std::acos(t);
}

// p / |p|, the squares summed as y, z, x; the zero vector when |p|^2 is not positive.
Vector3 normalised(const Vector3& p) {
  const double q = p[1] * p[1] + p[2] * p[2] + p[0] * p[0];
  if (!(q > 0)) return {0.0, 0.0, 0.0};
  const double inverse = 1 / std::sqrt(q);
  return {p[0] * inverse, p[1] * inverse, p[2] * inverse};
}

}  // namespace

Frame orthonormal_frame(const Vector3& n) {
  const double a = n[0], b = n[1], c = n[2];
  Vector3 p;
  if (std::fabs(a) > std::fabs(b) && std::fabs(a) > std::fabs(c)) {
    p = {-c, 0, a};
  } else {
    p = {0, c, -b};
  }
  if (p[0] == 0 && p[1] == 0 && p[2] == 0) return {{0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
  const Vector3 w{b * p[2] - c * p[1], c * p[0] - a * p[2], a * p[1] - b * p[0]};
  return {normalised(p), normalised(w)};
}

Vector3 conductor_angles(const Vector3& d) {
  // normalised() sums the squares in the order y, z, x, as the direction's normalisation does.
  const Vector3 n = normalised(d);
  const Frame frame = orthonormal_frame(n);
  const Vector3& u = frame.u;
  const Vector3& v = frame.v;

  const double theta = clamped_acos(n[2]);
  const double s = std::sin(theta);
  double phi, psi;
  if (s == 0) {
    psi = 0;
    phi = clamped_acos(u[0]);
    if (u[1] < 0) phi = -phi;
  } else {
    phi = clamped_acos(n[0] / s);
    if (n[1] / s < 0) phi = -phi;
    psi = clamped_acos(-u[2] / s);
    if (v[2] / s < 0) psi = -psi;
  }
  return {phi * kDegreesPerRadian, theta * kDegreesPerRadian, psi * kDegreesPerRadian};
}

namespace {

// Into an OutputFile or a TextBuffer.
template <class Out>
void conductor_file_lines(const WindingSet& windings, Out& out) {
  out.text("CONDUCTOR").line_end();
  for (const Segment& s : windings) {
    const Vector3 angles = conductor_angles({s.x2 - s.x1, s.y2 - s.y1, s.z2 - s.z1});
    const double dx = s.x1 - s.x2, dy = s.y1 - s.y2, dz = s.z1 - s.z2;
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);

    out.text("DEFINE GSTRAIGHT").line_end();
    out.fixed(1000 * s.x1).text(" ").fixed(1000 * s.y1).text(" ").fixed(1000 * s.z1).text(" ");
    out.fixed(angles[0]).text(" ").fixed(angles[1]).text(" ").fixed(angles[2]).line_end();
    out.text("0.0 0.0 0.0\r\n0.0 0.0 0.0\r\n1.000000 1.000000\r\n");
    out.fixed(1000 * length).line_end();
    out.general(s.current, 9).text(" 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\n");
  }
  out.text("QUIT").line_end();
}

}  // namespace

void conductor_file_write(const WindingSet& windings, const std::string& path) {
  OutputFile file(path);
  conductor_file_lines(windings, file);
  file.commit_or_throw();
}

std::string conductor_file_text(const WindingSet& windings) {
  TextBuffer text;
  // Room for typical lines (more only regrows); pages never written are never touched.
  text.reserve(224 * static_cast<std::size_t>(windings.count()) + 64);
  conductor_file_lines(windings, text);
  return text.take();
}

std::vector<ConductorRecord> conductor_file_read(const std::string& path) {
  LineReader reader(path);
  std::string_view line;
  // The view stays valid until the next call.
  const auto next = [&](const char* what) {
    if (!reader.next(line)) {
      throw FileFormatError(path, 0,
                            "the file ends after line " + std::to_string(reader.line_number()) + ", where " +
                                what + " should follow (a conductor file ends in QUIT)");
    }
    return line;
  };
  if (trim_blanks(next("CONDUCTOR")) != "CONDUCTOR") reader.fail("not a conductor file: expected CONDUCTOR");
  std::vector<ConductorRecord> records;
  for (;;) {
    const std::string_view head = trim_blanks(next("a DEFINE block or QUIT"));
    if (head == "QUIT") break;
    if (head != "DEFINE GSTRAIGHT") reader.fail("expected DEFINE GSTRAIGHT or QUIT");
    ConductorRecord r;
    double v[6];
    if (!parse_numbers(next("the start point and angles"), ' ', v, 6)) {
      reader.fail("expected six numbers: x y z (mm) phi theta psi (degrees)");
    }
    r.start = {v[0], v[1], v[2]};
    r.angles = {v[3], v[4], v[5]};
    // Two lines of three numbers, one of two: fixed in this program's files.
    for (const int count : {3, 3, 2}) {
      if (!parse_numbers(next("a line of the block"), ' ', v, count)) {
        reader.fail("expected " + std::to_string(count) + " numbers");
      }
    }
    if (!parse_numbers(next("the length"), ' ', &r.length, 1)) reader.fail("expected the length (mm)");
    // The current, then the symmetry and the drive's name.
    const std::string_view drive = trim_blanks(next("the current"));
    const std::size_t blank = drive.find_first_of(" \t");
    if (blank == std::string_view::npos || !parse_numbers(drive.substr(0, blank), ' ', &r.current, 1)) {
      reader.fail("expected the current, the symmetry and the drive");
    }
    if (!parse_numbers(next("a line of the block"), ' ', v, 3)) reader.fail("expected 3 numbers");
    if (!parse_numbers(next("a line of the block"), ' ', v, 1)) reader.fail("expected a number");
    records.push_back(r);
  }
  return records;
}

}  // namespace expcoil

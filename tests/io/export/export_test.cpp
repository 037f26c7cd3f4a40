// Every field-map format read back by a reader written here from the target program's own rules (in the
// tests only): the worked 2 x 2 x 3 example byte for byte, and an asymmetric 3 x 4 x 5 grid whose field
// encodes the node indices, so that any swap of axes, loop order, count or unit changes a value.
#include "io/export/export.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include "io/program/field_map_csv.hpp"
#include "lib/number_format.hpp"
#include "magnet/windings_error.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

namespace fs = std::filesystem;
const fs::path kData = fs::path(EXPCOIL_TEST_DATA) / "formats";

void require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, std::fabs(b)); }

// 3 x 4 x 5 nodes from (0.5, -0.25, -1) m, cells (0.125, 0.0625, 0.25) m: binary fractions, so the grid
// read back from the CSV is this one bit for bit. B = (1, 2, 3) + 0.1 i + 0.01 j + 0.001 k, to the 15
// digits the CSV holds.
FieldMap index_map() {
  FieldMap m;
  const double min[3] = {0.5, -0.25, -1.0}, cell[3] = {0.125, 0.0625, 0.25};
  for (int a = 0; a < 3; ++a) {
    m.grid.min[a] = min[a], m.grid.cell[a] = cell[a], m.grid.count[a] = 3 + a;
    m.grid.max[a] = min[a] + (2 + a) * cell[a];
  }
  for (int p = 0; p < 60; ++p)  // i = p / 20, j = p / 5 % 4, k = p % 5
    for (int c = 0; c < 3; ++c)
      m.b.push_back(
          std::stod(format_general(c + 1 + 0.1 * (p / 20) + 0.01 * (p / 5 % 4) + 0.001 * (p % 5), 15)));
  return m;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// The value of the first `name="..."`.
std::string xml_attribute(const std::string& xml, const std::string& name) {
  const std::size_t at = xml.find(" " + name + "=\"");
  require(at != std::string::npos, "no attribute " + name);
  const std::size_t begin = at + name.size() + 3;
  return xml.substr(begin, xml.find('"', begin) - begin);
}

std::string gunzip(const std::string& bytes) {
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::string out;
  char buffer[65536];
  int status;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    status = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  } while (status == Z_OK);
  inflateEnd(&z);
  require(status == Z_STREAM_END, "not a complete gzip stream");
  return out;
}

// Readers: each returns B in CSV order (3 per node), applying the program's index and unit rules.
using Reader = std::function<std::vector<double>(const fs::path&, const FieldMapGrid&)>;
std::size_t csv_index(const FieldMapGrid& g, std::int64_t i, std::int64_t j, std::int64_t k) {
  return static_cast<std::size_t>(g.linear_index(i, j, k));
}
// Point q of the grid counted x fastest.
std::size_t x_fastest(const FieldMapGrid& g, std::int64_t q) {
  return csv_index(g, q % g.count[0], q / g.count[0] % g.count[1], q / (g.count[0] * g.count[1]));
}
double last_node(const FieldMapGrid& g, int a) { return (g.count[a] - 1) * g.cell[a] + g.min[a]; }

// OPAL FM3DMagnetoStatic: '#' comments, cm, interval counts; readMap fills its arrays in file order with
// i (x) slowest, j, k fastest, and every lookup reads them through getIndex(i, j, k) = k + nz (i + nx j);
// lines under 256 characters.
std::vector<double> opal_reader(const fs::path& file, const FieldMapGrid& g) {
  std::vector<std::string> lines;
  for (std::string line : lines_of(test::read_file(file))) {
    require(line.size() < 256, "line too long for OPAL");
    line = line.substr(0, line.find('#'));
    if (!words(line).empty()) lines.push_back(line);
  }
  const std::size_t n = static_cast<std::size_t>(g.points());
  require(lines.size() == 4 + n && lines[0] == "3DMagnetoStatic FALSE", "OPAL header or line count");
  for (int a = 0; a < 3; ++a) {
    const auto w = words(lines[1 + a]);
    require(w.size() == 3 && near(std::stod(w[0]), g.min[a] * 100) &&
                near(std::stod(w[1]), last_node(g, a) * 100) && std::stoi(w[2]) == g.count[a] - 1,
            "OPAL extent line " + lines[1 + a]);
  }
  const std::int64_t nx = g.count[0], ny = g.count[1], nz = g.count[2];
  std::vector<double> stored[3];  // readMap's arrays
  std::size_t line = 4;
  for (std::int64_t i = 0; i < nx; ++i)
    for (std::int64_t j = 0; j < ny; ++j)
      for (std::int64_t k = 0; k < nz; ++k) {
        const auto w = words(lines[line++]);
        require(w.size() == 3, "OPAL data line");
        for (int c = 0; c < 3; ++c) stored[c].push_back(std::stod(w[c]));
      }
  std::vector<double> b(3 * n);
  for (std::int64_t i = 0; i < nx; ++i)
    for (std::int64_t j = 0; j < ny; ++j)
      for (std::int64_t k = 0; k < nz; ++k)
        for (int c = 0; c < 3; ++c)
          b[3 * csv_index(g, i, j, k) + c] = stored[c][static_cast<std::size_t>(k + nz * (i + nx * j))];
  return b;
}

// TOPAS TsMagneticFieldMap: node counts, "n NAME [UNIT]" lines up to the first line whose first word is
// "0" (which also ends the header again anywhere below), units METRE/TESLA, z fastest, rows of 6 words.
std::vector<double> topas_reader(const fs::path& file, const FieldMapGrid& g) {
  const auto lines = lines_of(test::read_file(file));
  require(words(lines[0]) == std::vector<std::string>{std::to_string(g.count[0]), std::to_string(g.count[1]),
                                                      std::to_string(g.count[2])},
          "TOPAS counts");
  std::map<std::string, std::string> unit;
  std::size_t row = 1;
  for (; words(lines[row])[0] != "0"; ++row) {
    const auto w = words(lines[row]);
    require(w.size() >= 2 && w.size() <= 3, "TOPAS header line");
    unit[w[1]] = w.size() == 3 ? w[2] : "";
  }
  std::map<std::string, std::string> want;
  for (const std::string c : {"X", "Y", "Z"}) want[c] = "[METRE]", want["B" + c] = "[TESLA]";
  require(unit == want, "TOPAS column units");
  std::vector<double> b;
  std::size_t p = 0;
  for (++row; row < lines.size(); ++row, ++p) {
    const auto w = words(lines[row]);
    require(w.size() == 6 && w[0] != "0", "TOPAS data row " + lines[row]);
    const std::int64_t index[3] = {static_cast<std::int64_t>(p) / (g.count[1] * g.count[2]),
                                   static_cast<std::int64_t>(p) / g.count[2] % g.count[1],
                                   static_cast<std::int64_t>(p) % g.count[2]};
    for (int a = 0; a < 3; ++a)
      require(near(std::stod(w[a]), index[a] * g.cell[a] + g.min[a]), "TOPAS coordinate");
    for (int c = 3; c < 6; ++c) b.push_back(std::stod(w[c]));
  }
  require(p == static_cast<std::size_t>(g.points()), "TOPAS row count");
  return b;
}

// G4beamline BLFieldMap: "grid" keys in mm with plain integer counts, then "data" lines placed at the node
// nearest their coordinates (0.01 mm), read as floats.
std::vector<double> g4beamline_reader(const fs::path& file, const FieldMapGrid& g) {
  std::map<std::string, std::string> key;
  std::vector<double> b(3 * static_cast<std::size_t>(g.points()), NAN);
  bool data = false;
  for (const std::string& line : lines_of(test::read_file(file))) {
    if (line.empty() || line[0] == '#' || line[0] == '*') continue;
    const auto w = words(line);
    if (w[0] == "grid") {
      for (std::size_t n = 1; n < w.size(); ++n)
        key[w[n].substr(0, w[n].find('='))] = w[n].substr(w[n].find('=') + 1);
    } else if (w[0] == "data") {
      data = true;
    } else if (data) {
      float v[6];
      require(std::sscanf(line.c_str(), "%f %f %f %f %f %f", v, v + 1, v + 2, v + 3, v + 4, v + 5) == 6,
              "G4beamline data");
      std::int64_t index[3];
      for (int a = 0; a < 3; ++a) {
        const std::string A(1, "XYZ"[a]);
        const std::string& n = key["n" + A];  // base-0 strtol: no leading zero
        require(!n.empty() && n[0] != '0' && n.find_first_not_of("0123456789") == std::string::npos &&
                    std::stoi(n) == g.count[a] && near(std::stod(key[A + "0"]), g.min[a] * 1000) &&
                    near(std::stod(key["d" + A]), g.cell[a] * 1000),
                "G4beamline grid keys");
        const double x0 = std::stod(key[A + "0"]), dx = std::stod(key["d" + A]);
        index[a] = static_cast<std::int64_t>(std::floor((v[a] - x0) / dx + 0.5));
        require(index[a] >= 0 && index[a] < g.count[a] && std::fabs(v[a] - (x0 + index[a] * dx)) <= 0.01,
                "off grid");
      }
      for (int c = 0; c < 3; ++c) b[3 * csv_index(g, index[0], index[1], index[2]) + c] = v[3 + c];
    }
  }
  return b;
}

// BDSIM BDSFieldLoaderBDSIM: "key> number" header lines (cm, node counts), loopOrder, a '!' column line,
// then lines counted into the grid (xyzt: x fastest; tzyx: z fastest), read as floats; no blank lines.
std::vector<double> bdsim_reader(const fs::path& file, const FieldMapGrid& g) {
  const auto lines = lines_of(gunzip(test::read_file(file)));
  std::map<std::string, std::string> key;
  std::size_t row = 0;
  for (; lines[row][0] != '!'; ++row) {  // "key> value"
    const std::size_t at = lines[row].find('>');
    if (at == std::string::npos) continue;
    const auto before = words(lines[row].substr(0, at)), after = words(lines[row].substr(at + 1));
    key[before.back()] = after.at(0);
  }
  require(words(lines[row]) == std::vector<std::string>{"!", "X", "Y", "Z", "Fx", "Fy", "Fz"},
          "BDSIM columns");
  for (int a = 0; a < 3; ++a) {
    const std::string x(1, "xyz"[a]);
    require(std::stoi(key["n" + x]) == g.count[a] && near(std::stod(key[x + "min"]), g.min[a] * 100) &&
                near(std::stod(key[x + "max"]), last_node(g, a) * 100),
            "BDSIM header " + x);
  }
  const bool xyzt = key["loopOrder"] == "xyzt";
  require(xyzt || key["loopOrder"] == "tzyx", "BDSIM loopOrder");
  std::vector<double> b(3 * static_cast<std::size_t>(g.points()));
  std::size_t p = 0;
  for (++row; row < lines.size(); ++row, ++p) {
    float v[6];
    require(
        std::sscanf(lines[row].c_str(), "%f\t%f\t%f\t%f\t%f\t%f", v, v + 1, v + 2, v + 3, v + 4, v + 5) == 6,
        "BDSIM data line '" + lines[row] + "'");
    for (int c = 0; c < 3; ++c) b[3 * (xyzt ? x_fastest(g, std::int64_t(p)) : p) + c] = v[3 + c];
  }
  require(p == static_cast<std::size_t>(g.points()), "BDSIM line count");
  return b;
}

std::string base64_decode(const std::string& text) {
  static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, value = 0;
  for (char c : text) {
    if (c == '=' || std::isspace(static_cast<unsigned char>(c))) continue;
    value = value << 6 | static_cast<unsigned>(digits.find(c));
    if ((bits += 6) >= 8) out += static_cast<char>(value >> (bits -= 8) & 255);
  }
  return out;
}

// A VTK XML array: base64 of a UInt64 byte count followed by the values.
template <class T>
std::vector<T> vtk_array(const std::string& xml, const std::string& name) {
  const std::size_t at = xml.find("Name=\"" + name + "\"");
  require(at != std::string::npos, "no VTK array " + name);
  const std::size_t begin = xml.find('>', at) + 1;
  const std::string bytes = base64_decode(xml.substr(begin, xml.find('<', begin) - begin));
  std::uint64_t size;
  std::memcpy(&size, bytes.data(), 8);
  require(size == bytes.size() - 8 && size % sizeof(T) == 0, "VTK array size");
  std::vector<T> v(size / sizeof(T));
  std::memcpy(v.data(), bytes.data() + 8, size);
  return v;
}

// ParaView's image data: extent, origin and spacing in metres, point arrays x fastest.
std::vector<double> vtk_reader(const fs::path& file, const FieldMapGrid& g) {
  const std::string xml = test::read_file(file);
  require(xml_attribute(xml, "byte_order") == "LittleEndian" && xml_attribute(xml, "header_type") == "UInt64",
          "VTK file attributes");
  const auto extent = words(xml_attribute(xml, "WholeExtent")), origin = words(xml_attribute(xml, "Origin")),
             spacing = words(xml_attribute(xml, "Spacing"));
  for (int a = 0; a < 3; ++a)
    require(extent[2 * a] == "0" && std::stoi(extent[2 * a + 1]) == g.count[a] - 1 &&
                near(std::stod(origin[a]), g.min[a]) && near(std::stod(spacing[a]), g.cell[a]),
            "VTK grid");
  require(xml_attribute(xml, "Vectors") == "B (T)" && xml_attribute(xml, "Scalars") == "|B| (T)",
          "VTK point data names");
  const auto v = vtk_array<double>(xml, "B (T)"), magnitude = vtk_array<double>(xml, "|B| (T)");
  std::vector<double> b(v.size());
  for (std::int64_t q = 0; q < g.points(); ++q) {
    const double* x = v.data() + 3 * q;
    require(magnitude[q] == std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]), "|B|");
    std::copy(x, x + 3, b.begin() + 3 * x_fastest(g, q));
  }
  return b;
}

std::vector<double> h5_doubles(hid_t object, const char* name, bool attribute,
                               hid_t type = H5T_NATIVE_DOUBLE) {
  const hid_t o = attribute ? H5Aopen(object, name, H5P_DEFAULT) : H5Dopen2(object, name, H5P_DEFAULT);
  require(o >= 0, std::string("no HDF5 object ") + name);
  const hid_t space = attribute ? H5Aget_space(o) : H5Dget_space(o);
  std::vector<double> v(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)) * H5Tget_size(type) /
                        8);
  require((attribute ? H5Aread(o, type, v.data())
                     : H5Dread(o, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data())) >= 0,
          name);
  H5Sclose(space);
  attribute ? H5Aclose(o) : H5Dclose(o);
  return v;
}

std::vector<hsize_t> h5_dims(hid_t object, const char* name) {
  const hid_t d = H5Dopen2(object, name, H5P_DEFAULT), space = H5Dget_space(d);
  std::vector<hsize_t> dims(static_cast<std::size_t>(H5Sget_simple_extent_ndims(space)));
  H5Sget_simple_extent_dims(space, dims.data(), nullptr);
  H5Sclose(space);
  H5Dclose(d);
  return dims;
}

std::string h5_text(hid_t object, const char* name) {
  const hid_t a = H5Aopen(object, name, H5P_DEFAULT), type = H5Aget_type(a);
  std::string s(H5Tget_size(type), '\0');
  H5Aread(a, type, s.data());
  H5Tclose(type);
  H5Aclose(a);
  return s.substr(0, s.find('\0'));
}

// OPAL FM3DH5BlockBase through H5hut: the last Step#, Block/<field>/{0,1,2} as [z][y][x], the grid from
// Efield's __Origin__ and __Spacing__ taken as they are (getFieldInfo) and compared with positions in
// metres by OPAL-T (`scale` 1) or millimetres by the cyclotron code (1000), the file attribute
// "Resonance Frequency(Hz)".
Reader opal_h5_reader(double scale) {
  return [scale](const fs::path& file, const FieldMapGrid& g) {
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    require(h5_text(f, "lengthUnit") == (scale == 1.0 ? "m" : "mm"), "lengthUnit");
    require(f >= 0 && h5_doubles(f, "Resonance Frequency(Hz)", true) == std::vector<double>{0.0},
            "H5hut file");
    std::vector<double> b(3 * static_cast<std::size_t>(g.points()));
    for (const char* field : {"/Step#0/Block/Efield", "/Step#0/Block/Bfield"}) {
      const hid_t group = H5Gopen2(f, field, H5P_DEFAULT);
      const auto origin = h5_doubles(group, "__Origin__", true),
                 spacing = h5_doubles(group, "__Spacing__", true);
      for (int a = 0; a < 3; ++a)
        require(near(origin[a], g.min[a] * scale) && near(spacing[a], g.cell[a] * scale), "H5hut grid");
      for (int c = 0; c < 3; ++c) {
        const char name[2] = {static_cast<char>('0' + c), '\0'};
        require(h5_dims(group, name) ==
                    std::vector<hsize_t>{hsize_t(g.count[2]), hsize_t(g.count[1]), hsize_t(g.count[0])},
                "H5hut extents");
        const auto v = h5_doubles(group, name, false);
        for (std::int64_t q = 0; q < g.points(); ++q) {
          if (field[14] == 'B')
            b[3 * x_fastest(g, q) + c] = v[q];
          else
            require(v[q] == 0.0, "Efield not zero");
        }
      }
      H5Gclose(group);
    }
    H5Fclose(f);
    return b;
  };
}

// Bmad hdf5_read_grid_field: externalFieldPath, gridSize/gridOriginOffset/gridSpacing (m), axisLabels
// (x, y, z) in C order, components magneticField/{x,y,z} as compound {r, i} with unitSI.
std::vector<double> openpmd_reader(const fs::path& file, const FieldMapGrid& g) {
  const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  require(h5_text(f, "openPMDextension") == "BeamPhysics" &&
              h5_text(f, "externalFieldPath") == "/ExternalFieldPath/%T/",
          "openPMD root");
  const hid_t mesh = H5Gopen2(f, "/ExternalFieldPath/1", H5P_DEFAULT);
  require(h5_text(mesh, "gridGeometry") == "rectangular" && h5_text(mesh, "eleAnchorPt") == "center",
          "openPMD mesh");
  const auto size = h5_doubles(mesh, "gridSize", true), lower = h5_doubles(mesh, "gridLowerBound", true),
             origin = h5_doubles(mesh, "gridOriginOffset", true),
             spacing = h5_doubles(mesh, "gridSpacing", true);
  for (int a = 0; a < 3; ++a)
    require(
        size[a] == g.count[a] && lower[a] == 0 && near(origin[a], g.min[a]) && near(spacing[a], g.cell[a]),
        "openPMD grid");
  const hid_t field = H5Gopen2(mesh, "magneticField", H5P_DEFAULT);
  const hid_t complex = H5Tcreate(H5T_COMPOUND, 16);
  H5Tinsert(complex, "r", 0, H5T_NATIVE_DOUBLE);
  H5Tinsert(complex, "i", 8, H5T_NATIVE_DOUBLE);
  std::vector<double> b(3 * static_cast<std::size_t>(g.points()));
  for (int c = 0; c < 3; ++c) {
    const char name[2] = {static_cast<char>('x' + c), '\0'};
    require(h5_dims(field, name) ==
                std::vector<hsize_t>{hsize_t(g.count[0]), hsize_t(g.count[1]), hsize_t(g.count[2])},
            "openPMD extents");
    // FieldMesh (load_field_data_h5) compares each component's unitDimension with the tesla's.
    const hid_t d = H5Dopen2(field, name, H5P_DEFAULT);
    require(h5_doubles(d, "unitSI", true) == std::vector<double>{1.0} &&
                h5_doubles(d, "unitDimension", true) == std::vector<double>{0, 1, -2, -1, 0, 0, 0} &&
                h5_text(d, "unitSymbol") == "T",
            "component units");
    H5Dclose(d);
    const auto v = h5_doubles(field, name, false, complex);
    for (std::size_t p = 0; p < b.size() / 3; ++p) {
      require(v[2 * p + 1] == 0.0, "imaginary part");
      b[3 * p + c] = v[2 * p];
    }
  }
  H5Tclose(complex);
  H5Gclose(field);
  H5Gclose(mesh);
  H5Fclose(f);
  return b;
}

// Each field-map format with the reader of its program and its file of the worked example.
struct FormatCase {
  const char* format;
  ExportOptions options;
  Reader reader;
  bool single;  // the reader stores floats
  const char* golden;
};

std::vector<FormatCase> format_cases() {
  ExportOptions tzyx, mm;
  tzyx.bdsim_order = BdsimOrder::tzyx;
  mm.opal_h5_units = OpalH5Units::mm;
  return {{"opal", {}, opal_reader, false, "example_reader.t7"},
          {"tosca", {}, topas_reader, false, "example.table"},
          {"g4beamline", {}, g4beamline_reader, true, "example.map"},
          {"bdsim", {}, bdsim_reader, true, "example_xyzt.bdsim"},
          {"bdsim", tzyx, bdsim_reader, true, "example_tzyx.bdsim"},
          {"vtk", {}, vtk_reader, false, "example.vti"},
          {"opal-h5", {}, opal_h5_reader(1.0), false, nullptr},
          {"opal-h5", mm, opal_h5_reader(1000.0), false, nullptr},
          {"openpmd", {}, openpmd_reader, false, nullptr}};
}

// Each format read back by its program's rules gives every node's field (exactly, or as the float the
// program stores); the CSV route gives the same bytes as the map in memory, also when the reordering
// holds less than an x slab at a time.
TEST(Export, EveryFormatReadsBackNodeByNodeAndTheCsvRouteMatches) {
  test::TempDir dir;
  const FieldMap map = index_map();
  field_map_csv_write(map, dir / "fieldmap_index.csv");
  int n = 0;
  for (const FormatCase& c : format_cases()) {
    SCOPED_TRACE(std::string(c.format) + " case " + std::to_string(n));
    const fs::path memory = dir / ("memory" + std::to_string(n)),
                   streamed = dir / ("csv" + std::to_string(n++));
    EXPECT_EQ(export_field_map(map, c.format, memory, c.options).points, 60);
    std::vector<double> b;
    try {
      b = c.reader(memory, map.grid);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    std::size_t good = 0;
    while (good < b.size() && b[good] == (c.single ? static_cast<float>(map.b[good]) : map.b[good])) ++good;
    EXPECT_EQ(good, map.b.size()) << "the first wrong value";
    for (const std::size_t budget :
         {std::size_t{7}, std::size_t{35}, std::size_t{45}, std::size_t{1} << 18}) {
      ExportOptions options = c.options;
      options.reorder_points = budget;
      export_csv(dir / "fieldmap_index.csv", c.format, streamed, options);
      EXPECT_EQ(test::read_file(streamed), test::read_file(memory)) << "budget " << budget;
    }
  }
  EXPECT_EQ(test::list_dir(dir.path()).size(), 19u);  // no scratch or temporary file is left behind
}

// The worked 2 x 2 x 3 example (B = (2y, 1 + 2x + z/2, y/2)) and the 1 m square loop, byte for byte.
TEST(Export, WorkedExamplesMatchTheirGoldenFiles) {
  test::TempDir dir;
  ExportOptions loop;
  loop.coil_name = "Loop1";
  std::vector<std::tuple<const char*, const char*, ExportOptions, const char*>> cases = {
      {"windings_square.csv", "makegrid", loop, "square.coils"},
      {"windings_square.csv", "vtk", {}, "square.vtp"}};
  for (const FormatCase& c : format_cases())
    if (c.golden != nullptr) cases.emplace_back("fieldmap_example.csv", c.format, c.options, c.golden);
  for (const auto& [input, format, options, golden] : cases) {
    SCOPED_TRACE(golden);
    export_csv(kData / input, format, dir / "out", options);
    const std::string bytes = test::read_file(dir / "out");
    EXPECT_EQ(std::string(format) == "bdsim" ? gunzip(bytes) : bytes, test::read_file(kData / golden));
  }
}

// Numbers every reader takes: a negative zero keeps a digit and an exponent ("-0e+00": never the bare
// "0" that ends TOPAS's header), 1e-300 stays exact for double readers and becomes 0 for float readers
// (a stream would fail on it).
TEST(Export, ExtremeValuesAreWrittenInFormsEveryReaderTakes) {
  test::TempDir dir;
  FieldMap map = index_map();
  map.b[0] = -0.0;
  map.b[1] = 1e-300;
  export_field_map(map, "tosca", dir / "t");
  EXPECT_EQ(words(lines_of(test::read_file(dir / "t"))[8]),
            (std::vector<std::string>{"5e-01", "-2.5e-01", "-1e+00", "-0e+00", "1e-300", "3e+00"}));
  export_field_map(map, "g4beamline", dir / "g");
  EXPECT_EQ(words(lines_of(test::read_file(dir / "g"))[5]),
            (std::vector<std::string>{"5e+02", "-2.5e+02", "-1e+03", "-0e+00", "0e+00", "3e+00"}));
  map.b[2] = 1e39;  // beyond float
  EXPECT_THROW(export_field_map(map, "bdsim", dir / "b"), InputError);
  EXPECT_FALSE(fs::exists(dir / "b"));
}

// In-memory maps that no format can take are refused before anything is written, with the reason; a file
// that cannot be written is a WriteError naming it.
TEST(Export, UnfitMapsAndFailedWritesLeaveNoFile) {
  test::TempDir dir;
  const auto message = [&](const FieldMap& map, const char* format) {
    return test::thrown<InputError>([&] { export_field_map(map, format, dir / "out"); });
  };
  FieldMap nan = index_map(), flat = index_map(), short_map = index_map();
  nan.b[3 * 27 + 1] = NAN;  // point (1, 1, 2)
  flat.grid.count[1] = 1;
  short_map.b.pop_back();
  EXPECT_EQ(message(nan, "opal"), "By of grid point (1, 1, 2) is not a finite number");
  EXPECT_EQ(message(flat, "vtk"), "the grid has a single node along y; the export formats need at least two");
  EXPECT_EQ(message(short_map, "tosca"), "the field map holds 179 values; its grid needs 180");
  EXPECT_EQ(message(index_map(), "makegrid"), "makegrid holds windings, not field maps");
  const std::string path = (dir / "missing" / "out").string();
  for (const char* format : {"opal", "openpmd", "bdsim", "vtk"}) {
    EXPECT_TRUE(test::thrown<WriteError>([&] {
                  export_field_map(index_map(), format, path);
                }).starts_with("cannot write " + path + ": "))
        << format;
  }
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace expcoil

namespace expcoil {
namespace {

// What a reader storing floats cannot hold is refused before anything is written: coordinates whose cm or
// mm overflow a float (they would be written as inf), and in a CSV a field value, naming its row.
TEST(Export, WhatFloatReadersCannotHoldIsRefusedNamingItsRow) {
  test::TempDir dir;
  FieldMap far = index_map();
  far.grid.min[0] = 1e300;
  EXPECT_EQ(test::thrown<InputError>([&] { export_field_map(far, "bdsim", dir / "b"); }),
            "the grid reaches x = 1e+300 m, beyond the single precision in which BDSIM reads its coordinates "
            "in cm");
  EXPECT_TRUE(test::thrown<InputError>([&] {
                export_field_map(far, "g4beamline", dir / "g");
              }).ends_with("G4beamline reads its coordinates in mm"));
  FieldMap big = index_map();
  big.b[3 * 27 + 2] = 1e39;  // point 27, the CSV's line 29
  field_map_csv_write(big, dir / "fieldmap_big.csv");
  EXPECT_EQ(test::thrown<FileFormatError>([&] { export_csv(dir / "fieldmap_big.csv", "bdsim", dir / "b"); }),
            (dir / "fieldmap_big.csv").string() +
                ":29: Bz = 1e+39 is beyond the single precision in which bdsim's reader stores it");
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"fieldmap_big.csv"});
}

// A FIFO that nobody opens for writing is refused after the wait, not waited for forever.
TEST(Export, AFifoWithoutWriterIsRefusedAfterTheWait) {
  test::TempDir dir;
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(test::thrown<ReadError>([&] { ExportInput(fifo, dir / "out", std::chrono::milliseconds(100)); }),
            "cannot read " + fifo + ": nothing arrived within 0.1 s (a FIFO that nobody writes to?)");
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"fifo"});
}

}  // namespace
}  // namespace expcoil

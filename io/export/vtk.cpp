#include "io/export/vtk.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

#include "io/text_support.hpp"
#include "lib/output_file.hpp"
#include "lib/scratch_file.hpp"
#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

constexpr const char* kByteOrder = std::endian::native == std::endian::little ? "LittleEndian" : "BigEndian";

// One base64 stream: VTK decodes an uncompressed array's header and data as one stream.
class Base64 {
 public:
  explicit Base64(OutputFile& file) : file_(file) {}
  void put(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (held_count_ > 0 && held_count_ < 3 && size > 0) {
      held_[held_count_++] = *p++;
      --size;
    }
    if (held_count_ == 3) {
      encode(held_, 3);
      held_count_ = 0;
    }
    for (; size >= 3; p += 3, size -= 3) {
      encode(p, 3);
      if (used_ + 4 > sizeof text_) flush();
    }
    for (; size > 0; --size) held_[held_count_++] = *p++;
    if (used_ + 4 > sizeof text_) flush();
  }
  void end() {
    if (held_count_ > 0) encode(held_, held_count_);
    held_count_ = 0;
    flush();
  }

 private:
  void encode(const unsigned char* b, int n) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::uint32_t v =
        (std::uint32_t{b[0]} << 16) | (n > 1 ? std::uint32_t{b[1]} << 8 : 0) | (n > 2 ? b[2] : 0);
    text_[used_++] = kDigits[v >> 18];
    text_[used_++] = kDigits[(v >> 12) & 63];
    text_[used_++] = n > 1 ? kDigits[(v >> 6) & 63] : '=';
    text_[used_++] = n > 2 ? kDigits[v & 63] : '=';
  }
  void flush() {
    file_.text({text_, used_});
    used_ = 0;
  }

  OutputFile& file_;
  unsigned char held_[3] = {0, 0, 0};
  int held_count_ = 0;
  char text_[65536];
  std::size_t used_ = 0;
};

template <class T>
void put_array(OutputFile& file, const std::vector<T>& values) {
  Base64 out(file);
  const std::uint64_t bytes = values.size() * sizeof(T);
  out.put(&bytes, sizeof bytes);
  out.put(values.data(), bytes);
  out.end();
}

void open_file(OutputFile& file, const char* units, const char* type) {
  file.text("<?xml version=\"1.0\"?>\n<!-- ").text(units).text(" -->\n<VTKFile type=\"").text(type);
  file.text("\" version=\"1.0\" byte_order=\"").text(kByteOrder).text("\" header_type=\"UInt64\">\n");
}

std::string directory_of(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

class VtkImageWriter final : public FieldMapWriter {
 public:
  VtkImageWriter(const std::string& path, const FieldMapGrid& grid)
      : file_(path), points_(static_cast<std::uint64_t>(grid.points())), b_(file_) {
    magnitudes_ = std::make_unique<ScratchFile>(directory_of(path), path);
    open_file(file_, "expcoil field map: lengths in metres, B in tesla; points x fastest, z slowest",
              "ImageData");
    std::string extent;
    for (int a = 0; a < 3; ++a) extent += (a ? " 0 " : "0 ") + std::to_string(grid.count[a] - 1);
    file_.text("  <ImageData WholeExtent=\"").text(extent).text("\" Origin=\"");
    file_.text(plain_text(grid.min[0]))
        .text(" ")
        .text(plain_text(grid.min[1]))
        .text(" ")
        .text(plain_text(grid.min[2]));
    file_.text("\" Spacing=\"").text(plain_text(grid.cell[0])).text(" ").text(plain_text(grid.cell[1]));
    file_.text(" ")
        .text(plain_text(grid.cell[2]))
        .text("\">\n    <Piece Extent=\"")
        .text(extent)
        .text("\">\n");
    file_.text("      <PointData Vectors=\"B (T)\" Scalars=\"|B| (T)\">\n");
    file_.text(
        "        <DataArray type=\"Float64\" Name=\"B (T)\" NumberOfComponents=\"3\" format=\"binary\">\n");
    file_.text("          ");
    const std::uint64_t bytes = points_ * 3 * sizeof(double);
    b_.put(&bytes, sizeof bytes);
  }

  LoopOrder order() const override { return kXFastest; }

  void write(const double* b, std::size_t points) override {
    file_.throw_if_failed();
    b_.put(b, points * 3 * sizeof(double));
    magnitude_.resize(points);
    for (std::size_t p = 0; p < points; ++p)
      magnitude_[p] =
          std::sqrt(b[3 * p] * b[3 * p] + b[3 * p + 1] * b[3 * p + 1] + b[3 * p + 2] * b[3 * p + 2]);
    magnitudes_->write_at(written_ * sizeof(double), magnitude_.data(), points * sizeof(double));
    written_ += points;
  }

  void finish() override {
    b_.end();
    file_.text("\n        </DataArray>\n");
    file_.text("        <DataArray type=\"Float64\" Name=\"|B| (T)\" format=\"binary\">\n          ");
    Base64 out(file_);
    const std::uint64_t bytes = points_ * sizeof(double);
    out.put(&bytes, sizeof bytes);
    constexpr std::uint64_t kPiece = 65536;
    magnitude_.resize(kPiece);
    for (std::uint64_t first = 0; first < points_; first += kPiece) {
      const std::uint64_t n = std::min(kPiece, points_ - first);
      magnitudes_->read_at(first * sizeof(double), magnitude_.data(), n * sizeof(double));
      out.put(magnitude_.data(), n * sizeof(double));
    }
    out.end();
    file_.text("\n        </DataArray>\n      </PointData>\n    </Piece>\n  </ImageData>\n</VTKFile>\n");
    file_.commit_or_throw();
  }

 private:
  OutputFile file_;
  std::uint64_t points_;
  Base64 b_;
  std::unique_ptr<ScratchFile> magnitudes_;  // |B| waits here until B is complete
  std::vector<double> magnitude_;
  std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<FieldMapWriter> vtk_image_writer(const std::string& path, const FieldMapGrid& grid,
                                                 const ExportOptions&) {
  return std::make_unique<VtkImageWriter>(path, grid);
}

void vtk_write_windings(const CoilChains& chains, const std::string& path, const ExportOptions&,
                        ExportReport& report) {
  std::vector<std::int64_t> connectivity, offsets;
  std::vector<double> current;
  std::vector<std::int32_t> layer;
  for (const CoilChain& c : chains.chains) {
    for (std::size_t v = 0; v < c.point_count; ++v)
      connectivity.push_back(static_cast<std::int64_t>(c.first_point + v));
    if (c.closed) connectivity.push_back(static_cast<std::int64_t>(c.first_point));
    offsets.push_back(static_cast<std::int64_t>(connectivity.size()));
    current.push_back(c.current);
    layer.push_back(c.layer);
  }
  OutputFile file(path);
  open_file(file,
            "expcoil windings: lengths in metres, current in amperes along each line's point order; "
            "layer 1 and 2 are the two winding layers, 0 unknown",
            "PolyData");
  file.text("  <PolyData>\n    <Piece NumberOfPoints=\"").text(std::to_string(chains.points.size() / 3));
  file.text("\" NumberOfVerts=\"0\" NumberOfLines=\"").text(std::to_string(offsets.size()));
  file.text("\" NumberOfStrips=\"0\" NumberOfPolys=\"0\">\n      <CellData Scalars=\"current (A)\">\n");
  file.text("        <DataArray type=\"Float64\" Name=\"current (A)\" format=\"binary\">\n          ");
  put_array(file, current);
  file.text(
      "\n        </DataArray>\n        <DataArray type=\"Int32\" Name=\"layer\" format=\"binary\">\n         "
      " ");
  put_array(file, layer);
  file.text("\n        </DataArray>\n      </CellData>\n      <Points>\n");
  file.text("        <DataArray type=\"Float64\" NumberOfComponents=\"3\" format=\"binary\">\n          ");
  put_array(file, chains.points);
  file.text("\n        </DataArray>\n      </Points>\n      <Lines>\n");
  file.text("        <DataArray type=\"Int64\" Name=\"connectivity\" format=\"binary\">\n          ");
  put_array(file, connectivity);
  file.text(
      "\n        </DataArray>\n        <DataArray type=\"Int64\" Name=\"offsets\" format=\"binary\">\n       "
      "   ");
  put_array(file, offsets);
  file.text("\n        </DataArray>\n      </Lines>\n    </Piece>\n  </PolyData>\n</VTKFile>\n");
  file.commit_or_throw();
  std::size_t open = 0;
  for (const CoilChain& c : chains.chains) open += !c.closed;
  if (open > 0)
    report.notes.push_back(
        join({std::to_string(open), open == 1 ? " winding chain" : " winding chains", " not closed"}));
}

}  // namespace expcoil

#include "io/export/bdsim.hpp"

#include <zlib.h>

#include <string>
#include <vector>

#include "io/text_support.hpp"
#include "lib/output_file.hpp"
#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

constexpr double kCentimetres = 100.0;
constexpr std::size_t kTextBlock = std::size_t{1} << 17;

// Text in, gzip out through an OutputFile. Level 1: the map is mostly digits, and higher levels would make
// the compression, not the conversion, the slow part.
class GzipText {
 public:
  explicit GzipText(const std::string& path) : file_(path), out_(kTextBlock) {
    stream_.zalloc = Z_NULL;
    stream_.zfree = Z_NULL;
    stream_.opaque = Z_NULL;
    // 15 + 16: a gzip wrapper (modification time 0, so the file is the same on every run).
    if (deflateInit2(&stream_, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw WriteError(path, "zlib cannot start");
    text_.reserve(2 * kTextBlock);
  }
  ~GzipText() { deflateEnd(&stream_); }
  GzipText(const GzipText&) = delete;
  GzipText& operator=(const GzipText&) = delete;

  std::string& text() { return text_; }
  void maybe_flush() {
    if (text_.size() >= kTextBlock) deflate_text(Z_NO_FLUSH);
  }
  void finish() {
    deflate_text(Z_FINISH);
    file_.commit_or_throw();
  }

 private:
  void deflate_text(int flush) {
    file_.throw_if_failed();
    stream_.next_in = reinterpret_cast<Bytef*>(text_.data());
    stream_.avail_in = static_cast<uInt>(text_.size());
    int status;
    do {
      stream_.next_out = out_.data();
      stream_.avail_out = static_cast<uInt>(out_.size());
      status = deflate(&stream_, flush);
      if (status == Z_STREAM_ERROR) throw WriteError(file_.path(), "zlib failed");
      file_.text({reinterpret_cast<const char*>(out_.data()), out_.size() - stream_.avail_out});
    } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    text_.clear();
  }

  OutputFile file_;
  z_stream stream_{};
  std::vector<Bytef> out_;
  std::string text_;
};

class BdsimWriter final : public FieldMapWriter {
 public:
  BdsimWriter(const std::string& path, const FieldMapGrid& grid, BdsimOrder order)
      : gzip_(path), order_(order == BdsimOrder::xyzt ? kXFastest : kCsvOrder), walk_(grid, order_) {
    std::string& t = gzip_.text();
    t += "# expcoil field map for BDSIM (bdsim3d)\n# units: cm, T\n";
    t += order == BdsimOrder::xyzt ? "# lines x fastest, then y, z slowest\n"
                                   : "# lines z fastest, then y, x slowest\n";
    static constexpr const char* kAxis[3] = {"x", "y", "z"};
    for (int a = 0; a < 3; ++a) {
      t += join({kAxis[a], "min> ", plain_text(grid.min[a] * kCentimetres), "\n"});
      t += join({kAxis[a], "max> ", plain_text(grid.value(a, grid.count[a] - 1) * kCentimetres), "\n"});
      t += join({"n", kAxis[a], "> ", std::to_string(grid.count[a]), "\n"});
    }
    t += order == BdsimOrder::xyzt ? "loopOrder> xyzt\n" : "loopOrder> tzyx\n";
    t += "! X\tY\tZ\tFx\tFy\tFz\n";
    for (int a = 0; a < 3; ++a) axis_[a] = axis_texts(grid, a, kCentimetres, put_single);
  }

  LoopOrder order() const override { return order_; }

  void write(const double* b, std::size_t points) override {
    char line[kLineText];
    for (std::size_t p = 0; p < points; ++p, b += 3, walk_.next()) {
      const std::string* coordinates[3];
      for (int a = 0; a < 3; ++a) coordinates[a] = &axis_[a][static_cast<std::size_t>(walk_[a])];
      gzip_.text().append(line, point_line(line, coordinates, b, '\t', false, put_single));
      gzip_.maybe_flush();
    }
  }

  void finish() override { gzip_.finish(); }

 private:
  GzipText gzip_;
  LoopOrder order_;
  GridWalk walk_;
  std::vector<std::string> axis_[3];
};

}  // namespace

std::unique_ptr<FieldMapWriter> bdsim_writer(const std::string& path, const FieldMapGrid& grid,
                                             const ExportOptions& options) {
  check_single_grid(grid, kCentimetres, "cm", "BDSIM");
  return std::make_unique<BdsimWriter>(path, grid, options.bdsim_order);
}

}  // namespace expcoil

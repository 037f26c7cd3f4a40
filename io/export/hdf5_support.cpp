#include "io/export/hdf5_support.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "io/text_support.hpp"
#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

// What a failed HDF5 call left on its error stack: the outermost description (what the library was
// doing) and, from deeper down, the system's reason where a read or write of the file failed (the sec2
// driver words it "..., error message = '<strerror>', ..."), else the innermost minor message.
struct ErrorStack {
  std::string outer;
  std::string system;
  std::string minor;
};

herr_t collect(unsigned, const H5E_error2_t* error, void* data) {
  auto& stack = *static_cast<ErrorStack*>(data);
  if (error->desc != nullptr) {
    const std::string_view desc(error->desc);
    if (stack.outer.empty()) stack.outer = desc;
    static constexpr std::string_view kSystem = "error message = '";
    if (const std::size_t at = desc.find(kSystem); at != std::string_view::npos && stack.system.empty()) {
      const std::size_t begin = at + kSystem.size();
      stack.system = desc.substr(begin, desc.find('\'', begin) - begin);
    }
  }
  char minor[256];
  if (H5Eget_msg(error->min_num, nullptr, minor, sizeof minor) > 0) stack.minor = minor;
  return 0;
}

// Fixed-length, NUL-padded strings: what Fortran readers (Bmad) and h5py both take.
H5Object string_type(std::size_t length) {
  H5Object type(H5Tcopy(H5T_C_S1), H5Tclose);
  H5Tset_size(type.id(), std::max<std::size_t>(length, 1));
  H5Tset_strpad(type.id(), H5T_STR_NULLPAD);
  return type;
}

}  // namespace

void hdf5_skip_cleanup_at_exit() { H5dont_atexit(); }

Hdf5Output::Hdf5Output(const std::string& path) : output_(path) {
  output_.throw_if_failed();
  file_ = H5Object(H5Fcreate(output_.temporary_path().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT),
                   H5Fclose);
  check(file_.id(), "create the file");
}

Hdf5Output::~Hdf5Output() = default;

std::int64_t Hdf5Output::check(std::int64_t status, const char* what) const {
  if (status >= 0) return status;
  ErrorStack stack;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect, &stack);
  H5Eclear2(H5E_DEFAULT);
  std::string reason = std::string("HDF5 cannot ") + what;
  if (!stack.outer.empty()) reason += ": " + stack.outer;
  if (!stack.system.empty()) {
    reason += ": " + stack.system;
  } else if (!stack.minor.empty()) {
    reason += " (" + stack.minor + ")";
  }
  throw WriteError(output_.path(), reason);
}

H5Object Hdf5Output::group(hid_t parent, const char* name) {
  H5Object properties(H5Pcreate(H5P_GROUP_CREATE), H5Pclose);
  check(H5Pset_obj_track_times(properties.id(), false), "set group properties");
  H5Object g(H5Gcreate2(parent, name, H5P_DEFAULT, properties.id(), H5P_DEFAULT), H5Gclose);
  check(g.id(), "create a group");
  return g;
}

H5Object Hdf5Output::dataset(hid_t parent, const char* name, hid_t type, std::initializer_list<hsize_t> dims,
                             bool zero) {
  const std::vector<hsize_t> extent(dims);
  H5Object space(H5Screate_simple(static_cast<int>(extent.size()), extent.data(), nullptr), H5Sclose);
  check(space.id(), "make a data space");
  H5Object properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  check(H5Pset_obj_track_times(properties.id(), false), "set dataset properties");
  check(H5Pset_layout(properties.id(), H5D_CONTIGUOUS), "set dataset properties");
  if (zero) {
    check(H5Pset_alloc_time(properties.id(), H5D_ALLOC_TIME_EARLY), "set dataset properties");
    check(H5Pset_fill_time(properties.id(), H5D_FILL_TIME_ALLOC), "set dataset properties");
  } else {
    check(H5Pset_fill_time(properties.id(), H5D_FILL_TIME_NEVER), "set dataset properties");
  }
  H5Object d(H5Dcreate2(parent, name, type, space.id(), H5P_DEFAULT, properties.id(), H5P_DEFAULT), H5Dclose);
  check(d.id(), "create a dataset");
  return d;
}

void Hdf5Output::attribute(hid_t object, const char* name, std::string_view text) {
  H5Object type = string_type(text.size());
  H5Object space(H5Screate(H5S_SCALAR), H5Sclose);
  H5Object a(H5Acreate2(object, name, type.id(), space.id(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  check(a.id(), "create an attribute");
  std::string padded(text);
  padded.resize(std::max<std::size_t>(text.size(), 1), '\0');
  check(H5Awrite(a.id(), type.id(), padded.data()), "write an attribute");
}

void Hdf5Output::attribute(hid_t object, const char* name, std::initializer_list<std::string_view> texts) {
  std::size_t length = 1;
  for (std::string_view t : texts) length = std::max(length, t.size());
  std::string data;
  for (std::string_view t : texts) {
    data += t;
    data.resize(data.size() + length - t.size(), '\0');
  }
  H5Object type = string_type(length);
  const hsize_t n = texts.size();
  H5Object space(H5Screate_simple(1, &n, nullptr), H5Sclose);
  H5Object a(H5Acreate2(object, name, type.id(), space.id(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  check(a.id(), "create an attribute");
  check(H5Awrite(a.id(), type.id(), data.data()), "write an attribute");
}

void Hdf5Output::attribute(hid_t object, const char* name, double value) {
  H5Object space(H5Screate(H5S_SCALAR), H5Sclose);
  H5Object a(H5Acreate2(object, name, H5T_IEEE_F64LE, space.id(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  check(a.id(), "create an attribute");
  check(H5Awrite(a.id(), H5T_NATIVE_DOUBLE, &value), "write an attribute");
}

void Hdf5Output::attribute(hid_t object, const char* name, std::int32_t value) {
  H5Object space(H5Screate(H5S_SCALAR), H5Sclose);
  H5Object a(H5Acreate2(object, name, H5T_STD_I32LE, space.id(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  check(a.id(), "create an attribute");
  check(H5Awrite(a.id(), H5T_NATIVE_INT32, &value), "write an attribute");
}

void Hdf5Output::attribute(hid_t object, const char* name, std::initializer_list<double> values) {
  const hsize_t n = values.size();
  H5Object space(H5Screate_simple(1, &n, nullptr), H5Sclose);
  H5Object a(H5Acreate2(object, name, H5T_IEEE_F64LE, space.id(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  check(a.id(), "create an attribute");
  check(H5Awrite(a.id(), H5T_NATIVE_DOUBLE, std::data(values)), "write an attribute");
}

void Hdf5Output::attribute(hid_t object, const char* name, std::initializer_list<std::int32_t> values) {
  const hsize_t n = values.size();
  H5Object space(H5Screate_simple(1, &n, nullptr), H5Sclose);
  H5Object a(H5Acreate2(object, name, H5T_STD_I32LE, space.id(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  check(a.id(), "create an attribute");
  check(H5Awrite(a.id(), H5T_NATIVE_INT32, std::data(values)), "write an attribute");
}

// A run of consecutive elements is at most a partial row, partial planes' rows, whole planes, rows and
// another partial row: up to five boxes, each one H5Dwrite.
void Hdf5Output::write_run(hid_t dataset, const hsize_t (&dims)[3], std::uint64_t first, std::uint64_t count,
                           hid_t type, const void* data) {
  H5Object file_space(H5Dget_space(dataset), H5Sclose);
  check(file_space.id(), "get a data space");
  const std::size_t element = H5Tget_size(type);
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::uint64_t plane = dims[1] * dims[2];
  while (count > 0) {
    hsize_t start[3] = {first / plane, first / dims[2] % dims[1], first % dims[2]};
    hsize_t size[3] = {1, 1, 1};
    if (start[2] != 0 || count < dims[2]) {
      size[2] = std::min<std::uint64_t>(dims[2] - start[2], count);
    } else if (start[1] != 0 || count < plane) {
      size[1] = std::min<std::uint64_t>(dims[1] - start[1], count / dims[2]);
      size[2] = dims[2];
    } else {
      size[0] = count / plane;
      size[1] = dims[1];
      size[2] = dims[2];
    }
    const hsize_t n = size[0] * size[1] * size[2];
    check(H5Sselect_hyperslab(file_space.id(), H5S_SELECT_SET, start, nullptr, size, nullptr),
          "select points");
    H5Object memory_space(H5Screate_simple(1, &n, nullptr), H5Sclose);
    check(H5Dwrite(dataset, type, memory_space.id(), file_space.id(), H5P_DEFAULT, bytes), "write data");
    bytes += n * element;
    first += n;
    count -= n;
  }
}

void Hdf5Output::commit() {
  check(file_.reset() ? 0 : -1, "close the file");
  output_.commit_or_throw();
}

}  // namespace expcoil

// What the two HDF5 formats share: a file written under a temporary name and renamed when complete (as
// every output of the program is), owned handles, attributes, and writing a run of consecutive points
// into a 3-D dataset. HDF5 calls are checked one by one; a failure throws WriteError with HDF5's own
// description and the system's reason beneath it ("No space left on device"), and HDF5 prints nothing
// itself while such a file is open.
//
// Objects are created without modification times, so that the same map gives the same bytes every time.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "lib/output_file.hpp"

namespace expcoil {

// HDF5 closes what is still open when the process exits, and HDF5 1.10 crashes doing so for a file whose
// close failed (a full disk, a file-size limit). A program that ends after its exports skips that: the
// system closes the files, and the temporaries are gone already. Before any other HDF5 call.
void hdf5_skip_cleanup_at_exit();

class H5Object {
 public:
  H5Object() = default;
  H5Object(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~H5Object() { reset(); }
  H5Object(H5Object&& other) noexcept : id_(other.id_), close_(other.close_) { other.id_ = -1; }
  H5Object& operator=(H5Object&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = other.id_;
      close_ = other.close_;
      other.id_ = -1;
    }
    return *this;
  }
  hid_t id() const { return id_; }
  // Closes now; returns false when HDF5 reports a failure (data not flushed, for a file).
  bool reset() {
    const bool ok = id_ < 0 || close_(id_) >= 0;
    id_ = -1;
    return ok;
  }

 private:
  hid_t id_ = -1;
  herr_t (*close_)(hid_t) = nullptr;
};

class Hdf5Output {
 public:
  explicit Hdf5Output(const std::string& path);
  ~Hdf5Output();
  Hdf5Output(const Hdf5Output&) = delete;
  Hdf5Output& operator=(const Hdf5Output&) = delete;

  hid_t root() const { return file_.id(); }
  H5Object group(hid_t parent, const char* name);
  // A contiguous dataset of `dims` elements; `zero` allocates it at once filled with zeros, otherwise
  // every element must be written.
  H5Object dataset(hid_t parent, const char* name, hid_t type, std::initializer_list<hsize_t> dims,
                   bool zero = false);

  void attribute(hid_t object, const char* name, std::string_view text);
  void attribute(hid_t object, const char* name, std::initializer_list<std::string_view> texts);
  // One value: a scalar attribute; a list: a one-dimensional one (also of one element).
  void attribute(hid_t object, const char* name, double value);
  void attribute(hid_t object, const char* name, std::int32_t value);
  void attribute(hid_t object, const char* name, std::initializer_list<double> values);
  void attribute(hid_t object, const char* name, std::initializer_list<std::int32_t> values);

  // Writes `count` elements, consecutive in the row-major order of the 3-D dataset with extents `dims`,
  // starting at element `first`, from `data` laid out in that order with memory type `type`.
  void write_run(hid_t dataset, const hsize_t (&dims)[3], std::uint64_t first, std::uint64_t count,
                 hid_t type, const void* data);

  // Closes the HDF5 file and renames it into place; throws WriteError on failure.
  void commit();

  // Throws WriteError naming `what` and HDF5's description unless `status` is >= 0; returns it.
  std::int64_t check(std::int64_t status, const char* what) const;

 private:
  // Keeps HDF5 from printing its error stack while the file is open; the messages go into WriteError.
  struct QuietErrors {
    QuietErrors() {
      H5Eget_auto2(H5E_DEFAULT, &handler, &data);
      H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, handler, data); }
    H5E_auto2_t handler = nullptr;
    void* data = nullptr;
  };

  OutputFile output_;  // destroyed last: the temporary goes after HDF5 has let go of it
  QuietErrors quiet_;
  H5Object file_;
};

}  // namespace expcoil

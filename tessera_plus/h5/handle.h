// Move-only owners of HDF5 identifiers. Every identifier the library opens lives in one of these, so
// it is closed on every path, exceptions included.
#pragma once

#include <hdf5.h>

#include <utility>

namespace tessera_plus::h5 {

[[noreturn]] void throw_error(const char* action);

template <herr_t (*Close)(hid_t)>
class Handle {
 public:
  Handle() = default;
  explicit Handle(hid_t id) : id_(id) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
    }
    return *this;
  }
  // The destructor cannot report a failed close; callers that must know (a file being written)
  // call close() first.
  ~Handle() { reset(); }

  hid_t get() const noexcept { return id_; }
  bool valid() const noexcept { return id_ >= 0; }

  void reset() noexcept {
    if (id_ >= 0) {
      Close(id_);
      H5Eclear2(H5E_DEFAULT);
    }
    id_ = H5I_INVALID_HID;
  }

  void close() {
    if (id_ < 0) return;
    herr_t status = Close(std::exchange(id_, H5I_INVALID_HID));
    if (status < 0) throw_error("closing an HDF5 object");
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
};

using FileId = Handle<H5Fclose>;
using GroupId = Handle<H5Gclose>;
using DatasetId = Handle<H5Dclose>;
using DataspaceId = Handle<H5Sclose>;
using DatatypeId = Handle<H5Tclose>;
using PropListId = Handle<H5Pclose>;

}  // namespace tessera_plus::h5

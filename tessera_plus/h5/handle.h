// Move-only owners of HDF5 identifiers. Every identifier the library opens lives in one of these,
// so it is closed on every path, exceptions included.
//
// This header is public and must not pull in <hdf5.h>: `Id` and `Size` are the integer types that
// HDF5 1.10 uses for `hid_t` and `hsize_t` (checked in handle.cc).
#pragma once

#include <cstdint>
#include <utility>

namespace tessera_plus::h5 {

using Id = std::int64_t;
using Size = unsigned long long;
inline constexpr Id kInvalidId = -1;

class Handle {
 public:
  Handle() = default;
  explicit Handle(Id id) : id_(id) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, kInvalidId)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      id_ = std::exchange(other.id_, kInvalidId);
    }
    return *this;
  }
  // The destructor cannot report a failed close; callers that must know (a file being written)
  // call close() first.
  ~Handle() { reset(); }

  Id get() const noexcept { return id_; }
  bool valid() const noexcept { return id_ >= 0; }
  // Closes without reporting, clearing whatever the close left on the error stack.
  void reset() noexcept;
  // Closes and throws the error stack's OSError kind when HDF5 reports a failure.
  void close();

 private:
  Id id_ = kInvalidId;
};

// The kinds are told apart by name only: every identifier is released the same way.
using FileId = Handle;
using GroupId = Handle;
using DatasetId = Handle;
using DataspaceId = Handle;
using DatatypeId = Handle;
using PropListId = Handle;

}  // namespace tessera_plus::h5

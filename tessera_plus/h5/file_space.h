// Where a dataset's chunks and a file's free space lie: for writers that keep what a reader of the
// old file still reads clear of everything they write in the same session.
#pragma once

#include <optional>
#include <vector>

#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::h5 {

// Bytes [address, address + size) of the file.
struct FileSpan {
  Size address = 0;
  Size size = 0;
  Size end() const { return address + size; }
};

// The stored chunk holding `first_row`; nullopt when it was never written.
std::optional<FileSpan> chunk_span(const Dataset& ds, Size first_row);

// The free raw-data space that HDF5's free-space manager of the dataset's file tracks now (what
// the next raw-data allocation may take), in address order.
std::vector<FileSpan> free_raw_spans(const Dataset& ds);

// Space at the end of a dataset's file, held by a hidden member while it lives: what HDF5 frees
// next to the end of the file is given back before anything else, so a writer that must not land
// on some freed bytes puts this after them first. `bytes` larger than any free space (see
// free_raw_spans) makes sure it lands at the end. Gone again (its member deleted, its space freed)
// when the object is destroyed or released.
class EndBlocker {
 public:
  EndBlocker(const Dataset& ds, Size bytes);
  ~EndBlocker();
  EndBlocker(const EndBlocker&) = delete;
  EndBlocker& operator=(const EndBlocker&) = delete;
  // Deletes the member now, reporting failures.
  void release();

 private:
  FileId file_;
};

}  // namespace tessera_plus::h5

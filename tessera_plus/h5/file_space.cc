#include "tessera_plus/h5/file_space.h"

#include <algorithm>

#include "tessera_plus/h5/dataset_checks_internal.h"
#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {
namespace {

std::size_t count_of(ssize_t n, const char* action) {
  if (n < 0) throw_error(action);
  return static_cast<std::size_t>(n);
}

FileId file_of(const Dataset& ds) {
  return FileId(check_id(H5Iget_file_id(ds.id()), "finding a dataset's file"));
}

}  // namespace

std::optional<FileSpan> chunk_span(const Dataset& ds, Size first_row) {
  const std::optional<StoredChunk> stored = allocated_chunk(ds.id(), first_row);
  if (!stored) return std::nullopt;
  return FileSpan{stored->address, stored->size};
}

std::vector<FileSpan> free_raw_spans(const Dataset& ds) {
  const FileId file = file_of(ds);
  const std::size_t count = count_of(H5Fget_free_sections(file.get(), H5FD_MEM_DRAW, 0, nullptr),
                                     "counting a file's free space");
  std::vector<H5F_sect_info_t> sections(count);
  if (count > 0) {
    count_of(H5Fget_free_sections(file.get(), H5FD_MEM_DRAW, sections.size(), sections.data()),
             "listing a file's free space");
  }
  std::vector<FileSpan> spans;
  for (const H5F_sect_info_t& s : sections) spans.push_back({s.addr, s.size});
  std::sort(spans.begin(), spans.end(),
            [](const FileSpan& a, const FileSpan& b) { return a.address < b.address; });
  return spans;
}

namespace {

// Hidden, and never seen outside a session: the writer deletes it before the file is closed.
constexpr const char* kBlockerName = ".tessera_plus-end-blocker";

}  // namespace

EndBlocker::EndBlocker(const Dataset& ds, Size bytes) : file_(file_of(ds)) {
  PropListId dcpl(check_id(H5Pcreate(H5P_DATASET_CREATE), "creating dataset properties"));
  check(H5Pset_layout(dcpl.get(), H5D_CONTIGUOUS), "choosing contiguous storage");
  // Allocated now, at the end of the file, and never written: the space is what matters.
  check(H5Pset_alloc_time(dcpl.get(), H5D_ALLOC_TIME_EARLY), "allocating storage early");
  check(H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER), "skipping the fill value");
  const hsize_t dims = bytes;
  DataspaceId space(check_id(H5Screate_simple(1, &dims, nullptr), "creating a dataspace"));
  DatasetId blocker(check_id(H5Dcreate2(file_.get(), kBlockerName, H5T_NATIVE_UCHAR, space.get(),
                                        H5P_DEFAULT, dcpl.get(), H5P_DEFAULT),
                             "reserving the end of a file"));
}

EndBlocker::~EndBlocker() {
  if (!file_.valid()) return;
  H5Ldelete(file_.get(), kBlockerName, H5P_DEFAULT);
  H5Eclear2(H5E_DEFAULT);
}

void EndBlocker::release() {
  if (!file_.valid()) return;
  check(H5Ldelete(file_.get(), kBlockerName, H5P_DEFAULT), "releasing the end of a file");
  file_.reset();
}

}  // namespace tessera_plus::h5

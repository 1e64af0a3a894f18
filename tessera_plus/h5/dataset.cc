#include "tessera_plus/h5/dataset.h"

#include <algorithm>
#include <string>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/chunk_reads_internal.h"
#include "tessera_plus/h5/dataset_checks_internal.h"
#include "tessera_plus/h5/error_internal.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::h5 {
namespace {

std::string where(const File& file, const std::string& name) {
  return fmt::format("dataset '{}' of {}", name, file.path());
}

DataspaceId selection(const Dataset& ds, hsize_t start, hsize_t count) {
  DataspaceId space(check_id(H5Dget_space(ds.id()), "reading a dataset's shape"));
  if (count > 0) {
    check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, &start, nullptr, &count, nullptr),
          "selecting dataset rows");
  } else {
    check(H5Sselect_none(space.get()), "selecting no rows");
  }
  return space;
}

DataspaceId memory_space(hsize_t count) {
  return DataspaceId(check_id(H5Screate_simple(1, &count, nullptr), "creating a dataspace"));
}

// HDF5 converts through a buffer of a megabyte by default, allocated and cleared for every read
// however few rows it fetches; one sized to the read costs what the read needs.
PropListId transfer_for(std::size_t row_bytes, hsize_t count) {
  constexpr std::size_t kLargest = std::size_t{1} << 20;
  const std::size_t rows =
      std::clamp<hsize_t>(count, 1, std::max<std::size_t>(kLargest / row_bytes, 1));
  PropListId xfer(check_id(H5Pcreate(H5P_DATASET_XFER), "creating transfer properties"));
  check(H5Pset_buffer(xfer.get(), rows * row_bytes, nullptr, nullptr),
        "sizing the conversion buffer");
  return xfer;
}

PropListId creation_plist_for(const Creation& how) {
  PropListId dcpl(check_id(H5Pcreate(H5P_DATASET_CREATE), "creating dataset properties"));
  if (how.chunk > 0) check(H5Pset_chunk(dcpl.get(), 1, &how.chunk), "setting the chunk length");
  if (how.deflate >= 0) {
    check(H5Pset_deflate(dcpl.get(), static_cast<unsigned>(how.deflate)), "setting deflate");
  }
  for (const FilterOptions& filter : how.filters) {
    check(H5Pset_filter(dcpl.get(), filter.id, H5Z_FLAG_OPTIONAL, filter.cd_values.size(),
                        filter.cd_values.data()),
          "setting a compression filter");
  }
  return dcpl;
}

}  // namespace

Dataset Dataset::create_sized(const NewDataset& wanted, std::size_t count) {
  ensure_initialized();
  hsize_t dims = count;
  hsize_t max_dims = wanted.how.growable ? H5S_UNLIMITED : dims;
  DataspaceId space(check_id(H5Screate_simple(1, &dims, &max_dims), "creating a dataspace"));
  DatatypeId type = compound_type(wanted.layout);
  PropListId dcpl = creation_plist_for(wanted.how);
  const std::string action = "cannot create dataset " + wanted.name + " in " + wanted.file.path();
  return Dataset(DatasetId(check_id(H5Dcreate2(wanted.file.id(), wanted.name.c_str(), type.get(),
                                               space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT),
                                    action.c_str())),
                 where(wanted.file, wanted.name));
}

Dataset Dataset::create(File& file, const std::string& name, const RecordLayout& layout,
                        const void* records, std::size_t count, const Creation& how) {
  Dataset ds = create_sized({file, name, layout, how}, count);
  if (count > 0 && records) ds.write(layout, 0, count, records);
  return ds;
}

Dataset Dataset::create_empty(File& file, const std::string& name, const RecordLayout& layout,
                              const Creation& how) {
  return create_sized({file, name, layout, how}, 0);
}

Dataset Dataset::open(const File& file, const std::string& name) {
  ensure_initialized();
  if (!file.has(name)) throw KeyError("no dataset '" + name + "' in " + file.path());
  const std::string action = "cannot open dataset " + name + " in " + file.path();
  return Dataset(
      DatasetId(check_id(H5Dopen2(file.id(), name.c_str(), H5P_DEFAULT), action.c_str())),
      where(file, name));
}

hsize_t Dataset::length() const {
  DataspaceId space(check_id(H5Dget_space(id_.get()), "reading a dataset's shape"));
  int rank = check(H5Sget_simple_extent_ndims(space.get()), "reading a dataset's rank");
  if (rank != 1) throw_damage(where_, "not a one-dimensional array");
  hsize_t dims = 0;
  check(H5Sget_simple_extent_dims(space.get(), &dims, nullptr), "reading a dataset's length");
  return dims;
}

hsize_t Dataset::readable_length() const {
  if (!checked_) {
    check_stored_type(stored(), where_);
    checked_rows_ = checked_extent(id_.get(), H5Tget_size(stored()), where_);
    checked_ = true;
  }
  return checked_rows_;
}

void Dataset::check_readable(hsize_t start, hsize_t count) const {
  const hsize_t rows = readable_length();
  if (start > rows || count > rows - start) {
    throw_damage(where_, fmt::format("rows {} to {} asked of {}", start, start + count, rows));
  }
}

void Dataset::resize(hsize_t length) {
  checked_ = false;
  check(H5Dset_extent(id_.get(), &length), "resizing a dataset");
}

void Dataset::read(const RecordLayout& layout, hsize_t start, hsize_t count, void* out) const {
  if (count == 0) return;
  check_readable(start, count);
  for (const Field& field : layout.fields) check_stored_field(stored(), field, where_);
  DatatypeId type = compound_type(layout);
  read_rows(layout.fields, type.get(), layout.size, start, count, out);
}

void Dataset::read_rows(std::span<const Field> fields, hid_t memory_type, std::size_t out_record,
                        hsize_t start, hsize_t count, void* out) const {
  const hid_t stored_id = stored();
  if (!storage_known_) {
    const std::optional<DeflateChunks> chunks = deflate_chunks(id_.get(), stored_id, where_);
    direct_chunk_rows_ = chunks ? chunks->chunk_rows : 0;
    storage_known_ = true;
  }
  const std::size_t record = H5Tget_size(stored_id);
  if (direct_chunk_rows_ > 0) {
    if (const auto copies = field_copies(stored_id, fields)) {
      read_deflate_chunks(*this, DeflateChunks{direct_chunk_rows_, record}, *copies, out_record,
                          start, count, static_cast<std::byte*>(out), where_);
      return;
    }
  }
  PropListId xfer = transfer_for(std::max(record, H5Tget_size(memory_type)), count);
  DataspaceId file_space = selection(*this, start, count);
  DataspaceId mem_space = memory_space(count);
  check(H5Dread(id_.get(), memory_type, mem_space.get(), file_space.get(), xfer.get(), out),
        "reading dataset rows");
}

void Dataset::verify_rows(DecodeScratch& scratch) const {
  const hsize_t rows = readable_length();
  if (rows == 0) return;
  const std::size_t record = H5Tget_size(stored());
  if (const std::optional<BloscChunks> chunks = blosc_chunks(id_.get(), record, where_)) {
    verify_blosc_chunks(*this, *chunks, rows, scratch, where_);
    return;
  }
  scratch.rows.resize(rows * record);
  PropListId xfer = transfer_for(record, rows);
  // In the stored type itself, so that HDF5 converts nothing: only its read path is tried.
  check(H5Dread(id_.get(), stored(), H5S_ALL, H5S_ALL, xfer.get(), scratch.rows.data()),
        "reading dataset rows");
}

void Dataset::write(const RecordLayout& layout, hsize_t start, hsize_t count, const void* records) {
  if (count == 0) return;
  checked_ = false;
  DatatypeId type = compound_type(layout);
  DataspaceId file_space = selection(*this, start, count);
  DataspaceId mem_space = memory_space(count);
  check(H5Dwrite(id_.get(), type.get(), mem_space.get(), file_space.get(), H5P_DEFAULT, records),
        "writing dataset rows");
}

bool Dataset::has_field(std::string_view name) const {
  if (H5Tget_class(stored()) != H5T_COMPOUND) return false;
  std::string n(name);
  return H5Tget_member_index(stored(), n.c_str()) >= 0;
}

void Dataset::read_field_into(const Field& field, hsize_t start, hsize_t count, void* out) const {
  if (!has_field(field.name)) {
    throw KeyError(where_ + " has no field '" + std::string(field.name) + "'");
  }
  if (count == 0) return;
  check_readable(start, count);
  check_stored_field(stored(), field, where_);
  DatatypeId type = single_field_type(field);
  const Field at_start{field.name, field.kind, 0};
  read_rows({&at_start, 1}, type.get(), size_of(field.kind), start, count, out);
}

void Dataset::write_chunk(hsize_t first_row, const void* bytes, std::size_t size,
                          unsigned filter_mask) {
  checked_ = false;
  check(H5Dwrite_chunk(id_.get(), H5P_DEFAULT, filter_mask, &first_row, size, bytes),
        "writing a chunk");
}

std::size_t Dataset::chunk_storage_size(hsize_t first_row) const {
  const std::optional<StoredChunk> stored = allocated_chunk(id_.get(), first_row);
  return stored ? stored->size : 0;
}

std::uint64_t Dataset::chunk_file_offset(hsize_t first_row) const {
  const std::optional<StoredChunk> stored = allocated_chunk(id_.get(), first_row);
  return stored ? stored->address : 0;
}

unsigned Dataset::read_chunk(hsize_t first_row, std::size_t max_size,
                             std::vector<std::byte>& out) const {
  const std::size_t size = chunk_storage_size(first_row);
  if (size > max_size) {
    throw_damage(where_, fmt::format("a chunk of {} bytes where at most {} fit", size, max_size));
  }
  out.resize(size);
  std::uint32_t mask = 0;
  if (size > 0) {
    check(H5Dread_chunk(id_.get(), H5P_DEFAULT, &first_row, &mask, out.data()), "reading a chunk");
  }
  return mask;
}

hsize_t Dataset::deflate_chunk_rows(const RecordLayout& layout) const {
  DatatypeId expected = compound_type(layout);
  if (check(H5Tequal(stored(), expected.get()), "comparing record types") <= 0) return 0;
  PropListId dcpl = creation_plist();
  if (!chunked_with_deflate_alone(dcpl.get())) return 0;
  hsize_t chunk = 0;
  if (H5Pget_chunk(dcpl.get(), 1, &chunk) != 1) return 0;
  return chunk;
}

std::vector<std::int64_t> Dataset::read_integers() const {
  if (H5Tget_class(stored()) != H5T_INTEGER) {
    throw ValueError(where_ + " does not hold plain integers");
  }
  std::vector<std::int64_t> values(readable_length());
  if (values.empty()) return values;
  const Field whole{"", Kind::kInt64, 0};
  read_rows({&whole, 1}, H5T_NATIVE_INT64, sizeof(std::int64_t), 0, values.size(), values.data());
  return values;
}

hid_t Dataset::stored() const {
  if (!stored_.valid()) {
    stored_ = DatatypeId(check_id(H5Dget_type(id_.get()), "reading a dataset's type"));
  }
  return stored_.get();
}

bool Dataset::has_external_storage() const {
  PropListId dcpl = creation_plist();
  int external = H5Pget_external_count(dcpl.get());
  if (external < 0) throw_error("reading a dataset's external storage");
  H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) throw_error("reading a dataset's layout");
  return external > 0 || layout == H5D_VIRTUAL;
}

PropListId Dataset::creation_plist() const {
  return PropListId(check_id(H5Dget_create_plist(id_.get()), "reading dataset properties"));
}

}  // namespace tessera_plus::h5

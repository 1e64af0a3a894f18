#include <blosc.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/blosc.h"
#include "tessera_plus/h5/chunk_reads_internal.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/dataset_checks_internal.h"
#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {
namespace {

bool opened_read_only(hid_t dataset) {
  const hid_t file = H5Iget_file_id(dataset);
  if (file < 0) throw_error("finding a dataset's file");
  unsigned intent = 0;
  const herr_t status = H5Fget_intent(file, &intent);
  H5Fclose(file);
  check(status, "reading a file's access mode");
  return (intent & H5F_ACC_RDWR) == 0;
}

// Rows never written read as the fill value; only an all-zero one is what a fresh buffer holds.
bool fill_is_zero(hid_t dcpl, hid_t stored_type, std::size_t record) {
  H5D_fill_value_t status{};
  check(H5Pfill_value_defined(dcpl, &status), "reading a dataset's fill value");
  if (status == H5D_FILL_VALUE_DEFAULT) return true;
  if (status != H5D_FILL_VALUE_USER_DEFINED) return false;
  std::vector<unsigned char> fill(record);
  check(H5Pget_fill_value(dcpl, stored_type, fill.data()), "reading a dataset's fill value");
  return std::all_of(fill.begin(), fill.end(), [](unsigned char b) { return b == 0; });
}

StoredNumber describe_number(hid_t type, std::size_t offset) {
  StoredNumber n;
  n.offset = offset;
  n.size = H5Tget_size(type);
  n.is_float = H5Tget_class(type) == H5T_FLOAT;
  n.is_signed = n.is_float || H5Tget_sign(type) == H5T_SGN_2;
  n.big_endian = H5Tget_order(type) == H5T_ORDER_BE;
  return n;
}

bool is_signed(Kind kind) { return kind != Kind::kUInt32; }

// Whether every stored value has the same value in `kind`.
bool converts_exactly(const StoredNumber& n, Kind kind) {
  if (kind == Kind::kFloat64) return n.is_float || n.size <= 4;
  if (n.is_float) return false;
  const std::size_t to = size_of(kind);
  if (n.is_signed) return is_signed(kind) && to >= n.size;
  return is_signed(kind) ? to > n.size : to >= n.size;
}

// Whether this reader converts the member as HDF5 would. Little-endian members go through HDF5's
// compiled conversions, which saturate out-of-range integers and cast the rest as C does; the
// same is done here. A big-endian member takes HDF5's generic conversion, whose treatment of
// values out of range differs (a large unsigned value can come out negative), so only conversions
// that keep every value are done here and the rest are left to HDF5.
bool converts_as_hdf5(const StoredNumber& n, Kind kind) {
  if (n.is_float && kind != Kind::kFloat64) return false;
  return !n.big_endian || converts_exactly(n, kind);
}

// The stored bytes as an unsigned number, in host order.
std::uint64_t load_bits(const std::byte* at, std::size_t size, bool big_endian) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t byte = big_endian ? i : size - 1 - i;
    bits = (bits << 8) | static_cast<std::uint8_t>(at[byte]);
  }
  return bits;
}

template <typename T>
void store(std::byte* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// Integers out of the field's range become its nearest end, as HDF5's conversions do.
template <typename T>
T clamp_signed(std::int64_t v) {
  if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min())) {
    return std::numeric_limits<T>::min();
  }
  if (v > 0 && static_cast<std::uint64_t>(v) > std::numeric_limits<T>::max()) {
    return std::numeric_limits<T>::max();
  }
  return static_cast<T>(v);
}

template <typename T>
T clamp_unsigned(std::uint64_t v) {
  return v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())
             ? std::numeric_limits<T>::max()
             : static_cast<T>(v);
}

template <typename T>
void store_integer(std::byte* to, std::uint64_t bits, const StoredNumber& n) {
  if (!n.is_signed) {
    store(to, clamp_unsigned<T>(bits));
    return;
  }
  const unsigned shift = 64 - static_cast<unsigned>(n.size) * 8;
  const auto value = static_cast<std::int64_t>(bits << shift) >> shift;  // sign-extended
  store(to, clamp_signed<T>(value));
}

double as_double(std::uint64_t bits, const StoredNumber& n) {
  if (n.is_float) {
    return n.size == 4 ? static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)))
                       : std::bit_cast<double>(bits);
  }
  if (!n.is_signed) return static_cast<double>(bits);
  const unsigned shift = 64 - static_cast<unsigned>(n.size) * 8;
  return static_cast<double>(static_cast<std::int64_t>(bits << shift) >> shift);
}

void convert(const std::byte* from, std::byte* to, const FieldCopy& f) {
  const std::uint64_t bits = load_bits(from, f.from.size, f.from.big_endian);
  switch (f.kind) {
    case Kind::kInt32:
      store_integer<std::int32_t>(to, bits, f.from);
      break;
    case Kind::kUInt32:
      store_integer<std::uint32_t>(to, bits, f.from);
      break;
    case Kind::kInt64:
      store_integer<std::int64_t>(to, bits, f.from);
      break;
    case Kind::kFloat64:
      store(to, as_double(bits, f.from));
      break;
  }
}

// True when the stored member is the field's own type, so its bytes can be copied as they are.
bool stored_as_is(const FieldCopy& f) {
  if (f.from.big_endian || f.from.size != size_of(f.kind)) return false;
  switch (f.kind) {
    case Kind::kInt32:
    case Kind::kInt64:
      return !f.from.is_float && f.from.is_signed;
    case Kind::kUInt32:
      return !f.from.is_float && !f.from.is_signed;
    case Kind::kFloat64:
      return f.from.is_float;
  }
  return false;
}

void copy_rows(const std::byte* rows, std::size_t record, std::span<const FieldCopy> fields,
               const std::vector<bool>& as_is, std::byte* out, std::size_t out_record,
               std::size_t count) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldCopy& f = fields[i];
    const std::byte* from = rows + f.from.offset;
    std::byte* to = out + f.to;
    if (as_is[i] && f.from.size == 8) {
      // A constant size lets the copy compile to one move per row instead of a call.
      for (std::size_t r = 0; r < count; ++r, from += record, to += out_record) {
        std::memcpy(to, from, 8);
      }
    } else if (as_is[i]) {
      const std::size_t size = f.from.size;
      for (std::size_t r = 0; r < count; ++r, from += record, to += out_record) {
        std::memcpy(to, from, size);
      }
    } else {
      for (std::size_t r = 0; r < count; ++r, from += record, to += out_record) {
        convert(from, to, f);
      }
    }
  }
}

}  // namespace

// One Blosc chunk as stored, decompressed into `out` (exactly a chunk long). Blosc's own
// decompression trusts the lengths in the chunk's header, so they are validated against the
// stored bytes first.
void decode_blosc_chunk(const std::vector<std::byte>& stored, std::vector<std::byte>& out,
                        hsize_t first_row, const std::string& where) {
  std::size_t nbytes = 0;
  if (blosc_cbuffer_validate(stored.data(), stored.size(), &nbytes) < 0 || nbytes != out.size()) {
    throw_damage(where, fmt::format("the chunk at row {} has no valid Blosc header for {} bytes",
                                    first_row, out.size()));
  }
  const int decoded = blosc_decompress_ctx(stored.data(), out.data(), out.size(), 1);
  if (decoded < 0 || static_cast<std::size_t>(decoded) != out.size()) {
    throw_damage(where, fmt::format("the chunk at row {} does not decompress (Blosc: {})",
                                    first_row, decoded));
  }
}

std::optional<BloscChunks> blosc_chunks(hid_t dataset, std::size_t record,
                                        const std::string& where) {
  PropListId dcpl(check_id(H5Dget_create_plist(dataset), "reading dataset properties"));
  if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED || H5Pget_nfilters(dcpl.get()) != 1 ||
      H5Pget_filter2(dcpl.get(), 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr) !=
          kBloscFilterId ||
      !opened_read_only(dataset)) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
  const hsize_t rows = chunk_rows(dcpl.get(), where);
  if (record == 0 || rows > kMaxChunkBytes / record) {
    throw_damage(where, fmt::format("chunks of {} records of {} bytes", rows, record));
  }
  return BloscChunks{rows, record};
}

void verify_blosc_chunks(const Dataset& ds, const BloscChunks& storage, hsize_t rows,
                         DecodeScratch& scratch, const std::string& where) {
  scratch.rows.resize(static_cast<std::size_t>(storage.chunk_rows) * storage.record);
  const std::size_t max_stored = scratch.rows.size() + BLOSC_MAX_OVERHEAD;
  for (hsize_t first = 0; first < rows; first += storage.chunk_rows) {
    const unsigned mask = ds.read_chunk(first, max_stored, scratch.stored);
    // A chunk never written reads as the fill value.
    if (scratch.stored.empty()) continue;
    if ((mask & 1u) == 0) {
      decode_blosc_chunk(scratch.stored, scratch.rows, first, where);
    } else if (scratch.stored.size() != scratch.rows.size()) {
      throw_damage(where, fmt::format("an uncompressed chunk at row {} holds {} bytes, not {}",
                                      first, scratch.stored.size(), scratch.rows.size()));
    }
  }
}

bool chunked_with_deflate_alone(hid_t dcpl) {
  if (H5Pget_layout(dcpl) != H5D_CHUNKED || H5Pget_nfilters(dcpl) != 1) return false;
  unsigned flags = 0;
  std::size_t values = 0;
  const H5Z_filter_t filter =
      H5Pget_filter2(dcpl, 0, &flags, &values, nullptr, 0, nullptr, nullptr);
  return filter == H5Z_FILTER_DEFLATE;
}

std::optional<DeflateChunks> deflate_chunks(hid_t dataset, hid_t stored_type,
                                            const std::string& where) {
  PropListId dcpl(check_id(H5Dget_create_plist(dataset), "reading dataset properties"));
  if (!chunked_with_deflate_alone(dcpl.get())) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
  const std::size_t record = H5Tget_size(stored_type);
  const hsize_t rows = chunk_rows(dcpl.get(), where);
  if (record == 0 || rows > kMaxChunkBytes / record) {
    throw_damage(where, fmt::format("chunks of {} records of {} bytes", rows, record));
  }
  if (!fill_is_zero(dcpl.get(), stored_type, record) || !opened_read_only(dataset)) {
    return std::nullopt;
  }
  return DeflateChunks{rows, record};
}

std::optional<std::vector<FieldCopy>> field_copies(hid_t stored_type,
                                                   std::span<const Field> fields) {
  std::vector<FieldCopy> copies;
  const bool compound = H5Tget_class(stored_type) == H5T_COMPOUND;
  for (const Field& field : fields) {
    FieldCopy copy{.from = {}, .to = field.offset, .kind = field.kind};
    if (compound) {
      const std::string name(field.name);
      const int index = H5Tget_member_index(stored_type, name.c_str());
      if (index < 0) {
        H5Eclear2(H5E_DEFAULT);
        return std::nullopt;
      }
      const auto i = static_cast<unsigned>(index);
      DatatypeId member(check_id(H5Tget_member_type(stored_type, i), "reading a member's type"));
      copy.from = describe_number(member.get(), H5Tget_member_offset(stored_type, i));
    } else {
      copy.from = describe_number(stored_type, 0);
    }
    if (!converts_as_hdf5(copy.from, field.kind)) return std::nullopt;
    copies.push_back(copy);
  }
  return copies;
}

void read_deflate_chunks(const Dataset& ds, const DeflateChunks& storage,
                         std::span<const FieldCopy> fields, std::size_t out_record, hsize_t start,
                         hsize_t count, std::byte* out, const std::string& where) {
  const std::size_t record = storage.record;
  const std::size_t chunk_bytes = static_cast<std::size_t>(storage.chunk_rows) * record;
  std::vector<bool> as_is;
  for (const FieldCopy& f : fields) as_is.push_back(stored_as_is(f));
  std::vector<std::byte> stored;
  std::vector<std::byte> plain(chunk_bytes);
  DeflateDecoder decoder;
  const hsize_t end = start + count;
  for (hsize_t row = start; row < end;) {
    const hsize_t first = row - row % storage.chunk_rows;
    const hsize_t stop = std::min(end, first + storage.chunk_rows);
    const unsigned mask = ds.read_chunk(first, max_stored_size(chunk_bytes), stored);
    const std::byte* rows = plain.data();
    if (stored.empty()) {
      std::fill(plain.begin(), plain.end(), std::byte{0});
    } else if ((mask & 1u) != 0) {
      // The deflate filter was skipped for this chunk (it is optional): the bytes are the rows.
      if (stored.size() != chunk_bytes) {
        throw_damage(where, fmt::format("an uncompressed chunk at row {} holds {} bytes, not {}",
                                        first, stored.size(), chunk_bytes));
      }
      rows = stored.data();
    } else {
      try {
        decoder.decompress(stored, plain);
      } catch (const ValueError& e) {
        throw_damage(where, fmt::format("chunk at row {}: {}", first, e.what()));
      }
    }
    copy_rows(rows + (row - first) * record, record, fields, as_is,
              out + (row - start) * out_record, out_record, stop - row);
    row = stop;
  }
}

}  // namespace tessera_plus::h5

#include "tessera_plus/h5/dataset_checks_internal.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/chunk_reads_internal.h"
#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {
namespace {

// Only these types are ever written to a bundle file. Comparing against them (rather than
// accepting any integer or float class) also refuses types with odd precision, padding or bit
// offsets, which exercise the least tested conversion paths of the library. The types the bundle's
// records use come first: every member of every dataset read is compared until one matches, and
// a minute-bar record otherwise took a hundred comparisons.
bool is_standard_number(hid_t type) {
  static const hid_t* const kTypes[] = {
      &H5T_IEEE_F64LE_g, &H5T_STD_I64LE_g, &H5T_STD_I32LE_g,  &H5T_STD_U32LE_g,  &H5T_STD_U64LE_g,
      &H5T_STD_I8LE_g,   &H5T_STD_I8BE_g,  &H5T_STD_U8LE_g,   &H5T_STD_U8BE_g,   &H5T_STD_I16LE_g,
      &H5T_STD_I16BE_g,  &H5T_STD_U16LE_g, &H5T_STD_U16BE_g,  &H5T_STD_I32BE_g,  &H5T_STD_U32BE_g,
      &H5T_STD_I64BE_g,  &H5T_STD_U64BE_g, &H5T_IEEE_F32LE_g, &H5T_IEEE_F32BE_g, &H5T_IEEE_F64BE_g};
  for (const hid_t* standard : kTypes) {
    if (H5Tequal(type, *standard) > 0) return true;
  }
  H5Eclear2(H5E_DEFAULT);
  return false;
}

std::string member_name(hid_t type, unsigned i) {
  char* raw = H5Tget_member_name(type, i);
  if (raw == nullptr) return {};
  std::string name(raw);
  H5free_memory(raw);
  return name;
}

struct Span {
  std::size_t offset;
  std::size_t size;
};

void check_compound(hid_t type, const std::string& where) {
  const std::size_t record = H5Tget_size(type);
  if (record == 0 || record > kMaxRecordSize) {
    throw_damage(where, fmt::format("record size {} is out of range", record));
  }
  const int members = H5Tget_nmembers(type);
  if (members < 1 || members > kMaxMembers) {
    throw_damage(where, fmt::format("record has {} members", members));
  }
  std::set<std::string> names;
  std::vector<Span> spans;
  for (unsigned i = 0; i < static_cast<unsigned>(members); ++i) {
    const std::string name = member_name(type, i);
    if (name.empty() || !names.insert(name).second) {
      throw_damage(where, fmt::format("member {} has an empty or repeated name", i));
    }
    DatatypeId member(H5Tget_member_type(type, i));
    if (!member.valid() || !is_standard_number(member.get())) {
      throw_damage(where, fmt::format("member '{}' is not a plain number", name));
    }
    const std::size_t offset = H5Tget_member_offset(type, i);
    const std::size_t size = H5Tget_size(member.get());
    if (offset > record || size > record - offset) {
      throw_damage(where, fmt::format("member '{}' at offset {} runs past the {}-byte record", name,
                                      offset, record));
    }
    spans.push_back({offset, size});
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.offset < b.offset; });
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i - 1].offset + spans[i - 1].size > spans[i].offset) {
      throw_damage(where, "record members overlap");
    }
  }
}

hsize_t extent_of(hid_t dataset, const std::string& where) {
  DataspaceId space(H5Dget_space(dataset));
  if (!space.valid()) throw_error(("cannot read the shape of " + where).c_str());
  if (H5Sget_simple_extent_type(space.get()) != H5S_SIMPLE ||
      H5Sget_simple_extent_ndims(space.get()) != 1) {
    throw_damage(where, "not a one-dimensional array");
  }
  hsize_t dims = 0;
  check(H5Sget_simple_extent_dims(space.get(), &dims, nullptr), "reading a dataset's length");
  return dims;
}

// The end of the file's address space: no storage of any dataset lies beyond it, whatever a
// damaged layout or chunk index claims. Zero when HDF5 cannot say.
unsigned long long file_end(hid_t dataset) {
  const hid_t file = H5Iget_file_id(dataset);
  if (file < 0) return 0;
  hsize_t size = 0;
  haddr_t eoa = 0;
  if (H5Fget_filesize(file, &size) < 0) size = 0;
  if (H5Fget_eoa(file, &eoa) < 0 || eoa == HADDR_UNDEF) eoa = 0;
  H5Fclose(file);
  H5Eclear2(H5E_DEFAULT);
  return std::max<unsigned long long>(size, eoa);
}

// Bytes of rows that the allocated storage can account for.
unsigned long long storage_bound(hid_t dataset, hid_t dcpl, std::size_t record,
                                 const std::string& where) {
  unsigned long long stored = H5Dget_storage_size(dataset);
  // A contiguous layout's size and each chunk index entry's size are only numbers in the file;
  // the readers allocate by the extent this bound admits, so it must not exceed the file itself.
  if (const unsigned long long end = file_end(dataset); end != 0) stored = std::min(stored, end);
  const auto saturate = [](unsigned long long a, unsigned long long b) {
    return b != 0 && a > std::numeric_limits<unsigned long long>::max() / b
               ? std::numeric_limits<unsigned long long>::max()
               : a * b;
  };
  switch (H5Pget_layout(dcpl)) {
    case H5D_COMPACT:
    case H5D_CONTIGUOUS:
      return stored;
    case H5D_CHUNKED: {
      const hsize_t chunk = chunk_rows(dcpl, where);
      const unsigned long long expansion = H5Pget_nfilters(dcpl) > 0 ? kMaxFilterExpansion : 1;
      // One chunk of slack: the last chunk is allocated whole however few rows it holds. No writer
      // of bundle files makes a chunk beyond kMaxChunkBytes, and a damaged chunk shape must not
      // admit billions of rows through the slack alone.
      const unsigned long long slack =
          std::min<unsigned long long>(saturate(chunk, record), kMaxChunkBytes);
      return saturate(stored, expansion) + slack;
    }
    default:
      throw_damage(where, "storage layout that bundle files never use");
  }
}

// HDF5 copies an unfiltered chunk at the whole chunk's size whatever size the chunk index records
// for it, so a damaged entry would have it read past its own buffer. Such chunks (this program
// never writes them) must each be whole; one index lookup per chunk.
void check_whole_raw_chunks(hid_t dataset, hid_t dcpl, hsize_t rows, std::size_t record,
                            const std::string& where) {
  if (H5Pget_layout(dcpl) != H5D_CHUNKED || H5Pget_nfilters(dcpl) != 0) return;
  const hsize_t chunk = chunk_rows(dcpl, where);
  if (chunk > std::numeric_limits<hsize_t>::max() / record) {
    throw_damage(where, "a chunk larger than memory can address");
  }
  const hsize_t whole = chunk * record;
  for (hsize_t first = 0; first < rows; first += chunk) {
    const std::optional<StoredChunk> stored = allocated_chunk(dataset, first);
    if (stored && stored->size != whole) {
      throw_damage(where, fmt::format("an unfiltered chunk of {} bytes where {} belong",
                                      stored->size, whole));
    }
  }
}

}  // namespace

void throw_damage(const std::string& where, const std::string& what) {
  H5Eclear2(H5E_DEFAULT);
  throw OSError(0, fmt::format("{} is damaged: {}", where, what));
}

void check_stored_type(hid_t type, const std::string& where) {
  switch (H5Tget_class(type)) {
    case H5T_COMPOUND:
      check_compound(type, where);
      return;
    case H5T_INTEGER:
    case H5T_FLOAT:
      if (is_standard_number(type)) return;
      break;
    default:
      break;
  }
  throw_damage(where, "its values are neither plain numbers nor records of them");
}

void check_stored_field(hid_t type, const Field& field, const std::string& where) {
  const std::string name(field.name);
  const int index =
      H5Tget_class(type) == H5T_COMPOUND ? H5Tget_member_index(type, name.c_str()) : -1;
  if (index < 0) {
    H5Eclear2(H5E_DEFAULT);
    throw KeyError(fmt::format("{} has no field '{}'", where, name));
  }
  const H5T_class_t cls = H5Tget_member_class(type, static_cast<unsigned>(index));
  const bool ok = cls == H5T_INTEGER || (cls == H5T_FLOAT && field.kind == Kind::kFloat64);
  if (!ok) throw_damage(where, fmt::format("field '{}' has the wrong kind of number", name));
}

hsize_t checked_extent(hid_t dataset, std::size_t record, const std::string& where) {
  const hsize_t rows = extent_of(dataset, where);
  if (rows == 0) return 0;
  if (record == 0) throw_damage(where, "zero-sized values");
  PropListId dcpl(check_id(H5Dget_create_plist(dataset), "reading dataset properties"));
  const unsigned long long bound = storage_bound(dataset, dcpl.get(), record, where);
  if (rows > bound / record) {
    throw_damage(where, fmt::format("{} rows cannot fit in {} bytes of storage", rows,
                                    H5Dget_storage_size(dataset)));
  }
  check_whole_raw_chunks(dataset, dcpl.get(), rows, record, where);
  return rows;
}

hsize_t chunk_rows(hid_t dcpl, const std::string& where) {
  hsize_t chunk = 0;
  if (H5Pget_chunk(dcpl, 1, &chunk) != 1 || chunk == 0) {
    throw_damage(where, "chunked storage without a one-dimensional chunk shape");
  }
  return chunk;
}

std::optional<StoredChunk> allocated_chunk(hid_t dataset, hsize_t first_row) {
  // H5Dget_chunk_storage_size fails for a chunk never written, and enumerating chunks is
  // quadratic; a lookup by coordinate answers for one chunk either way.
  unsigned mask = 0;
  haddr_t address = HADDR_UNDEF;
  hsize_t size = 0;
  check(H5Dget_chunk_info_by_coord(dataset, &first_row, &mask, &address, &size),
        "finding a chunk in its file");
  if (address == HADDR_UNDEF) return std::nullopt;
  return StoredChunk{address, size};
}

}  // namespace tessera_plus::h5

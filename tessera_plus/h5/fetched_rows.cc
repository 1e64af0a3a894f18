#include "tessera_plus/h5/fetched_rows.h"

#include <blosc.h>

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/chunk_reads_internal.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/dataset_checks_internal.h"
#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {
namespace {

bool same_number(const StoredNumber& n, const Field& f) {
  if (n.big_endian || n.offset != f.offset || n.size != size_of(f.kind)) return false;
  if (f.kind == Kind::kFloat64) return n.is_float;
  return !n.is_float && n.is_signed == (f.kind != Kind::kUInt32);
}

// Whether the stored records are `layout`'s byte for byte, so that decoded chunks are the rows.
bool stores_exactly(hid_t stored, const RecordLayout& layout) {
  if (H5Tget_size(stored) != layout.size) return false;
  const std::optional<std::vector<FieldCopy>> copies = field_copies(stored, layout.fields);
  if (!copies) return false;
  for (std::size_t i = 0; i < copies->size(); ++i) {
    if (!same_number((*copies)[i].from, layout.fields[i])) return false;
  }
  return true;
}

}  // namespace

FetchedRows FetchedRows::fetch(const Dataset& ds, const RecordLayout& layout, Size start,
                               Size count) {
  const Size readable = ds.readable_length();
  if (start > readable || count > readable - start) {
    throw_damage(ds.description(),
                 fmt::format("rows {} to {} asked of {}", start, start + count, readable));
  }
  DatatypeId stored(check_id(H5Dget_type(ds.id()), "reading a dataset's type"));
  std::optional<DeflateChunks> chunks;
  Codec codec = Codec::kPlain;
  if (count > 0 && stores_exactly(stored.get(), layout)) {
    if ((chunks = deflate_chunks(ds.id(), stored.get(), ds.description()))) {
      codec = Codec::kDeflate;
    } else if ((chunks = blosc_chunks(ds.id(), layout.size, ds.description()))) {
      codec = Codec::kBlosc;
    }
  }
  if (codec == Codec::kPlain) {
    FetchedRows rows(codec, start, count, count, layout.size, ds.description());
    Piece piece{.first_row = start, .filter_mask = 0, .bytes = {}};
    piece.bytes.resize(count * layout.size);
    if (count > 0) ds.read(layout, start, count, piece.bytes.data());
    rows.pieces_.push_back(std::move(piece));
    return rows;
  }
  FetchedRows rows(codec, start, count, chunks->chunk_rows, layout.size, ds.description());
  const std::size_t chunk_bytes = chunks->chunk_rows * layout.size;
  const std::size_t max_stored =
      codec == Codec::kDeflate ? max_stored_size(chunk_bytes) : chunk_bytes + BLOSC_MAX_OVERHEAD;
  for (Size first = start - start % chunks->chunk_rows; first < start + count;
       first += chunks->chunk_rows) {
    Piece piece{.first_row = first, .filter_mask = 0, .bytes = {}};
    piece.filter_mask = ds.read_chunk(first, max_stored, piece.bytes);
    rows.pieces_.push_back(std::move(piece));
  }
  return rows;
}

Size FetchedRows::piece_first(std::size_t i) const {
  return std::max(pieces_[i].first_row, start_) - start_;
}

std::span<const std::byte> FetchedRows::decode(std::size_t i,
                                               std::vector<std::byte>& scratch) const {
  const Piece& piece = pieces_[i];
  const Size from = std::max(piece.first_row, start_);
  const Size to = std::min(piece.first_row + chunk_rows_, start_ + count_);
  const auto wanted = [&](const std::byte* rows) {
    return std::span<const std::byte>(rows + (from - piece.first_row) * record_,
                                      (to - from) * record_);
  };
  if (codec_ == Codec::kPlain) return wanted(piece.bytes.data());
  const std::size_t chunk_bytes = chunk_rows_ * record_;
  scratch.resize(chunk_bytes);
  if (piece.bytes.empty()) {
    // Never written: its rows read as the fill value, zeros (deflate_chunks and the writers of
    // Blosc datasets see to that).
    std::fill(scratch.begin(), scratch.end(), std::byte{0});
  } else if ((piece.filter_mask & 1u) != 0) {
    // The filter, optional, was skipped for this chunk: the bytes are the rows.
    if (piece.bytes.size() != chunk_bytes) {
      throw_damage(where_, fmt::format("an uncompressed chunk at row {} holds {} bytes, not {}",
                                       piece.first_row, piece.bytes.size(), chunk_bytes));
    }
    return wanted(piece.bytes.data());
  } else if (codec_ == Codec::kBlosc) {
    decode_blosc_chunk(piece.bytes, scratch, piece.first_row, where_);
  } else {
    try {
      DeflateDecoder().decompress(piece.bytes, scratch);
    } catch (const ValueError& e) {
      throw_damage(where_, fmt::format("chunk at row {}: {}", piece.first_row, e.what()));
    }
  }
  return wanted(scratch.data());
}

}  // namespace tessera_plus::h5

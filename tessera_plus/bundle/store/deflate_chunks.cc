#include "tessera_plus/bundle/store/deflate_chunks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/file_space.h"

namespace tessera_plus::bundle {
namespace {

// A partial chunk gets at least this much room beyond its stream (partial_chunk_room).
constexpr std::size_t kMinimumRoom = 1024;
// A full chunk is padded in place when that costs at most this much (HeldBackChunk).
constexpr std::size_t kMaximumPadding = 4096;
// Raw data this small comes from a block that HDF5 keeps for small pieces, wherever that lies;
// the end blocker is larger.
constexpr h5::Size kBlockerBytes = 4096;

// The longest zlib stream of `chunk_bytes` bytes: stored blocks of at most 65,535 bytes, 5 bytes
// of header each, and the 6 bytes of the zlib frame.
std::size_t worst_stream(std::size_t chunk_bytes) {
  return chunk_bytes + 5 * (chunk_bytes / 65535 + 1) + 6;
}

bool free_space_ends_at(const h5::Dataset& ds, h5::Size address) {
  for (const h5::FileSpan& span : h5::free_raw_spans(ds)) {
    if (span.end() == address) return true;
  }
  return false;
}

// The place `old` and the free space right before and after it: what HDF5 has free there once it
// frees `old`.
h5::FileSpan hole_around(const h5::Dataset& ds, const h5::FileSpan& old) {
  h5::FileSpan hole = old;
  for (const h5::FileSpan& span : h5::free_raw_spans(ds)) {
    if (span.end() == hole.address) hole = {span.address, hole.end() - span.address};
    if (span.address == hole.end()) hole.size += span.size;
  }
  return hole;
}

// Chunks a thread compresses per batch: enough to keep the threads' shares even and the cost of
// starting them small (a 20-year file is about 2,400 chunks), few enough that the batch's
// streams stay well under a megabyte.
constexpr std::size_t kChunksPerThread = 32;

// `carried` (the rows of a stored partial chunk) followed by `fresh` (the new records), cut into
// chunks of `chunk_bytes`.
struct RunBytes {
  std::span<const std::byte> carried;
  std::span<const std::byte> fresh;
  std::size_t chunk_bytes;

  std::size_t total() const { return carried.size() + fresh.size(); }
  std::size_t chunks() const { return (total() + chunk_bytes - 1) / chunk_bytes; }
  bool last_is_partial() const { return total() % chunk_bytes != 0; }

  // Every chunk but the first (when rows are carried) and the last (when it is partial) lies in
  // `fresh` whole and is compressed where it is.
  std::span<const std::byte> chunk(std::size_t k, std::vector<std::byte>& scratch) const {
    const std::size_t begin = k * chunk_bytes;
    const std::size_t end = begin + chunk_bytes;
    if (begin >= carried.size() && end <= total()) {
      return fresh.subspan(begin - carried.size(), chunk_bytes);
    }
    scratch.assign(chunk_bytes, std::byte{0});
    copy_part(carried, 0, begin, end, scratch);
    copy_part(fresh, carried.size(), begin, end, scratch);
    return scratch;
  }

  // Copies the part of `piece` (starting at `at` in the run) that falls into [begin, end).
  static void copy_part(std::span<const std::byte> piece, std::size_t at, std::size_t begin,
                        std::size_t end, std::vector<std::byte>& scratch) {
    const std::size_t from = std::max(at, begin);
    const std::size_t to = std::min(at + piece.size(), end);
    if (from < to)
      std::memcpy(scratch.data() + (from - begin), piece.data() + (from - at), to - from);
  }
};

}  // namespace

ChunkDeflater::ChunkDeflater(int level, int partial_level, unsigned threads)
    : partial_encoder_(partial_level) {
  if (threads == 0) throw ValueError("deflate needs at least one thread");
  for (unsigned t = 0; t < threads; ++t) encoders_.emplace_back(level);
  scratch_.resize(threads);
}

void ChunkDeflater::run(std::size_t count, bool last_is_partial, const ChunkSource& source,
                        const ChunkSink& sink) {
  partial_chunk_ = last_is_partial && count > 0 ? count - 1 : SIZE_MAX;
  const std::size_t batch = kChunksPerThread * encoders_.size();
  for (std::size_t first = 0; first < count; first += batch) {
    const std::size_t n = std::min(batch, count - first);
    compress_batch(first, n, source);
    for (std::size_t i = 0; i < n; ++i) sink(first + i, streams_[i]);
  }
}

void ChunkDeflater::compress_batch(std::size_t first, std::size_t count,
                                   const ChunkSource& source) {
  if (streams_.size() < count) streams_.resize(count);
  // The partial chunk, when it is in this batch, is the batch's last one.
  if (first + count - 1 == partial_chunk_) {
    --count;
    streams_[count].clear();
    std::vector<std::byte> scratch;
    partial_encoder_.compress(source(first + count, scratch), streams_[count]);
    if (count == 0) return;
  }
  std::atomic<std::size_t> next{0};
  auto work = [&](std::size_t t) {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) {
      streams_[i].clear();
      encoders_[t].compress(source(first + i, scratch_[t]), streams_[i]);
    }
  };
  const std::size_t threads = std::min(encoders_.size(), count);
  if (threads == 1) {
    work(0);
    return;
  }
  std::vector<std::exception_ptr> errors(threads);
  {
    std::vector<std::jthread> helpers;
    for (std::size_t t = 1; t < threads; ++t) {
      helpers.emplace_back([&, t] {
        try {
          work(t);
        } catch (...) {
          errors[t] = std::current_exception();
          next = count;
        }
      });
    }
    try {
      work(0);
    } catch (...) {
      errors[0] = std::current_exception();
      next = count;
    }
  }  // the helpers join here
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

std::size_t partial_chunk_room(std::size_t stream_bytes, std::size_t chunk_bytes,
                               std::size_t filled_bytes) {
  const std::size_t expected =
      filled_bytes == 0 ? chunk_bytes : stream_bytes * chunk_bytes / filled_bytes * 5 / 4;
  const std::size_t room = std::max(expected, stream_bytes + kMinimumRoom);
  return std::max(stream_bytes, std::min(room, worst_stream(chunk_bytes)));
}

void HeldBackChunk::write() {
  if (!ds_) return;
  h5::Dataset& ds = *ds_;
  ds_ = nullptr;
  const std::optional<h5::FileSpan> old = h5::chunk_span(ds, first_row_);
  std::optional<h5::EndBlocker> blocker;
  std::size_t size = stream_.size();
  if (old && size <= old->size) {
    // In place, unless the chunk is full and the padding would be waste that outlives the
    // session; then at its own size, where HDF5 can only put it at the old start or elsewhere,
    // unless free space right before the old place lets it start earlier and run over it.
    const bool compact = filled_bytes_ == chunk_bytes_ && old->size - size > kMaximumPadding &&
                         !free_space_ends_at(ds, old->address);
    if (!compact) size = old->size;
  } else if (old) {
    size = partial_chunk_room(size, chunk_bytes_, filled_bytes_);
    // Freed where it reaches the end of the file, the old place would be handed back whatever
    // the size (HDF5 gives the end back first); space held there first keeps it from reaching it.
    h5::Size largest = 0;
    for (const h5::FileSpan& span : h5::free_raw_spans(ds)) largest = std::max(largest, span.size);
    blocker.emplace(ds, std::max<h5::Size>(largest + 1, kBlockerBytes));
    const h5::FileSpan hole = hole_around(ds, *old);
    // A place too large to fit where the old one was, when deflate's worst case allows one;
    // otherwise the room wanted, and HDF5 decides.
    if (hole.size >= size && hole.size < worst_stream(chunk_bytes_)) size = hole.size + 1;
  }
  stream_.resize(std::max(size, stream_.size()), std::byte{0});
  ds.write_chunk(first_row_, stream_.data(), stream_.size());
  if (blocker) blocker->release();
}

void append_deflated(h5::Dataset& ds, const RecordRows& rows, ChunkDeflater& deflater) {
  append_deflated_holding_back(ds, rows, deflater).write();
}

HeldBackChunk append_deflated_holding_back(h5::Dataset& ds, const RecordRows& rows,
                                           ChunkDeflater& deflater) {
  const h5::RecordLayout& layout = *rows.layout;
  const void* records = rows.records;
  const std::size_t count = rows.count;
  if (count == 0) return {};
  const h5::Size old_length = ds.length();
  const h5::Size chunk_rows = ds.deflate_chunk_rows(layout);
  if (chunk_rows == 0) {
    ds.resize(old_length + count);
    ds.write(layout, old_length, count, records);
    return {};
  }
  // The stored chunk that the new rows start in is written again whole, with its old rows first.
  const h5::Size first_row = old_length - old_length % chunk_rows;
  std::vector<std::byte> carried((old_length - first_row) * layout.size);
  if (!carried.empty()) ds.read(layout, first_row, old_length - first_row, carried.data());
  ds.resize(old_length + count);
  const RunBytes run{carried,
                     {static_cast<const std::byte*>(records), count * layout.size},
                     chunk_rows * layout.size};
  HeldBackChunk rewrite;
  const std::size_t chunk_bytes = chunk_rows * layout.size;
  std::vector<std::byte> padded;
  deflater.run(
      run.chunks(), run.last_is_partial(),
      [&run](std::size_t k, std::vector<std::byte>& scratch) { return run.chunk(k, scratch); },
      [&](std::size_t k, std::span<const std::byte> stream) {
        const std::size_t filled = std::min(chunk_bytes, run.total() - k * chunk_bytes);
        if (k == 0 && !carried.empty()) {
          rewrite = HeldBackChunk(ds, first_row, chunk_bytes, filled, stream);
          return;
        }
        if (filled < chunk_bytes) {
          // A new partial chunk starts with room for the days to come (partial_chunk_room).
          padded.assign(stream.begin(), stream.end());
          padded.resize(partial_chunk_room(stream.size(), chunk_bytes, filled), std::byte{0});
          stream = padded;
        }
        ds.write_chunk(first_row + k * chunk_rows, stream.data(), stream.size());
      });
  return rewrite;
}

}  // namespace tessera_plus::bundle

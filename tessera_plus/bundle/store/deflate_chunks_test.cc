// Chunks deflated by the writers themselves: what other readers and writers see of them, the last
// partial chunk, files of other tools, and the thread pool.
#include "tessera_plus/bundle/store/deflate_chunks.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/bundle/store/minbar_file.h"
#include "tessera_plus/bundle/store/minbar_writer.h"
#include "tessera_plus/bundle/store/records.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tessera_plus/h5/file_space.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::bundle {
namespace {

using testing::run_python;
using testing::TempDir;

// Bar i of a deterministic series; the Python side of a test computes the same.
EquityBar bar(int i) {
  double p = 10 + (i % 97) * 0.01;
  return {20050104093100 + std::int64_t{i} * 100,
          p,
          p + 0.02,
          p - 0.01,
          p + 0.01,
          100.0 * (i % 13),
          1000.0 + i};
}

std::vector<EquityBar> bars(int first, int count) {
  std::vector<EquityBar> out;
  for (int i = first; i < first + count; ++i) out.push_back(bar(i));
  return out;
}

MinbarRecords records_of(const std::vector<EquityBar>& bars, int days) {
  MinbarRecords r{&EQUITIES_DTYPE, {}, bars.size(), {}};
  const auto* bytes = reinterpret_cast<const std::byte*>(bars.data());
  r.data.assign(bytes, bytes + bars.size() * sizeof(EquityBar));
  for (int d = 0; d < days; ++d) {
    r.index.push_back({20050104 + d, static_cast<std::uint32_t>(d * bars.size() / days)});
  }
  return r;
}

std::vector<EquityBar> read_all(const h5::Dataset& data) {
  std::vector<EquityBar> out(data.length());
  data.read(EQUITIES_DTYPE, 0, out.size(), out.data());
  return out;
}

bool same_bars(const std::vector<EquityBar>& a, const std::vector<EquityBar>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(EquityBar)) == 0;
}

// The stored streams of every chunk of `name`, in order.
std::vector<std::vector<std::byte>> stored_chunks(const std::string& path, const std::string& name,
                                                  h5::Size chunk) {
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  h5::Dataset ds = h5::Dataset::open(file, name);
  std::vector<std::vector<std::byte>> chunks;
  for (h5::Size row = 0; row < ds.length(); row += chunk) {
    chunks.emplace_back();
    ds.read_chunk(row, 1 << 24, chunks.back());
  }
  return chunks;
}

TEST(DeflatedChunks, FilesLookToH5pyLikeTheFilterPathsAndHoldTheSameValues) {
  TempDir dir;
  const std::string ours = dir / "ours.h5", filter = dir / "filter.h5";
  const MinbarRecords records = records_of(bars(0, 2 * MINBAR_DATA_CHUNK + 77), 7);
  create_minbar_file(ours, records);
  {
    h5::File file = h5::File::open(filter, h5::Mode::kCreate);
    h5::Dataset::create(file, "data", EQUITIES_DTYPE, records.data.data(), records.rows,
                        minbar_creation(MINBAR_DATA_CHUNK));
    h5::Dataset::create(file, "index", INDEX_DTYPE, records.index.data(), records.index.size(),
                        minbar_creation(MINBAR_INDEX_CHUNK));
    file.close();
  }
  EXPECT_EQ(run_python(R"(
import h5py, numpy, sys
ours, filt = h5py.File(sys.argv[1], 'r'), h5py.File(sys.argv[2], 'r')
rows, data_chunk, index_chunk = (int(a) for a in sys.argv[3:6])
for name, chunk in (('data', data_chunk), ('index', index_chunk)):
    a, b = ours[name], filt[name]
    assert a.dtype == b.dtype and a.dtype.isnative, (a.dtype, b.dtype)
    assert a.compression == 'gzip' and a.compression_opts == 9, name
    assert a.shuffle == b.shuffle == False and a.fletcher32 == False
    assert a.chunks == (chunk,) and a.maxshape == (None,) and a.shape == b.shape, name
    assert a[:].tobytes() == b[:].tobytes(), name
d = ours['data']
assert list(d.dtype.names) == ['datetime', 'open', 'high', 'low', 'close', 'volume',
                               'total_turnover']
last = rows - 1
assert d.shape == (rows,) and d['datetime'][last] == 20050104093100 + last * 100
assert abs(d['open'][last] - (10 + (last % 97) * 0.01)) < 1e-12
)",
                       fmt::format("{} {} {} {} {}", ours, filter, records.rows, MINBAR_DATA_CHUNK,
                                   MINBAR_INDEX_CHUNK)),
            0);
}

// Appends `count` bars from `first` on to `data` through a deflater, reopening the file each time
// as the writers do.
void append_bars(const std::string& path, int first, int count, unsigned threads = 1) {
  h5::File file = h5::File::open(path, h5::Mode::kAppend);
  h5::Dataset data = h5::Dataset::open(file, "data");
  ChunkDeflater deflater = minbar_deflater(threads);
  std::vector<EquityBar> more = bars(first, count);
  append_deflated(data, {&EQUITIES_DTYPE, more.data(), more.size()}, deflater);
  file.close();
}

// `stored` is `stream` followed by nothing but zeros (room for the chunk to grow in place), and no
// longer than deflate's worst case for a chunk of `rows` bars, which every reader accepts.
bool is_stream_then_zeros(const std::vector<std::byte>& stored,
                          const std::vector<std::byte>& stream, std::size_t rows) {
  const std::size_t bytes = rows * sizeof(EquityBar);
  if (stored.size() < stream.size() || stored.size() > bytes + bytes / 1024 + 64) return false;
  if (!std::equal(stream.begin(), stream.end(), stored.begin())) return false;
  return std::all_of(stored.begin() + static_cast<std::ptrdiff_t>(stream.size()), stored.end(),
                     [](std::byte b) { return b == std::byte{0}; });
}

TEST(DeflatedChunks, TheLastPartialChunkIsJoinedAndPaddedWithZeros) {
  constexpr int kChunk = 8;
  TempDir dir;
  const std::string path = dir / "f.h5";
  {
    h5::File file = h5::File::open(path, h5::Mode::kCreate);
    h5::Dataset::create(file, "data", EQUITIES_DTYPE, nullptr, 0, minbar_creation(kChunk));
    file.close();
  }
  append_bars(path, 0, 0);  // nothing to add: no chunk, no growth
  // Into an empty dataset, up to a boundary exactly, from a boundary into a partial chunk, within
  // that chunk, across the next boundary.
  int stored = 0;
  for (int count : {kChunk, 3, 2, 7, 1, 2 * kChunk + 5}) {
    append_bars(path, stored, count);
    stored += count;
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    h5::Dataset data = h5::Dataset::open(file, "data");
    ASSERT_TRUE(same_bars(read_all(data), bars(0, stored))) << "after " << stored;
    const h5::Size last = stored - (stored - 1) % kChunk - 1;
    EXPECT_EQ(data.chunk_storage_size(last + kChunk), 0u) << "nothing stored past the data";
    std::vector<std::byte> stream;
    ASSERT_EQ(data.read_chunk(last, 1 << 20, stream), 0u);
    std::vector<EquityBar> chunk(kChunk);
    DeflateDecoder().decompress(stream, std::as_writable_bytes(std::span(chunk)));
    std::vector<EquityBar> expected = bars(static_cast<int>(last), stored - static_cast<int>(last));
    expected.resize(kChunk, EquityBar{});
    EXPECT_TRUE(same_bars(chunk, expected)) << "the whole last chunk, padded, after " << stored;
    // Full chunks are kept small; only a partial one, compressed again by the next append, fast.
    const bool partial = stored % kChunk != 0;
    std::vector<std::byte> want;
    DeflateEncoder(partial ? MINBAR_PARTIAL_CHUNK_LEVEL : MINBAR_DEFLATE_LEVEL)
        .compress(std::as_bytes(std::span(chunk)), want);
    EXPECT_TRUE(is_stream_then_zeros(stream, want, kChunk))
        << "level of the last chunk after " << stored;
    if (last >= kChunk) {
      ASSERT_EQ(data.read_chunk(last - kChunk, 1 << 20, stream), 0u);
      std::vector<EquityBar> full = bars(static_cast<int>(last - kChunk), kChunk);
      want.clear();
      DeflateEncoder(MINBAR_DEFLATE_LEVEL).compress(std::as_bytes(std::span(full)), want);
      EXPECT_TRUE(is_stream_then_zeros(stream, want, kChunk))
          << "a chunk filled by an append is stored at the file's level";
    }
  }
}

TEST(DeflatedChunks, AFileExtendedInTurnByUsAndByH5pyStaysConsistent) {
  TempDir dir;
  const std::string path = dir / "f.h5";
  create_minbar_file(path, records_of(bars(0, 700), 3));
  const char* h5py_append = R"(
import h5py, numpy, sys
first, count = int(sys.argv[2]), int(sys.argv[3])
with h5py.File(sys.argv[1], 'a') as f:
    d = f['data']
    assert d.compression == 'gzip' and d.compression_opts == 9
    i = numpy.arange(first, first + count)
    rows = numpy.zeros(count, dtype=d.dtype)
    p = 10 + (i % 97) * 0.01
    rows['datetime'] = 20050104093100 + i * 100
    rows['open'], rows['high'], rows['low'], rows['close'] = p, p + 0.02, p - 0.01, p + 0.01
    rows['volume'], rows['total_turnover'] = 100.0 * (i % 13), 1000.0 + i
    d.resize((first + count,))
    d[first:] = rows
)";
  int stored = 700;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(run_python(h5py_append, path + " " + std::to_string(stored) + " 300"), 0);
    stored += 300;
    append_bars(path, stored, 250 + round);
    stored += 250 + round;
  }
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  EXPECT_TRUE(same_bars(read_all(h5::Dataset::open(file, "data")), bars(0, stored)));
  EXPECT_EQ(run_python(R"(
import h5py, numpy, sys
d = h5py.File(sys.argv[1], 'r')['data'][:]
i = numpy.arange(len(d))
assert len(d) == int(sys.argv[2])
assert (d['datetime'] == 20050104093100 + i * 100).all()
assert (d['total_turnover'] == 1000.0 + i).all()
)",
                       path + " " + std::to_string(stored)),
            0);
}

TEST(DeflatedChunks, DatasetsOfOtherLayoutsOrPipelinesGoThroughHdf5sFilters) {
  TempDir dir;
  const std::string path = dir / "foreign.h5";
  // Another member order, a big-endian copy of ours, shuffle before deflate, and ours.
  ASSERT_EQ(run_python(R"(
import h5py, numpy, sys
names = ['datetime', 'open', 'high', 'low', 'close', 'volume', 'total_turnover']
ours = numpy.dtype([(n, '<i8' if n == 'datetime' else '<f8') for n in names])
swapped = numpy.dtype([(n, ours[n].str) for n in names[1:] + names[:1]])
big = numpy.dtype([(n, '>i8' if n == 'datetime' else '>f8') for n in names])
with h5py.File(sys.argv[1], 'w') as f:
    for name, dt, shuffle in (('swapped', swapped, False), ('big', big, False),
                              ('shuffled', ours, True), ('ours', ours, False)):
        d = f.create_dataset(name, (5,), dtype=dt, maxshape=(None,), chunks=(8,),
                             compression='gzip', compression_opts=9, shuffle=shuffle)
        i = numpy.arange(5)
        d['datetime'] = 20050104093100 + i * 100
        d['open'] = 10 + (i % 97) * 0.01
        d['high'] = d['open'] + 0.02
)",
                       path),
            0);
  h5::File file = h5::File::open(path, h5::Mode::kAppend);
  for (const char* name : {"swapped", "big", "shuffled", "ours"}) {
    h5::Dataset ds = h5::Dataset::open(file, name);
    EXPECT_EQ(ds.deflate_chunk_rows(EQUITIES_DTYPE), std::string(name) == "ours" ? 8u : 0u) << name;
    ChunkDeflater deflater = minbar_deflater(2);
    std::vector<EquityBar> more = bars(5, 20);
    append_deflated(ds, {&EQUITIES_DTYPE, more.data(), more.size()}, deflater);
  }
  file.close();
  EXPECT_EQ(run_python(R"(
import h5py, numpy, sys
f = h5py.File(sys.argv[1], 'r')
for name in ('swapped', 'big', 'shuffled', 'ours'):
    d = f[name][:]
    i = numpy.arange(25)
    assert len(d) == 25, name
    assert (d['datetime'] == 20050104093100 + i * 100).all(), name
    assert (d['open'][5:] == 10 + (i[5:] % 97) * 0.01).all(), name
    assert (d['total_turnover'][5:] == 1000.0 + i[5:]).all(), name
)",
                       path),
            0);
}

TEST(DeflatedChunks, ARebuildOnTheThreadPoolStoresTheSameBytesAsOneThread) {
  TempDir dir;
  const MinbarRecords records = records_of(bars(0, 40 * MINBAR_DATA_CHUNK + 123), 160);
  std::vector<std::string> paths;
  for (unsigned threads : {1u, 3u}) {
    const std::string path = dir / ("t" + std::to_string(threads) + ".h5");
    {  // a file without `index`, as a build by other means that was interrupted leaves it
      h5::File file = h5::File::open(path, h5::Mode::kCreate);
      h5::Dataset::create(file, "data", EQUITIES_DTYPE, records.data.data(), 10,
                          minbar_creation(MINBAR_DATA_CHUNK));
      file.close();
    }
    update_minbar_file(path,
                       {.min_start_date = 20050104,
                        .fetch = [&](int) { return std::optional<MinbarRecords>(records); },
                        .next_trading_date = [](int date) { return date + 1; }},
                       WriteOptions{.deflate_threads = threads});
    paths.push_back(path);
  }
  EXPECT_EQ(std::filesystem::file_size(paths[0]), std::filesystem::file_size(paths[1]));
  EXPECT_EQ(stored_chunks(paths[0], "data", MINBAR_DATA_CHUNK),
            stored_chunks(paths[1], "data", MINBAR_DATA_CHUNK));
  EXPECT_EQ(stored_chunks(paths[0], "index", MINBAR_INDEX_CHUNK),
            stored_chunks(paths[1], "index", MINBAR_INDEX_CHUNK));
  h5::File file = h5::File::open(paths[1], h5::Mode::kReadOnly);
  EXPECT_TRUE(same_bars(read_all(h5::Dataset::open(file, "data")),
                        bars(0, static_cast<int>(records.rows))));
}

// Day `d` (from 20050101) of a stock: 240 bars at 09:31 to 11:30 and 13:01 to 15:00, its index
// entry pointing at `first_line`.
MinbarRecords trading_day(int d, std::uint32_t first_line) {
  const int date = 20050101 + d;
  std::vector<EquityBar> day;
  for (int m = 0; m < 240; ++m) {
    const int minute = m < 120 ? 9 * 60 + 31 + m : 13 * 60 + 1 + (m - 120);
    EquityBar b = bar(d * 240 + m);
    b.datetime = std::int64_t{date} * 1000000 + (minute / 60) * 10000 + (minute % 60) * 100;
    day.push_back(b);
  }
  MinbarRecords r = records_of(day, 1);
  r.index = {{date, first_line}};
  return r;
}

// Where every stored chunk of both datasets lies: {dataset, first row} -> span.
std::map<std::pair<std::string, h5::Size>, h5::FileSpan> chunk_places(const std::string& path) {
  std::map<std::pair<std::string, h5::Size>, h5::FileSpan> places;
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  for (const auto& [name, chunk] :
       {std::pair{"data", MINBAR_DATA_CHUNK}, std::pair{"index", MINBAR_INDEX_CHUNK}}) {
    const h5::Dataset ds = h5::Dataset::open(file, name);
    for (h5::Size row = 0; row < ds.length(); row += chunk) {
      if (auto span = h5::chunk_span(ds, row)) places[{name, row}] = *span;
    }
  }
  return places;
}

// A reader with file locking off that holds the file across an update reads each chunk where the
// old chunk index says, as many bytes as it says: nothing an update stores may overlap those
// bytes, except the same chunk rewritten at the same start within its old size (it inflates to the
// same old rows).
using ChunkPlaces = std::map<std::pair<std::string, h5::Size>, h5::FileSpan>;
void expect_nothing_over_old_chunks(const ChunkPlaces& before, const ChunkPlaces& after, int day) {
  for (const auto& [chunk, now] : after) {
    for (const auto& [old_chunk, old] : before) {
      const bool overlap = now.address < old.end() && old.address < now.end();
      const bool same_place =
          chunk == old_chunk && now.address == old.address && now.size <= old.size;
      EXPECT_TRUE(!overlap || same_place)
          << "day " << day << ": " << chunk.first << " chunk at row " << chunk.second << " ["
          << now.address << ", " << now.end() << ") over the old " << old_chunk.first
          << " chunk at row " << old_chunk.second << " [" << old.address << ", " << old.end()
          << ")";
    }
  }
}

// Day after day (the last chunk growing, filling, a new one starting), nothing lands on the old
// chunks.
TEST(DeflatedChunks, DailyAppendsStoreNothingOverTheBytesOfTheOldChunks) {
  TempDir dir;
  const std::string path = dir / "f.h5";
  create_minbar_file(path, trading_day(0, 0));
  std::uint32_t rows = 240;
  for (int d = 1; d < 28; ++d) {
    const auto before = chunk_places(path);
    const MinbarRecords day = trading_day(d, 0);
    update_minbar_file(path, {.min_start_date = 20050101,
                              .fetch = [&](int) { return std::optional<MinbarRecords>(day); },
                              .next_trading_date = [](int date) { return date + 1; }});
    rows += 240;
    expect_nothing_over_old_chunks(before, chunk_places(path), d);
  }
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  EXPECT_EQ(h5::Dataset::open(file, "data").length(), rows);
}

// Day `d` (from 20050101) of `count` bars, a second apart from 09:00:00, bar values from
// `first_bar` on.
MinbarRecords day_of(int d, int count, int first_bar) {
  const int date = 20050101 + d;
  std::vector<EquityBar> day = bars(first_bar, count);
  for (int i = 0; i < count; ++i) {
    day[i].datetime = std::int64_t{date} * 1000000 + 90000 + i / 60 * 100 + i % 60;
  }
  MinbarRecords r = records_of(day, 1);
  r.index = {{date, 0}};
  return r;
}

// Days of very different sizes (one bar, a stock's 240, a busy contract's 2000, and the sizes
// around a chunk's 1024 rows), so that the last chunk written again outgrows the room it was given
// while freed space lies next to it. After every append the file holds exactly the bars given, the
// old chunks are left alone, no chunk lies in another or in space the file counts as free (the next
// allocation would take it), and no chunk is stored larger than deflate's worst case for it.
TEST(DeflatedChunks, DaysOfVeryDifferentSizesKeepEveryChunkInItsOwnRoom) {
  TempDir dir;
  const std::string path = dir / "f.h5";
  const int sizes[] = {1,    240,  2000, 1, 1,   240, 2000, 2000, 17,  1023, 1024, 1025, 3,
                       2000, 1,    240,  1, 1,   1,   2000, 240,  240, 5,    1500, 1,    2000,
                       7,    1024, 2000, 1, 240, 900, 1,    2000, 2,   240,  2000, 1,    240};
  std::vector<EquityBar> expected;
  int moved_beside_free_space = 0;  // appends whose rewritten chunk left its place, space free
  for (int d = 0; d < static_cast<int>(std::size(sizes)); ++d) {
    SCOPED_TRACE(fmt::format("day {} of {} bars", d, sizes[d]));
    const MinbarRecords day = day_of(d, sizes[d], static_cast<int>(expected.size()));
    const auto* day_bars = reinterpret_cast<const EquityBar*>(day.data.data());
    expected.insert(expected.end(), day_bars, day_bars + day.rows);
    const ChunkPlaces before = d == 0 ? ChunkPlaces{} : chunk_places(path);
    if (d == 0) {
      create_minbar_file(path, day);
    } else {
      update_minbar_file(path, {.min_start_date = 20050101,
                                .fetch = [&](int) { return std::optional<MinbarRecords>(day); },
                                .next_trading_date = [](int date) { return date + 1; }});
    }
    const ChunkPlaces after = chunk_places(path);
    expect_nothing_over_old_chunks(before, after, d);
    h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
    const h5::Dataset data = h5::Dataset::open(file, "data");
    ASSERT_TRUE(same_bars(read_all(data), expected));
    const std::vector<h5::FileSpan> free = h5::free_raw_spans(data);
    for (const auto& [chunk, old] : before) {
      const auto now = after.find(chunk);
      moved_beside_free_space +=
          now != after.end() && now->second.address != old.address && !free.empty();
    }
    for (const auto& [chunk, span] : after) {
      const std::size_t chunk_bytes = chunk.first == "data"
                                          ? MINBAR_DATA_CHUNK * sizeof(EquityBar)
                                          : MINBAR_INDEX_CHUNK * sizeof(IndexEntry);
      EXPECT_LE(span.size, chunk_bytes + 5 * (chunk_bytes / 65535 + 1) + 6)
          << chunk.first << " chunk at row " << chunk.second;
      auto overlaps = [&](const h5::FileSpan& other) {
        return span.address < other.end() && other.address < span.end();
      };
      for (const auto& [other_chunk, other] : after) {
        EXPECT_TRUE(other_chunk == chunk || !overlaps(other))
            << chunk.first << " chunk at row " << chunk.second << " in " << other_chunk.first
            << " chunk at row " << other_chunk.second;
      }
      EXPECT_TRUE(std::none_of(free.begin(), free.end(), overlaps))
          << chunk.first << " chunk at row " << chunk.second << " lies in free space";
    }
  }
  EXPECT_GT(moved_beside_free_space, 0) << "the sizes no longer make a chunk outgrow its room";
  // h5py reads the same bars: bar i's turnover is 1000 + i.
  EXPECT_EQ(run_python("import sys, h5py, numpy\n"
                       "d = h5py.File(sys.argv[1], 'r')['data'][()]\n"
                       "assert len(d) == int(sys.argv[2]), len(d)\n"
                       "assert (d['total_turnover'] == 1000.0 + numpy.arange(len(d))).all()\n",
                       path + " " + std::to_string(expected.size())),
            0);
}

}  // namespace
}  // namespace tessera_plus::bundle

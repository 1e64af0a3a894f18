// Reads of a file opened read-only inflate its deflate chunks here, not in HDF5; a file opened for
// writing is read by HDF5 itself; rows fetched as stored are decoded on other threads. The same
// file read every way must give the same rows, whatever the writer, the member order, the byte
// order or the chunk's state.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/fetched_rows.h"
#include "tessera_plus/h5/file.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::h5 {
namespace {

using testing::run_python;
using testing::TempDir;

struct Bar {
  std::int64_t datetime;
  double close;
  std::int32_t volume;
  std::uint32_t flags;
};
constexpr std::array<Field, 4> kBarFields = {
    Field{"datetime", Kind::kInt64, 0}, Field{"close", Kind::kFloat64, 8},
    Field{"volume", Kind::kInt32, 16}, Field{"flags", Kind::kUInt32, 20}};
constexpr RecordLayout kBar{sizeof(Bar), kBarFields};

// The same members read into other types: widened, narrowed (clamped) and made floating.
struct Converted {
  std::int32_t datetime;
  std::int32_t flags;
  std::int64_t volume;
};
constexpr std::array<Field, 3> kConvertedFields = {Field{"datetime", Kind::kInt32, 0},
                                                   Field{"flags", Kind::kInt32, 4},
                                                   Field{"volume", Kind::kInt64, 8}};
constexpr RecordLayout kConverted{sizeof(Converted), kConvertedFields};

std::vector<Bar> some_bars(std::size_t n) {
  std::vector<Bar> bars;
  for (std::size_t i = 0; i < n; ++i) {
    const auto k = static_cast<std::int64_t>(i);
    bars.push_back({20240102093100 + k * 100, 10.0 + static_cast<double>(k) * 0.01,
                    static_cast<std::int32_t>(k % 7 == 0 ? -k : k * 1000),
                    k % 5 == 0 ? 0xFFFFFFF0u : static_cast<std::uint32_t>(k)});
  }
  return bars;
}

// Reads rows [start, start + count) of `name` in `layout`, from the file opened read-only (our
// inflate) or for appending (HDF5's pipeline).
template <typename T>
std::vector<T> read_as(const std::string& path, Mode mode, const RecordLayout& layout, Size start,
                       Size count, const char* name = "data") {
  File file = File::open(path, mode);
  std::vector<T> rows(count);
  Dataset::open(file, name).read(layout, start, count, rows.data());
  return rows;
}

template <typename T>
std::vector<T> column_as(const std::string& path, Mode mode, const Field& field, Size start,
                         Size count, const char* name = "data") {
  File file = File::open(path, mode);
  return Dataset::open(file, name).read_field<T>(field, start, count);
}

template <typename T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// Rows fetched as stored and decoded on two threads at once, without the library, piece by piece.
std::vector<Bar> fetched(const std::string& path, Size start, Size count) {
  File file = File::open(path, Mode::kReadOnly);
  const FetchedRows rows = FetchedRows::fetch(Dataset::open(file, "data"), kBar, start, count);
  std::vector<Bar> out(rows.rows());
  const auto decode_every_other = [&](std::size_t from) {
    std::vector<std::byte> scratch;
    for (std::size_t i = from; i < rows.pieces(); i += 2) {
      const std::span<const std::byte> bytes = rows.decode(i, scratch);
      std::memcpy(out.data() + rows.piece_first(i), bytes.data(), bytes.size());
    }
  };
  std::thread other(decode_every_other, 1);
  decode_every_other(0);
  other.join();
  return out;
}

void expect_both_paths_agree(const std::string& path, Size rows) {
  const std::vector<std::pair<Size, Size>> ranges = {{0, rows},         {0, 1},        {63, 2},
                                                     {100, rows - 100}, {rows - 1, 1}, {70, 10}};
  for (auto [start, count] : ranges) {
    SCOPED_TRACE(::testing::Message() << "rows " << start << " + " << count);
    EXPECT_TRUE(same_bytes(read_as<Bar>(path, Mode::kReadOnly, kBar, start, count),
                           read_as<Bar>(path, Mode::kAppend, kBar, start, count)));
    EXPECT_TRUE(same_bytes(fetched(path, start, count),
                           read_as<Bar>(path, Mode::kAppend, kBar, start, count)));
    EXPECT_TRUE(same_bytes(read_as<Converted>(path, Mode::kReadOnly, kConverted, start, count),
                           read_as<Converted>(path, Mode::kAppend, kConverted, start, count)));
    for (const Field& field : kBarFields) {
      EXPECT_EQ(
          column_as<double>(path, Mode::kReadOnly, {field.name, Kind::kFloat64, 0}, start, count),
          column_as<double>(path, Mode::kAppend, {field.name, Kind::kFloat64, 0}, start, count));
    }
  }
}

std::vector<std::byte> bytes_of(const Bar* bars, std::size_t n) {
  const auto* p = reinterpret_cast<const std::byte*>(bars);
  return {p, p + n * sizeof(Bar)};
}

// A growable dataset "data" of deflated 64-row chunks, `rows` long, none of them written yet: the
// test writes its chunks itself.
Dataset unwritten_chunks(File& file, Size rows) {
  Dataset data = Dataset::create(file, "data", kBar, nullptr, 0,
                                 {.chunk = 64, .growable = true, .deflate = 9});
  data.resize(rows);
  return data;
}

// One chunk's worth of `bars` (64 from `first`) as a deflate stream at `level`.
std::vector<std::byte> deflated_chunk(const Bar* first, int level) {
  std::vector<std::byte> stream;
  DeflateEncoder(level).compress(bytes_of(first, 64), stream);
  return stream;
}

TEST(ChunkReads, OurWritesReadTheSameBothWays) {
  TempDir dir;
  const std::string path = dir / "bars.h5";
  const std::vector<Bar> bars = some_bars(1300);  // the last chunk partial
  {
    File file = File::open(path, Mode::kAppend);
    Dataset::create(file, "data", kBar, bars.data(), bars.size(),
                    {.chunk = 64, .growable = true, .deflate = 9});
    file.close();
  }
  expect_both_paths_agree(path, 1300);
  const auto back = read_as<Bar>(path, Mode::kReadOnly, kBar, 0, 1300);
  EXPECT_TRUE(same_bytes(back, bars));
  const auto narrowed = read_as<Converted>(path, Mode::kReadOnly, kConverted, 5, 1);
  EXPECT_EQ(narrowed[0].datetime, INT32_MAX);  // clamped as HDF5 clamps
  EXPECT_EQ(narrowed[0].flags, INT32_MAX);
}

// Chunks written past the pipeline: one never written (fill value), one stored raw because the
// optional deflate filter was skipped, and a partial last chunk.
TEST(ChunkReads, UnwrittenAndFilterSkippedChunks) {
  TempDir dir;
  const std::string path = dir / "raw.h5";
  std::vector<Bar> bars = some_bars(256);
  {
    File file = File::open(path, Mode::kAppend);
    Dataset data = unwritten_chunks(file, 230);
    for (std::size_t first : {0, 192}) {
      const std::vector<std::byte> stream = deflated_chunk(bars.data() + first, 6);
      data.write_chunk(first, stream.data(), stream.size());
    }
    const std::vector<std::byte> raw = bytes_of(bars.data() + 64, 64);
    data.write_chunk(64, raw.data(), raw.size(), 1);
    file.close();
  }
  expect_both_paths_agree(path, 230);
  const auto back = read_as<Bar>(path, Mode::kReadOnly, kBar, 0, 230);
  EXPECT_TRUE(same_bytes(std::vector<Bar>(back.begin(), back.begin() + 128),
                         std::vector<Bar>(bars.begin(), bars.begin() + 128)));
  EXPECT_EQ(back[128].datetime, 0);
  EXPECT_EQ(back[191].close, 0.0);
  EXPECT_EQ(back[229].datetime, bars[229].datetime);
}

// h5py's own files: members in another order, big-endian and narrower types, filters that only
// HDF5 applies (shuffle), and a non-zero fill value.
TEST(ChunkReads, H5pyFilesReadTheSameBothWays) {
  TempDir dir;
  const std::string path = dir / "foreign.h5";
  ASSERT_EQ(run_python("import h5py, numpy as np, sys\n"
                       "dt = np.dtype([('flags', '>u4'), ('pad', 'u1'), ('close', '>f4'),\n"
                       "               ('volume', '<i2'), ('datetime', '>i8')])\n"
                       "n = 250\n"
                       "a = np.zeros(n, dt)\n"
                       "a['datetime'] = 20240102093100 + np.arange(n) * 100\n"
                       "a['close'] = 10 + np.arange(n) * 0.25\n"
                       "a['volume'] = np.arange(n) * 37 - 4000\n"
                       "a['flags'] = np.where(np.arange(n) % 3 == 0, 4294967000, np.arange(n))\n"
                       "with h5py.File(sys.argv[1], 'w') as f:\n"
                       "    f.create_dataset('data', data=a, chunks=(64,), compression='gzip')\n"
                       "    f.create_dataset('shuffled', data=a, chunks=(64,), shuffle=True,\n"
                       "                     compression='gzip')\n"
                       "    f.create_dataset('days', data=np.arange(n, dtype='>i4') - 5,\n"
                       "                     chunks=(64,), compression='gzip')\n"
                       "    d = f.create_dataset('filled', (n,), dtype='<i8', chunks=(64,),\n"
                       "                         compression='gzip', fillvalue=7)\n"
                       "    d[:10] = 1\n",
                       path),
            0);
  expect_both_paths_agree(path, 250);
  for (const char* name : {"data", "shuffled"}) {
    const auto back = read_as<Bar>(path, Mode::kReadOnly, kBar, 0, 250, name);
    EXPECT_EQ(back[249].datetime, 20240102093100 + 249 * 100);
    EXPECT_EQ(back[3].close, 10.75);
    EXPECT_EQ(back[0].volume, -4000);
    EXPECT_EQ(back[3].flags, 4294967000u);
  }
  File file = File::open(path, Mode::kReadOnly);
  const std::vector<std::int64_t> days = Dataset::open(file, "days").read_integers();
  ASSERT_EQ(days.size(), 250u);
  EXPECT_EQ(days.front(), -5);
  EXPECT_EQ(days.back(), 244);
  const std::vector<std::int64_t> filled = Dataset::open(file, "filled").read_integers();
  EXPECT_EQ(filled[9], 1);
  EXPECT_EQ(filled[10], 7);
  EXPECT_EQ(filled[249], 7);
}

// Rows that do not compress (random bits) give a stream a little longer than the chunk: deflate's
// stored blocks, which a reader must take, not refuse as damage.
TEST(ChunkReads, IncompressibleChunksReadBack) {
  TempDir dir;
  const std::string path = dir / "noise.h5";
  std::vector<Bar> bars(64);
  std::mt19937_64 bits(11);
  for (Bar& bar : bars) {
    bar.datetime = static_cast<std::int64_t>(bits());
    const std::uint64_t close = bits();
    std::memcpy(&bar.close, &close, sizeof close);
    bar.volume = static_cast<std::int32_t>(bits());
    bar.flags = static_cast<std::uint32_t>(bits());
  }
  {
    File file = File::open(path, Mode::kAppend);
    Dataset data = unwritten_chunks(file, 64);
    const std::vector<std::byte> stream = deflated_chunk(bars.data(), 9);
    ASSERT_GT(stream.size(), 64 * sizeof(Bar));
    data.write_chunk(0, stream.data(), stream.size());
    file.close();
  }
  EXPECT_TRUE(same_bytes(read_as<Bar>(path, Mode::kReadOnly, kBar, 0, 64), bars));
  EXPECT_TRUE(same_bytes(read_as<Bar>(path, Mode::kAppend, kBar, 0, 64), bars));
}

// A damaged chunk is the file's damage, named with the file, never a crash or a huge allocation.
TEST(ChunkReads, DamagedChunksAreTheFilesDamage) {
  TempDir dir;
  const std::string path = dir / "damaged.h5";
  const std::vector<Bar> bars = some_bars(256);
  {
    File file = File::open(path, Mode::kAppend);
    Dataset data = unwritten_chunks(file, 256);
    std::vector<std::byte> stream = deflated_chunk(bars.data(), 9);
    stream[stream.size() / 2] ^= std::byte{0x5a};  // a bad stream or a bad checksum
    data.write_chunk(0, stream.data(), stream.size());
    const std::vector<std::byte> oversized(64 * sizeof(Bar) * 3, std::byte{1});
    data.write_chunk(64, oversized.data(), oversized.size());
    const std::vector<std::byte> short_raw = bytes_of(bars.data(), 10);
    data.write_chunk(128, short_raw.data(), short_raw.size(), 1);
    file.close();
  }
  File file = File::open(path, Mode::kReadOnly);
  const Dataset data = Dataset::open(file, "data");
  for (Size first : {0, 64, 128}) {
    SCOPED_TRACE(first);
    std::vector<Bar> rows(10);
    try {
      data.read(kBar, first, 10, rows.data());
      ADD_FAILURE() << "read a damaged chunk";
    } catch (const OSError& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(data.read_field<std::int64_t>(kBarFields[0], 192, 2)[1], 0);  // never written
}

}  // namespace
}  // namespace tessera_plus::h5

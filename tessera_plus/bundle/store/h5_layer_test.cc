// The HDF5 layer against real files: record layouts as other readers see them, Blosc in both
// directions, and each error kind produced for real.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tessera_plus/base/deflate.h"
#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/store/constants.h"
#include "tessera_plus/bundle/store/tick_layout.h"
#include "tessera_plus/bundle/store/tick_writer.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"
#include "tests/support/check_fixtures.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus {
namespace {

using bundle::DerivativeBar;
using bundle::EquityBar;
using bundle::IndexEntry;
using testing::run_python;
using testing::TempDir;

h5::Creation minute_bar_creation() { return {.chunk = 64, .growable = true, .deflate = 9}; }

std::vector<EquityBar> some_equity_bars(int n) {
  std::vector<EquityBar> bars;
  for (int i = 0; i < n; ++i) {
    double p = 10 + i * 0.01;
    bars.push_back(
        {20050104093100 + i * 100, p, p + 0.02, p - 0.01, p + 0.01, 1000.0 + i, (1000.0 + i) * p});
  }
  return bars;
}

// Chunks compressed outside HDF5 and written past its pipeline are what its deflate filter reads,
// and what h5py reads: the stored bytes come back unchanged, unwritten chunks have no storage.
TEST(RawChunks, DeflateChunksWrittenDirectlyReadBackThroughThePipeline) {
  TempDir dir;
  std::string path = dir / "raw.h5";
  auto bars = some_equity_bars(64 + 10);
  bars.resize(128);  // the last chunk padded with zero rows to its full length
  const std::size_t chunk_bytes = 64 * sizeof(EquityBar);
  std::vector<std::byte> first, second;
  DeflateEncoder encoder(9);
  encoder.compress({reinterpret_cast<const std::byte*>(bars.data()), chunk_bytes}, first);
  encoder.compress({reinterpret_cast<const std::byte*>(bars.data() + 64), chunk_bytes}, second);
  {
    h5::File file = h5::File::open(path, h5::Mode::kAppend);
    h5::Dataset data = h5::Dataset::create(file, "data", bundle::EQUITIES_DTYPE, nullptr, 0,
                                           minute_bar_creation());
    data.resize(74);
    data.write_chunk(0, first.data(), first.size());
    EXPECT_EQ(data.chunk_storage_size(64), 0u);
    data.write_chunk(64, second.data(), second.size());
    file.close();
  }
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  h5::Dataset data = h5::Dataset::open(file, "data");
  std::vector<EquityBar> back(74);
  data.read(bundle::EQUITIES_DTYPE, 0, 74, back.data());
  EXPECT_EQ(std::memcmp(back.data(), bars.data(), 74 * sizeof(EquityBar)), 0);
  std::vector<std::byte> stored;
  EXPECT_EQ(data.read_chunk(64, 1 << 20, stored), 0u);
  EXPECT_EQ(stored, second);
  EXPECT_THROW(data.read_chunk(64, second.size() - 1, stored), OSError);
  EXPECT_EQ(run_python("import h5py, sys\n"
                       "d = h5py.File(sys.argv[1], 'r')['data']\n"
                       "assert d.compression == 'gzip' and d.compression_opts == 9\n"
                       "assert d.shape == (74,) and d.chunks == (64,)\n"
                       "assert abs(d['close'][73] - (10 + 73 * 0.01 + 0.01)) < 1e-12\n",
                       {path}),
            0);
}

TEST(RecordLayout, MinuteBarFileRoundTripsAndLooksRightToH5py) {
  TempDir dir;
  std::string path = dir / "000001.XSHE.h5";
  auto bars = some_equity_bars(100);
  std::vector<DerivativeBar> dbars = {{20200102210100, 1, 2, 0.5, 1.5, 42, 7, 8}};
  std::vector<IndexEntry> index = {{20050104, 0}};
  {
    h5::File file = h5::File::open(path, h5::Mode::kAppend);
    h5::Dataset::create(file, "data", bundle::EQUITIES_DTYPE, bars.data(), bars.size(),
                        minute_bar_creation());
    h5::Dataset::create(file, "index", bundle::INDEX_DTYPE, index.data(), index.size(),
                        minute_bar_creation());
    h5::Dataset::create(file, "deriv", bundle::DERIVATIVES_DTYPE, dbars.data(), dbars.size(),
                        minute_bar_creation());
    file.close();
  }
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  h5::Dataset data = h5::Dataset::open(file, "data");
  ASSERT_EQ(data.length(), 100u);
  std::vector<EquityBar> back(100);
  data.read(bundle::EQUITIES_DTYPE, 0, 100, back.data());
  EXPECT_EQ(std::memcmp(back.data(), bars.data(), sizeof(EquityBar) * 100), 0);
  auto closes = data.read_field<double>(*bundle::EQUITIES_DTYPE.find("close"), 10, 2);
  EXPECT_DOUBLE_EQ(closes[1], bars[11].close);

  std::string out;
  int status = run_python(R"(
import sys, h5py
f = h5py.File(sys.argv[1], 'r')
for name in ('data', 'index', 'deriv'):
    d = f[name]
    fields = ','.join('%s@%d:%s' % (n, d.dtype.fields[n][1], d.dtype.fields[n][0].str)
                      for n in d.dtype.names)
    print(name, d.dtype.itemsize, fields, d.compression, d.compression_opts, d.shuffle,
          d.chunks is not None, d.maxshape)
print(f['deriv'][0]['open_interest'], f['data'][99]['datetime'])
)",
                          path, &out);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("data 56 datetime@0:<i8,open@8:<f8,high@16:<f8,low@24:<f8,close@32:<f8,"
                     "volume@40:<f8,total_turnover@48:<f8 gzip 9 False True (None,)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("index 8 date@0:<i4,line_no@4:<u4 gzip 9 False True (None,)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("deriv 64 datetime@0:<i8,open@8:<f8,high@16:<f8,low@24:<f8,close@32:<f8,"
                     "open_interest@40:<i8,volume@48:<f8,total_turnover@56:<f8"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("42 20050104103000"), std::string::npos) << out;
}

TEST(RecordLayout, GrowsInPlace) {
  TempDir dir;
  std::string path = dir / "x.h5";
  auto bars = some_equity_bars(10);
  h5::File file = h5::File::open(path, h5::Mode::kAppend);
  h5::Dataset data = h5::Dataset::create(file, "data", bundle::EQUITIES_DTYPE, bars.data(), 5,
                                         minute_bar_creation());
  data.resize(10);
  data.write(bundle::EQUITIES_DTYPE, 5, 5, bars.data() + 5);
  data.resize(7);
  std::vector<EquityBar> back(7);
  data.read(bundle::EQUITIES_DTYPE, 0, 7, back.data());
  EXPECT_EQ(data.length(), 7u);
  EXPECT_EQ(back[6].datetime, bars[6].datetime);
  // Rows the dataset gains by a resize alone are readable at once, as the fill value: the row
  // count read before the resize no longer holds.
  data.resize(12);
  back.resize(12);
  data.read(bundle::EQUITIES_DTYPE, 0, 12, back.data());
  EXPECT_EQ(back[6].datetime, bars[6].datetime);
  EXPECT_EQ(back[11].datetime, 0);
}

std::vector<bundle::TickRecord> some_ticks(int n) {
  std::vector<bundle::TickRecord> ticks(n);
  for (int i = 0; i < n; ++i) {
    ticks[i] = {};
    ticks[i].date = 20240628;
    ticks[i].time = 93003000 + i * 3000;
    ticks[i].last = 102300 + i;
    ticks[i].b5_v = i;
    ticks[i].total_turnover = 1.5 * i;
  }
  return ticks;
}

TEST(Blosc, OurLz4DatasetReadsInH5pyThroughDebiansPlugin) {
  TempDir dir;
  std::string path = dir / "ticks.h5";
  auto ticks = some_ticks(500);
  {
    h5::File file = h5::File::open(path, h5::Mode::kAppend);
    h5::Creation how = bundle::COMPRESSION_KWARGS;
    how.chunk = 500;
    h5::Dataset::create(file, "20240628", bundle::H5TicksLoader::DTYPES, ticks.data(), ticks.size(),
                        how);
    file.close();
  }
  std::string out;
  int status = run_python(R"(
import sys, h5py
d = h5py.File(sys.argv[1], 'r')['20240628']
print(list(d._filters.keys()), d.dtype.itemsize, int(d[499]['last']), int(d[499]['b5_v']),
      float(d[2]['total_turnover']))
)",
                          path, &out);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(out, "['32001'] 248 102799 499 3.0\n");
}

// Tick chunks compressed here and written past the pipeline are the very bytes that the Blosc
// filter stores for the same records: a full chunk, a last partial chunk (zero-padded as HDF5
// pads it) and a chunk that Blosc cannot shrink (stored raw, the filter marked skipped). Both
// files read back the same through h5py and through our reader.
TEST(Blosc, ChunksCompressedHereAreTheFiltersBytes) {
  TempDir dir;
  std::string by_filter = dir / "filter.h5", by_us = dir / "direct.h5";
  const auto& dtypes = bundle::H5TicksLoader::DTYPES;
  auto ticks = some_ticks(9000);
  std::vector<bundle::TickRecord> noise(300);
  std::uint64_t x = 88172645463325252u;
  for (auto& record : noise) {
    auto* bytes = reinterpret_cast<std::uint64_t*>(&record);
    for (std::size_t i = 0; i < sizeof record / 8; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      bytes[i] = x;
    }
  }
  auto as_bytes = [](const auto& v) {
    const auto* p = reinterpret_cast<const std::byte*>(v.data());
    return std::vector<std::byte>(p, p + v.size() * sizeof v[0]);
  };
  {
    h5::File a = h5::File::open(by_filter, h5::Mode::kAppend);
    h5::File b = h5::File::open(by_us, h5::Mode::kAppend);
    h5::Creation how = bundle::COMPRESSION_KWARGS;
    how.chunk = 8192;
    h5::Dataset::create(a, "20240628", dtypes, ticks.data(), ticks.size(), how);
    std::vector<std::byte> scratch;  // one for both days, as the writer keeps it
    bundle::replace_tick_day(b, "20240628", as_bytes(ticks), scratch);
    how.chunk = noise.size();
    h5::Dataset::create(a, "noise", dtypes, noise.data(), noise.size(), how);
    bundle::replace_tick_day(b, "noise", as_bytes(noise), scratch);
    a.close();
    b.close();
  }
  h5::File a = h5::File::open(by_filter, h5::Mode::kReadOnly);
  h5::File b = h5::File::open(by_us, h5::Mode::kReadOnly);
  for (auto [name, first_row, skipped] :
       {std::tuple{"20240628", 0, 0u}, std::tuple{"20240628", 8192, 0u},
        std::tuple{"noise", 0, 1u}}) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(first_row));
    std::vector<std::byte> expected, stored;
    EXPECT_EQ(h5::Dataset::open(a, name).read_chunk(first_row, 1 << 22, expected), skipped);
    EXPECT_EQ(h5::Dataset::open(b, name).read_chunk(first_row, 1 << 22, stored), skipped);
    EXPECT_EQ(stored, expected);
  }
  std::vector<bundle::TickRecord> back(ticks.size());
  h5::Dataset::open(b, "20240628").read(dtypes, 0, back.size(), back.data());
  EXPECT_EQ(as_bytes(back), as_bytes(ticks));
  std::string out;
  int status = run_python(R"(
import sys, h5py, numpy
a, b = h5py.File(sys.argv[1], 'r'), h5py.File(sys.argv[2], 'r')
for name in ('20240628', 'noise'):
    assert list(b[name]._filters.keys()) == ['32001'], name
    assert b[name].chunks == a[name].chunks and b[name].shape == a[name].shape, name
    assert numpy.array_equal(a[name][()], b[name][()]), name
print(int(b['20240628'][8999]['last']))
)",
                          by_filter + " " + by_us, &out);
  ASSERT_EQ(status, 0) << out;
  EXPECT_EQ(out, std::to_string(ticks[8999].last) + "\n");
}

TEST(Blosc, H5pyWrittenLz4DatasetReadsHere) {
  TempDir dir;
  std::string path = dir / "py.h5";
  std::string out;
  int status = run_python(R"(
import sys, h5py, numpy
a = numpy.zeros(1000, dtype=[('date', '<i4'), ('line_no', '<u4')])
a['date'] = numpy.arange(1000) + 20000000
a['line_no'] = numpy.arange(1000) * 3
with h5py.File(sys.argv[1], 'w') as f:
    f.create_dataset('x', data=a, chunks=(100,), compression=32001,
                     compression_opts=(0, 0, 0, 0, 9, 1, 1))
)",
                          path, &out);
  ASSERT_EQ(status, 0) << out;
  h5::File file = h5::File::open(path, h5::Mode::kReadOnly);
  h5::Dataset x = h5::Dataset::open(file, "x");
  std::vector<IndexEntry> back(1000);
  x.read(bundle::INDEX_DTYPE, 0, 1000, back.data());
  EXPECT_EQ(back[999].date, 20000999);
  EXPECT_EQ(back[999].line_no, 2997u);
}

TEST(ErrorKinds, FileHeldReadWriteElsewhereIsBlocking) {
  TempDir dir;
  std::string path = dir / "held.h5";
  h5::File::open(path, h5::Mode::kAppend).close();
  {
    testing::FileHolder holder(path);
    try {
      h5::File::open(path, h5::Mode::kReadOnly);
      ADD_FAILURE() << "opened a file locked elsewhere";
    } catch (const BlockingIOError& e) {
      EXPECT_EQ(e.error_number(), 11);
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
    EXPECT_THROW(h5::File::open(path, h5::Mode::kAppend), BlockingIOError);
  }
  EXPECT_NO_THROW(h5::File::open(path, h5::Mode::kReadOnly));
}

TEST(ErrorKinds, UnreadableFileIsPermissionDenied) {
  TempDir dir;
  std::string path = dir / "secret.h5";
  h5::File::open(path, h5::Mode::kAppend).close();
  ::chmod(path.c_str(), 0);
  ::chmod(dir.path().c_str(), 0755);
  // Root ignores file modes, so the reader runs as nobody.
  int status = testing::exit_code_in_child([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 3;
    try {
      h5::File::open(path, h5::Mode::kReadOnly);
    } catch (const PermissionError& e) {
      return e.error_number() == 13 ? 0 : 4;
    } catch (...) {
      return 2;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
}

TEST(ErrorKinds, NotAnHdf5FileIsAPlainOsError) {
  TempDir dir;
  std::string path = dir / "x.h5";
  std::ofstream(path) << "just text, not HDF5\n";
  try {
    h5::File::open(path, h5::Mode::kReadOnly);
    ADD_FAILURE() << "opened a text file";
  } catch (const BlockingIOError&) {
    ADD_FAILURE() << "misread as a lock";
  } catch (const PermissionError&) {
    ADD_FAILURE() << "misread as permissions";
  } catch (const OSError& e) {
    EXPECT_NE(std::string(e.what()).find("signature"), std::string::npos) << e.what();
  }
  // A truncated HDF5 file: the first half of a real one.
  std::string real = dir / "real.h5";
  {
    h5::File file = h5::File::open(real, h5::Mode::kAppend);
    auto bars = some_equity_bars(1000);
    h5::Dataset::create(file, "data", bundle::EQUITIES_DTYPE, bars.data(), bars.size(),
                        minute_bar_creation());
    file.close();
  }
  std::filesystem::resize_file(real, std::filesystem::file_size(real) / 2);
  EXPECT_THROW(
      {
        h5::File file = h5::File::open(real, h5::Mode::kReadOnly);
        h5::Dataset data = h5::Dataset::open(file, "data");
        std::vector<EquityBar> back(1000);
        data.read(bundle::EQUITIES_DTYPE, 0, 1000, back.data());
      },
      OSError);
}

TEST(ErrorKinds, MissingMembersAndFieldsAreKeyErrors) {
  TempDir dir;
  std::string path = dir / "x.h5";
  h5::File file = h5::File::open(path, h5::Mode::kAppend);
  std::vector<IndexEntry> index = {{20050104, 0}};
  h5::Dataset ds = h5::Dataset::create(file, "index", bundle::INDEX_DTYPE, index.data(), 1,
                                       minute_bar_creation());
  EXPECT_THROW(h5::Dataset::open(file, "data"), KeyError);
  EXPECT_THROW(ds.read_field<std::int64_t>(*bundle::EQUITIES_DTYPE.find("datetime"), 0, 1),
               KeyError);
  EXPECT_FALSE(file.has("data"));
  EXPECT_EQ(file.member_names(), std::vector<std::string>{"index"});
}

TEST(ErrorKinds, CreatingOverAnExistingFileFails) {
  TempDir dir;
  std::string path = dir / "x.h5";
  h5::File::open(path, h5::Mode::kAppend).close();
  EXPECT_THROW(h5::File::open(path, h5::Mode::kCreate), OSError);
  EXPECT_THROW(h5::File::open(dir / "missing.h5", h5::Mode::kReadOnly), OSError);
}

TEST(StoreField, ScaledPricesKeepTheirLastDigitAndRealFractionsStillTruncate) {
  const h5::Field& last = *bundle::H5TicksLoader::DTYPES.find("last");
  bundle::TickRecord tick{};
  auto stored = [&](double value) {
    h5::store_field(reinterpret_cast<std::byte*>(&tick), last, value);
    return tick.last;
  };
  EXPECT_EQ(stored(0.57 * 10000), 5700);  // 5699.999999999999 in binary
  EXPECT_EQ(stored(-0.57 * 10000), -5700);
  EXPECT_EQ(stored(10.23 * 10000), 102300);
  EXPECT_EQ(stored(1.23456 * 10000), 12345);  // a real fraction of the unit is cut off
  EXPECT_EQ(stored(-2.99999 * 10000), -29999);
}

}  // namespace
}  // namespace tessera_plus

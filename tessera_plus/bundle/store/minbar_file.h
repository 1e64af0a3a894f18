// The two datasets of a minute-bar file, `data` and `index`: how they are created, inspected,
// cut back and grown. Everything here works on a file that the caller has opened and will close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tessera_plus/bundle/store/deflate_chunks.h"
#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {

// Chunk lengths, in records. A chunk is the unit that deflate compresses, that a reader inflates
// to get at a day, and that every daily append inflates and compresses again (the last one).
// Measured with deflate 9 on 5 years of equity bars (bench/minbar_appender_bench.cc,
// BM_ChunkLength; processor time; append averaged over 35 days so the last chunk passes through
// every degree of fill):
//   chunk   write    file      read a day   append a day
//     128   0.80 s   4.97 MB   0.13 ms      1.0 ms
//     256   1.11 s   4.66 MB   0.15 ms      1.5 ms
//     512   1.72 s   4.45 MB   0.19 ms      3.1 ms
//    1024   2.43 s   4.30 MB   0.26 ms      6.0 ms
//    4096   2.71 s   4.18 MB   0.66 ms     21 ms
//   16384   2.81 s   4.15 MB   2.37 ms     70 ms
// Deflate 9 searches harder the more input a chunk holds, so longer chunks buy a few percent of
// disk with much slower builds and appends. 512 bars cost 3.5% more disk than 1024 and 7% more
// than the longest chunks, and save 29% of the time to build a file and half of every append.
inline constexpr std::size_t MINBAR_DATA_CHUNK = 512;
// `index` gains one 8-byte entry per trading day (about 40 KB raw for 20 years), so the chunk
// barely shows in the file size; what it sets is how much every append compresses again. 128
// entries (1 KiB, half a year) keep that near a tenth of a millisecond; with 512 the append to a
// 20-year file measured 0.14 ms slower (BM_AppendOneDay/4993).
inline constexpr std::size_t MINBAR_INDEX_CHUNK = 128;

// The libdeflate level our writers compress chunks with; the datasets still record deflate 9
// (minbar_creation), which is what any other writer appending to the file would use. The files
// must be no larger than zlib's level 9 would make them. Measured on 20 years of simulated bars
// (bench/minbar_deflate_bench.cc, BM_DeflateLevels; libdeflate 1.14; 512-record data chunks and
// 128-entry index chunks): stored size against zlib 9 on the same chunks for a stock and for six
// futures contracts under two seeds, and the speed-up over zlib 9 on all of them (wall time,
// interleaved, a shared 2-core machine):
//   level   stock 1   stock 2   futures 1   futures 2   speed-up
//       4    0.996     1.029      1.025       1.025       15.7x
//       5    0.989     1.033      1.021       1.021       12.6x
//       6    0.990     1.017      1.015       1.016        8.8x
//       7    0.998     1.006      1.006       1.006        4.5x
//       8    1.004     1.008      1.007       1.007        2.0x
//       9    1.004     1.006      1.005       1.005        1.3x
//      10    0.934     0.970      0.957       0.958        1.3x
//      11    0.932     0.967      0.954       0.955        1.0x
//      12    0.932     0.965      0.954       0.955        0.7x
// Every level up to 9 makes some of these files larger than zlib 9 (its lazy matching searches
// far shorter chains); 10, the first with near-optimal parsing, is smaller on all of them by 3-7%
// and still faster than zlib 9, and the thread pool multiplies that when cores are idle.
inline constexpr int MINBAR_DEFLATE_LEVEL = 10;
// The last, partial chunk of a dataset is compressed again by every daily append until it fills,
// and at level 10 that recompression was about half of a one-day update's processor time. It is the
// only chunk of a file stored at this level (a 20-year file holds about 2,300 chunks), so it costs
// the file a few hundred bytes at most, and it is stored at level 10 once it is full.
inline constexpr int MINBAR_PARTIAL_CHUNK_LEVEL = 6;

// Chunked, unlimited maximum length, deflate level 9, no shuffle, no other filter.
h5::Creation minbar_creation(std::size_t chunk);

// What compresses the chunks of a minute-bar file, on `threads` threads.
ChunkDeflater minbar_deflater(unsigned threads);

// Creates `data`, then `index`, holding `records`. The order matters: a file interrupted in
// between has no `index` and is rebuilt by the next update.
void create_minbar_datasets(h5::File& file, const MinbarRecords& records, ChunkDeflater& deflater);

// Grows `origin` by `count` records of `layout` (append_deflated).
void append_records(h5::Dataset& origin, const h5::RecordLayout& layout, const void* records,
                    std::size_t count, ChunkDeflater& deflater);

// The last `index` entry, or (MIN_START_DATE, 0) when `index` is empty. Reads one entry.
IndexEntry last_index_entry(const h5::Dataset& index);

// The calendar date of the last `data` row, or MIN_START_DATE when `data` is empty. Reads one
// value.
int last_data_date(const h5::Dataset& data);

// Cuts both datasets back so that neither holds anything of `min_date` or later: `index` loses
// its entries from `min_date` on, `data` the bars of those trading days (night bars included) and
// any row dated `min_date` or later. The cut positions come from binary searches that read one
// value per step, so a repair never loads a whole column.
void cut_back(h5::Dataset& index, h5::Dataset& data, int min_date);

}  // namespace tessera_plus::bundle

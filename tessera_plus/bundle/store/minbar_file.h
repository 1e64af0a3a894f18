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
// Under zlib 9 (bench/minbar_appender_bench.cc, BM_ChunkLength, 5 years of equity bars, processor
// time) longer chunks bought a little disk with much slower builds and appends, and 512 won:
//   chunk   write    file      read a day   append a day
//     512   1.72 s   4.45 MB   0.19 ms      3.1 ms
//    1024   2.43 s   4.30 MB   0.26 ms      6.0 ms
// With the chunks compressed here by libdeflate the trade turned round. Its lazy levels (up to 9)
// search far shorter chains than zlib 9 and lose a little on 512-bar chunks; on 1024 bars every
// record but the first few hundred has a full 32 KiB window of earlier bars behind it, which wins
// that back (table below). So 1024 bars (56 KiB of equity bars, about four trading days).
inline constexpr std::size_t MINBAR_DATA_CHUNK = 1024;
// `index` gains one 8-byte entry per trading day (about 40 KB raw for 20 years), so the chunk
// barely shows in the file size; what it sets is how much every append compresses again. 128
// entries (1 KiB, half a year) keep that near a tenth of a millisecond; with 512 the append to a
// 20-year file measured 0.14 ms slower (BM_AppendOneDay/4993).
inline constexpr std::size_t MINBAR_INDEX_CHUNK = 128;

// The libdeflate level our writers compress full chunks with; the datasets still record deflate 9
// (minbar_creation), which is what any other writer appending to the file would use. The files
// must be no larger than the zlib-9 files this writer used to make (512-bar chunks). Measured on
// 20 years of simulated bars (bench/minbar_deflate_bench.cc, BM_DeflateLevels; libdeflate 1.14;
// 128-entry index chunks): stored size against those zlib-9 files for a stock and for six futures
// contracts under two seeds, and the speed-up over zlib 9 on all of them (wall time, interleaved,
// a shared 2-core machine):
//   chunk  level   stock 1   stock 2   futures 1   futures 2   speed-up
//     512      6    0.990     1.017      1.015       1.016        8.7x
//     512      7    0.998     1.006      1.006       1.006        4.5x
//     512     10    0.934     0.970      0.957       0.958        1.1x
//    1024      6    0.977     0.996      1.007       1.008        8.3x
//    1024      7    0.981     0.982      0.997       0.998        4.6x
//    1024      8    0.986     0.982      0.998       0.999        1.6x
//    2048      7    0.972     0.969      0.993       0.994        4.2x
//    4096      6    0.966     0.979      1.001       1.002        7.9x
// Level 6 never gets the futures under the line; 7 on 1024 bars is the fastest that does, at four
// times zlib 9's speed where 512-bar chunks needed level 10, barely faster than zlib 9. (Against
// zlib 9 on 1024-bar chunks too, level 7 is 0.1-1.1% larger: the saving is the chunk's.) Nor does
// level 6 hold for stocks alone: on sixteen more stock histories (four stocks, four more seeds,
// BM_StockLevelOnMoreSeeds) it ranged 0.977-1.003, two files larger than zlib 9's, where level 7
// ranged 0.981-0.987.
inline constexpr int MINBAR_DEFLATE_LEVEL = 7;
// The last, partial chunk of a dataset is compressed again by every daily append until it fills;
// at the file's level that recompression was half of a one-day update's processor time. Level 1
// is three times faster than 6 (26x zlib 9) at 2-11% more bytes than zlib 9, and it is only ever
// the one chunk at the end of a dataset: stored at MINBAR_DEFLATE_LEVEL once it is full.
inline constexpr int MINBAR_PARTIAL_CHUNK_LEVEL = 1;

// Chunked, unlimited maximum length, deflate level 9, no shuffle, no other filter.
h5::Creation minbar_creation(std::size_t chunk);

// What compresses the chunks of a minute-bar file, on `threads` threads.
ChunkDeflater minbar_deflater(unsigned threads);

// Creates `data`, then `index`, holding `records`. The order matters: a file interrupted in
// between has no `index` and is rebuilt by the next update.
void create_minbar_datasets(h5::File& file, const MinbarRecords& records, ChunkDeflater& deflater);

// Grows `origin` by `rows` (append_deflated).
void append_records(h5::Dataset& origin, const RecordRows& rows, ChunkDeflater& deflater);

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

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
// 1024 bars (56 KiB of equity bars, about four trading days): with our libdeflate chunks the longer
// window makes files smaller than zlib 9's on 512 bars while appends stay cheap (bench/README.md).
inline constexpr std::size_t MINBAR_DATA_CHUNK = 1024;
// `index` barely grows (one 8-byte entry a day), so its chunk sets how much every append compresses
// again rather than the file size: 128 entries (half a year) keep that small.
inline constexpr std::size_t MINBAR_INDEX_CHUNK = 128;

// The libdeflate level our writers compress full chunks with; the datasets still record deflate 9
// (minbar_creation), which is what any other writer appending to the file would use. Level 7 is the
// fastest that keeps every file no larger than zlib 9 would make it on 512-bar chunks, for stocks
// and futures alike (bench/README.md).
inline constexpr int MINBAR_DEFLATE_LEVEL = 7;
// The last, partial chunk of a dataset is compressed again by every daily append until it fills,
// so it is compressed fast rather than small; once full it is stored at MINBAR_DEFLATE_LEVEL.
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

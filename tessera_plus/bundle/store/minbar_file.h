// The two datasets of a minute-bar file, `data` and `index`: how they are created, inspected,
// cut back and grown. Everything here works on a file that the caller has opened and will close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tessera_plus/bundle/store/minbar_records.h"
#include "tessera_plus/h5/dataset.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::bundle {

// Chunk lengths, in records. Measured with deflate 9 (bench/minbar_appender_bench.cc, BM_Chunk*):
// a chunk is the unit that is decompressed to read a day and recompressed by every daily append.
// For `data`, 1024 bars (56 KiB for equities, about four trading days) keeps a daily append near
// 3 ms and reading one day to one chunk or two, while the files stay within 1% of the size that
// much longer chunks give; 128-512 bars write a little faster but compress 5-12% worse, and
// 16384 bars and more make every append recompress close to a megabyte (tens of milliseconds).
inline constexpr std::size_t MINBAR_DATA_CHUNK = 1024;
// `index` gains one 8-byte entry a day and is read entry by entry; 512 entries (4 KiB, two years)
// keep its last chunk, which every append rewrites, small, at no cost in file size.
inline constexpr std::size_t MINBAR_INDEX_CHUNK = 512;

// Chunked, unlimited maximum length, deflate level 9, no shuffle, no other filter.
h5::Creation minbar_creation(std::size_t chunk);

// Creates `data`, then `index`, holding `records`. The order matters: a file interrupted in
// between has no `index` and is rebuilt by the next update.
void create_minbar_datasets(h5::File& file, const MinbarRecords& records);

// Grows `origin` by `count` records of `layout`: one resize, then one write of the new tail.
void append_records(h5::Dataset& origin, const h5::RecordLayout& layout, const void* records,
                    std::size_t count);

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

// A file that is being built lives under a name in its class directory that no scan takes for an
// instrument file (hidden, not ending in ".h5") and that names the building process, so that two
// processes never share one. `file_name` is the final name inside `dir`.
std::filesystem::path building_name(const std::filesystem::path& dir, const std::string& file_name);

// Removes what builds of `file_name` left in `dir` when they were killed: every building name of
// a process that no longer runs, and this process's own.
void remove_abandoned_builds(const std::filesystem::path& dir, const std::string& file_name);

}  // namespace tessera_plus::bundle

// Whether the end of a minute-bar file can be trusted before bars are appended after it. A file
// damaged by other means (a writer without our journal killed half-way, a full disk under another
// tool) can have the right length and a tail of zero rows, or index entries that point nowhere;
// appending after such a tail would keep the damage for good and call the file up to date.
#pragma once

#include <optional>

#include "tessera_plus/h5/dataset.h"

namespace tessera_plus::bundle {

// How much of `index` and `data` to keep so that what remains ends with a sound day.
struct SoundPrefix {
  h5::Size index_length;
  h5::Size data_length;
};

// Nothing when the last day is sound: its `index` entry has a date after the one before and a
// `line_no` after the one before that lands on the first bar of its own trading day (night bars,
// from 18:00, carry the calendar date of the day before), and its bars have non-zero, ascending
// `datetime` values within the day; the entry before it passes the same entry check. Only the last
// three entries and the bars around the last two entries' first bars and of the last day are read.
// Otherwise the prefix that ends just before the last entry that is still sound, and not after
// an unsound entry before the last, so that the day it starts is fetched again with everything
// after it (cutting there, rather than after it, keeps no bar of an entry that could not be
// checked).
std::optional<SoundPrefix> unsound_tail(const h5::Dataset& index, const h5::Dataset& data);

}  // namespace tessera_plus::bundle

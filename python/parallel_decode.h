// Decoding fetched chunks (h5/fetched_rows.h) on several threads, with neither the interpreter
// lock nor HDF5's turn held: the part of a read that takes the time, done where it scales.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "tessera_plus/h5/fetched_rows.h"

namespace tessera_plus::python {

// One piece to decode and where its first record goes in the caller's output; `source` tells the
// caller which fetch (a day, an instrument) it came from.
struct PieceRef {
  const h5::FetchedRows* rows = nullptr;
  std::size_t piece = 0;
  std::size_t out_row = 0;
  std::size_t source = 0;
};

// Every piece of `fetches` (source i for fetches[i]), its first record placed at that fetch's
// offset in one output: fetch i's rows start where fetch i - 1's end.
std::vector<PieceRef> pieces_of(const std::vector<h5::FetchedRows>& fetches);

// Decodes every piece, several at once, and hands each one's records to `take` (records, the
// piece), which must write only the output rows of its piece. Call without the interpreter lock.
// The first error of any piece is rethrown once every thread has stopped.
void decode_in_parallel(
    const std::vector<PieceRef>& pieces,
    const std::function<void(std::span<const std::byte>, const PieceRef&)>& take);

}  // namespace tessera_plus::python

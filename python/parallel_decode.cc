#include "python/parallel_decode.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace tessera_plus::python {
namespace {

// More threads than this stop paying: the copy into columns is bound by memory, not by cores.
constexpr unsigned kMaxThreads = 8;

// One core is left to the interpreter: a notebook's other threads (a progress widget, a
// dashboard's poll) keep running while a large read decodes.
unsigned threads_for(std::size_t pieces) {
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::min<std::size_t>({cores - 1, kMaxThreads, pieces}));
}

}  // namespace

std::vector<PieceRef> pieces_of(const std::vector<h5::FetchedRows>& fetches) {
  std::vector<PieceRef> pieces;
  std::size_t offset = 0;
  for (std::size_t source = 0; source < fetches.size(); ++source) {
    const h5::FetchedRows& rows = fetches[source];
    for (std::size_t i = 0; i < rows.pieces(); ++i) {
      pieces.push_back({.rows = &rows,
                        .piece = i,
                        .out_row = offset + static_cast<std::size_t>(rows.piece_first(i)),
                        .source = source});
    }
    offset += static_cast<std::size_t>(rows.rows());
  }
  return pieces;
}

void decode_in_parallel(
    const std::vector<PieceRef>& pieces,
    const std::function<void(std::span<const std::byte>, const PieceRef&)>& take) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_lock;
  const auto work = [&] {
    std::vector<std::byte> scratch;
    for (std::size_t i; (i = next.fetch_add(1)) < pieces.size();) {
      try {
        take(pieces[i].rows->decode(pieces[i].piece, scratch), pieces[i]);
      } catch (...) {
        const std::lock_guard<std::mutex> hold(failure_lock);
        if (!failure) failure = std::current_exception();
        next.store(pieces.size());  // the others stop at their next piece
      }
    }
  };
  std::vector<std::thread> helpers;
  const unsigned threads = threads_for(pieces.size());
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& t : helpers) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tessera_plus::python

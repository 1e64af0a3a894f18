// Asking the service about many instruments from a process that writes their answers one after
// another: the calls overlap in forked fetcher processes, up to the client's requests in flight,
// and the answers come back in instrument order, so that the files are written exactly as one call
// after another would write them.
#pragma once

#include <cstddef>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {

// A fetcher process ended (a signal, an exit) before it answered for its item: that item has no
// answer, the others are not touched.
class FetcherLost : public Error {
 public:
  using Error::Error;
};

// What one call brought back: its bytes, or the error it raised.
class FetchedAnswer {
 public:
  static FetchedAnswer of_bytes(std::string bytes);
  static FetchedAnswer of_error(std::exception_ptr error);

  // The bytes; or raises the call's error. The service's ServiceUnavailable and PermissionDenied
  // keep their kind and message across the process boundary, a lost fetcher is a FetcherLost, and
  // any other error an Error with the message it had.
  std::string take();

 private:
  std::string bytes_;
  std::exception_ptr error_;
};

// Calls `fetch(i)` for every i in [0, count) and hands each result to `take(i, answer)`, in index
// order, in the calling process. The fetches run here, each just before its take, while the
// service answers without making this process wait. Once a call has waited for it (and
// tallow::client::requests_in_flight() is above 1) the remaining fetches run in forked processes,
// that many at once and a bounded window ahead of `take`; they inherit the caller's state and must
// not touch what the caller holds open (HDF5 files above all). An error escaping `take` ends the
// call with it. A stop request (base/stop_request.h) starts no more fetches and raises Interrupted
// once those in flight are taken.
// Plain records as the bytes a fetcher sends back, and those bytes as records again.
template <typename T>
std::string bytes_of(const std::vector<T>& records) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::string bytes(records.size() * sizeof(T), '\0');
  // An empty vector's data() may be null, which memcpy must not be given even for no bytes.
  if (!records.empty()) std::memcpy(bytes.data(), records.data(), bytes.size());
  return bytes;
}

template <typename T>
std::vector<T> records_of_bytes(const std::string& bytes) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::vector<T> records(bytes.size() / sizeof(T));
  if (!records.empty()) std::memcpy(records.data(), bytes.data(), records.size() * sizeof(T));
  return records;
}

void fetch_ahead(std::size_t count, const std::function<std::string(std::size_t)>& fetch,
                 const std::function<void(std::size_t, FetchedAnswer&&)>& take);

}  // namespace tessera_plus::bundle

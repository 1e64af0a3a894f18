// Fetches a file over HTTP into an open stream, showing progress: the sample download's transfer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tessera_plus::net {

// Fetches the content at `url` and writes it to `out`, with a progress bar of `total_length` bytes
// on standard error. `proxy` serves every scheme; empty means a direct connection (see net/http.h).
//
// Throws OSError when the request fails, the server answers with an error status, the body is
// shorter or longer than `total_length` (a longer body is cut off at `total_length` bytes), or
// writing to `out` fails. `out` stays open on every path and is flushed on success; the caller
// closes it.
void download(std::FILE* out, std::uint64_t total_length, const std::string& url,
              const std::string& proxy = "");

}  // namespace tessera_plus::net

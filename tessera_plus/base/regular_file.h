// Reading the files of a bundle without ever blocking on something that only looks like one. A
// FIFO named trading_dates.npy blocks a plain open() until a writer appears, a character device
// never ends; neither can be a data file, so both are refused before a byte is read.
#pragma once

#include <cstddef>
#include <string>

namespace tessera_plus {

// Whether `path` is a regular file (a symbolic link counts as what it points to). Never opens it.
bool is_regular_file(const std::string& path);

// Throws OSError (EINVAL) naming `path` when something exists there that is not a regular file;
// nothing when it is one or when nothing exists (the opener reports that itself).
void require_regular_file_if_present(const std::string& path);

// The whole content of the regular file at `path`. Opened without blocking (O_NONBLOCK) and checked
// with fstat on the open descriptor, so a FIFO, socket or device put there is refused and never
// waited on. OSError of the errno's kind when it cannot be opened or read, OSError (EINVAL) when it
// is not a regular file, OSError (EFBIG) when it is larger than `max_bytes`.
std::string read_regular_file(const std::string& path, std::size_t max_bytes);

}  // namespace tessera_plus

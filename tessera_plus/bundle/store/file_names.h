// Instrument files are named after their order book id: "{id}.h5". The one place that turns ids
// into file names and back.
#pragma once

#include <string>
#include <string_view>

namespace tessera_plus::bundle {

// "000001.XSHE" -> "000001.XSHE.h5".
std::string instrument_file_name(const std::string& order_book_id);

// The order book id a file stands for: its last path component without the final ".h5"
// (".../equities/000001.XSHE.h5" -> "000001.XSHE"); the component unchanged when it has no ".h5".
std::string order_book_id_of_file(std::string_view path);

// An id or file name becomes a file name inside a class directory: empty names, a separator, ".."
// or NUL would put the file somewhere else, so they are a ValueError naming `what`.
void require_safe_name(std::string_view what, const std::string& name);

}  // namespace tessera_plus::bundle

// How many terminal columns a UTF-8 text takes: East Asian wide and full-width characters (the
// Chinese of every console line) take two, combining marks none, everything else one. What a
// line that must fit one screen line (a progress bar) is measured with.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessera_plus {

std::size_t display_width(std::string_view text);

// The longest prefix of `text`, cut between characters, that takes at most `columns` columns.
std::string cut_to_width(std::string_view text, std::size_t columns);

}  // namespace tessera_plus

#include "tessera_plus/bundle/store/file_names.h"

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

namespace tessera_plus::bundle {

namespace {
constexpr std::string_view kSuffix = ".h5";
}  // namespace

std::string instrument_file_name(const std::string& order_book_id) {
  return order_book_id + std::string(kSuffix);
}

std::string order_book_id_of_file(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.ends_with(kSuffix)) name.remove_suffix(kSuffix.size());
  return std::string(name);
}

void require_safe_name(std::string_view what, const std::string& name) {
  const bool unsafe = name.empty() || name.find('/') != std::string::npos ||
                      name.find("..") != std::string::npos || name.find('\0') != std::string::npos;
  if (unsafe) {
    throw ValueError(fmt::format("unsafe {} '{}': it must be a plain file name", what, name));
  }
}

}  // namespace tessera_plus::bundle

#include "tessera_plus/h5/error_internal.h"

#include <regex>
#include <string>
#include <vector>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/h5/blosc.h"

namespace tessera_plus::h5 {
namespace {

struct StackLines {
  hid_t stack;
  std::vector<std::string> lines;
  int error_number = 0;
};

std::string message_of(hid_t msg_id) {
  char buffer[256] = {0};
  H5E_type_t type;
  if (H5Eget_msg(msg_id, &type, buffer, sizeof buffer) < 0) return {};
  return buffer;
}

herr_t collect(unsigned /*n*/, const H5E_error2_t* record, void* data) {
  auto* out = static_cast<StackLines*>(data);
  std::string line = record->func_name ? record->func_name : "?";
  line += "(): ";
  line += record->desc ? record->desc : "";
  std::string minor = message_of(record->min_num);
  if (!minor.empty()) line += " [" + minor + "]";
  out->lines.push_back(std::move(line));
  if (record->desc) {
    static const std::regex errno_re("errno = ([0-9]+)");
    std::cmatch match;
    if (std::regex_search(record->desc, match, errno_re)) {
      out->error_number = std::atoi(match[1].str().c_str());
    }
  }
  return 0;
}

StackLines read_stack() {
  // Copy the stack first: looking messages up while walking the live default stack can clear it.
  StackLines result{H5Eget_current_stack(), {}, 0};
  if (result.stack >= 0) {
    H5Ewalk2(result.stack, H5E_WALK_UPWARD, collect, &result);
    H5Eclose_stack(result.stack);
  }
  return result;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    if (!text.empty()) text += '\n';
    text += "  " + line;
  }
  return text;
}

}  // namespace

void ensure_initialized() {
  thread_local bool done = false;
  if (done) return;
  done = true;
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  // HDF5 loads the Blosc filter plugin from its plugin path (HDF5_PLUGIN_PATH, or the library's
  // own default) on first request: nothing is linked or baked in, so the program and the Python
  // module find the same filter that h5py and other HDF5 tools would.
  static const bool registered = H5Zfilter_avail(kBloscFilterId) > 0;
  if (!registered) {
    throw OSError(0,
                  "cannot find the Blosc HDF5 filter plugin (filter 32001): install "
                  "hdf5-filter-plugin-blosc-serial or name its directory in HDF5_PLUGIN_PATH");
  }
}

void throw_error(const char* action) {
  StackLines stack = read_stack();
  std::string text = std::string(action);
  if (!stack.lines.empty()) {
    text += '\n';
    text += join(stack.lines);
  }
  raise_os_error(stack.error_number, text);
}

}  // namespace tessera_plus::h5

#include "tessera_plus/h5/plain_values.h"

#include <vector>

#include "tessera_plus/h5/error_internal.h"

namespace tessera_plus::h5 {
namespace {

void append_dataset(hid_t root, const char* name, std::string& out) {
  DatasetId dataset(check_id(H5Dopen2(root, name, H5P_DEFAULT), "opening a dataset"));
  DatatypeId type(check_id(H5Dget_type(dataset.get()), "reading a dataset's type"));
  DataspaceId space(check_id(H5Dget_space(dataset.get()), "reading a dataset's shape"));
  int rank = check(H5Sget_simple_extent_ndims(space.get()), "reading a dataset's rank");
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
  check(H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr), "reading a dataset's shape");
  std::size_t count = 1;
  for (hsize_t d : dims) {
    count *= d;
    out += " " + std::to_string(d);
  }
  std::size_t size = H5Tget_size(type.get());
  out += " x " + std::to_string(size) + "\n";
  std::string bytes(count * size, '\0');
  if (!bytes.empty()) {
    check(H5Dread(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()),
          "reading a dataset");
  }
  out += bytes;
}

herr_t append_object(hid_t root, const char* name, const H5O_info_t* info, void* data) {
  auto& out = *static_cast<std::string*>(data);
  out += std::string("\n") + name;
  if (info->type != H5O_TYPE_DATASET) return 0;
  // An exception must not cross HDF5's C frames: the failure goes back as -1, and the stack it
  // left is thrown once the visit returns.
  try {
    append_dataset(root, name, out);
  } catch (...) {
    return -1;
  }
  return 0;
}

}  // namespace

std::string plain_values(const std::string& path) {
  ensure_initialized();
  const std::string action = "reading " + path + " with plain HDF5";
  FileId file(check_id(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), action.c_str()));
  std::string out;
  check(H5Ovisit2(file.get(), H5_INDEX_NAME, H5_ITER_INC, append_object, &out, H5O_INFO_BASIC),
        action.c_str());
  file.close();
  return out;
}

}  // namespace tessera_plus::h5

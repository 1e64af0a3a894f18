#include "tessera_plus/h5/integer_dataset.h"

#include "tessera_plus/h5/error_internal.h"
#include "tessera_plus/h5/file.h"

namespace tessera_plus::h5 {

void write_int64_dataset(File& file, const std::string& name,
                         const std::vector<std::int64_t>& values) {
  ensure_initialized();
  hsize_t dims = values.size();
  DataspaceId space(check_id(H5Screate_simple(1, &dims, nullptr), "creating a dataspace"));
  const std::string action = "cannot create dataset " + name + " in " + file.path();
  DatasetId ds(check_id(H5Dcreate2(file.id(), name.c_str(), H5T_STD_I64LE, space.get(), H5P_DEFAULT,
                                   H5P_DEFAULT, H5P_DEFAULT),
                        action.c_str()));
  if (!values.empty()) {
    check(H5Dwrite(ds.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()),
          action.c_str());
  }
  ds.close();
}

}  // namespace tessera_plus::h5

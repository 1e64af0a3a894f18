#include "tests/support/outside_layouts.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace tessera_plus::testing {

std::vector<std::pair<std::string, std::string>> outside_layouts(const std::string& dataset,
                                                                 const std::string& spare) {
  const std::string d = "'" + dataset + "'";
  return {
      {dataset + " with external storage", "rows = f[" + d + "][()]; del f[" + d +
                                               "]; open(out, 'wb').write(rows.tobytes())\n"
                                               "    f.create_dataset(" +
                                               d +
                                               ", data=rows, external=[(out, 0, rows.nbytes)])"},
      {dataset + " as an external link", "with h5py.File(out, 'w') as o: o[" + d + "] = f[" + d +
                                             "][()]\n"
                                             "    del f[" +
                                             d + "]; f[" + d + "] = h5py.ExternalLink(out, " + d +
                                             ")"},
      {dataset + " as a soft link", "f['" + spare + "'] = f[" + d + "][()]; del f[" + d +
                                        "]\n"
                                        "    f[" +
                                        d + "] = h5py.SoftLink('/" + spare + "')"},
  };
}

void expect_files_kept_after_craft(const std::string& path, const std::string& outside,
                                   const std::string& craft, const std::function<void()>& write) {
  ASSERT_EQ(run_python("import sys, h5py\nout = sys.argv[2]\n"
                       "with h5py.File(sys.argv[1], 'r+') as f:\n    " +
                           craft,
                       path + " " + outside),
            0);
  const std::string outside_before = read_file(outside);
  const std::string file_before = read_file(path);
  write();
  EXPECT_EQ(read_file(outside), outside_before);
  EXPECT_EQ(read_file(path), file_before);
}

}  // namespace tessera_plus::testing

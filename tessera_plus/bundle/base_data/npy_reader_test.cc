#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/npy_reader.h"
#include "tessera_plus/bundle/base_data/npy_writer.h"
#include "tests/support/check_fixtures.h"

namespace tessera_plus {
namespace {

using bundle::read_npy_int_array;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::npy_image;
using testing::TempDir;

const std::vector<std::int64_t> kDates = {20200102, 20200103, 20200106};

std::vector<std::int64_t> read_image(const std::string& image) {
  TempDir dir;
  testing::write_file(dir / "a.npy", image);
  return read_npy_int_array(dir / "a.npy");
}

std::string error_of(const std::string& image) {
  try {
    read_image(image);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "<no ValueError>";
}

// Saves with numpy: `expression` builds the array from `numpy` imported as np.
std::vector<std::int64_t> numpy_saved(const std::string& expression, std::string* error = nullptr) {
  TempDir dir;
  const std::string path = dir / "a.npy";
  const std::string script = "import sys, numpy as np\nnp.save(sys.argv[1], " + expression + ")\n";
  EXPECT_EQ(testing::run_python(script, path), 0) << expression;
  try {
    return read_npy_int_array(path);
  } catch (const ValueError& e) {
    if (!error) throw;
    *error = e.what();
    return {};
  }
}

TEST(NpyReader, AnyIntegerWidthAndByteOrder) {
  for (const char* descr : {"<i8", ">i8", "<i4", ">i4", "<u4", "=i8"}) {
    EXPECT_EQ(read_image(npy_image(kDates, descr)), kDates) << descr;
  }
  EXPECT_THAT(read_image(npy_image({-2, 255}, "|i1")), ElementsAre(-2, -1));
  EXPECT_THAT(read_image(npy_image({-2, 255}, "|u1")), ElementsAre(254, 255));
  EXPECT_THAT(read_image(npy_image({-3, 40000}, ">i2")), ElementsAre(-3, 40000 - 65536));
  EXPECT_THAT(read_image(npy_image({}, "<i8")), ElementsAre());
}

TEST(NpyReader, VersionTwoHeader) { EXPECT_EQ(read_image(npy_image(kDates, "<i8", 2)), kDates); }

TEST(NpyReader, CalendarAsTheHostsBaseUpdaterWritesIt) {
  EXPECT_EQ(read_image(bundle::npy_bytes(kDates)), kDates);
}

TEST(NpyReader, FilesWrittenByNumpy) {
  EXPECT_EQ(numpy_saved("np.array([20200102, 20200103, 20200106])"), kDates);
  EXPECT_EQ(numpy_saved("np.array([20200102, 20200103, 20200106], dtype='>i4')"), kDates);
  EXPECT_EQ(numpy_saved("np.asfortranarray(np.array([20200102, 20200103, 20200106]))"), kDates);
  EXPECT_THAT(numpy_saved("np.array([[1, 2], [3, 4]], dtype='<u2')"), ElementsAre(1, 2, 3, 4));
}

TEST(NpyReader, RejectsWhatIsNotAnIntegerArray) {
  std::string error;
  numpy_saved("np.array([20200102.0])", &error);
  EXPECT_THAT(error, HasSubstr("floating point"));
  numpy_saved("np.array([1, 'a'], dtype=object)", &error);
  EXPECT_THAT(error, HasSubstr("objects"));
  numpy_saved("np.asfortranarray(np.array([[1, 2], [3, 4]]))", &error);
  EXPECT_THAT(error, HasSubstr("Fortran"));
  numpy_saved("np.zeros(2, dtype=[('a', '<i8')])", &error);
  EXPECT_THAT(error, HasSubstr("structured"));
}

TEST(NpyReader, RejectsDamagedFiles) {
  const std::string image = npy_image(kDates);
  EXPECT_THAT(error_of(image.substr(0, image.size() - 1)), HasSubstr("truncated data"));
  EXPECT_THAT(error_of(image.substr(0, 20)), HasSubstr("truncated header"));
  EXPECT_THAT(error_of("not numpy at all"), HasSubstr("magic"));
  std::string version9 = image;
  version9[6] = 9;
  EXPECT_THAT(error_of(version9), HasSubstr("version"));
  EXPECT_THAT(error_of(npy_image({-1}, "<u8")), HasSubstr("signed 64-bit range"));
  std::string mangled = image;
  mangled.replace(mangled.find("False"), 5, "Fals ");
  EXPECT_THAT(error_of(mangled), HasSubstr("fortran_order"));
}

TEST(NpyReader, MissingFileIsTheOperatingSystemsError) {
  TempDir dir;
  try {
    read_npy_int_array(dir / "absent.npy");
    ADD_FAILURE() << "read a missing file";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
}

}  // namespace
}  // namespace tessera_plus

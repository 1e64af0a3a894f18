#include "tessera_plus/bundle/store/constants.h"

#include <cerrno>
#include <unistd.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/base/datetime_func.h"

namespace tessera_plus::bundle {

int _get_end_date() {
  using namespace std::chrono;
  tessera::DateTime now = tessera::now();
  tessera::Date today = tessera::date_of(now);
  tessera::DateTime cut_off = tessera::make_datetime(today, 17, 30, 0, 0);
  if (now > cut_off) return tessera::date_to_number(today);
  return tessera::date_to_number(tessera::date_of(now - days(1)));
}

void remove_h5(const std::string& h5_file) {
  // unlink, not remove: remove() would delete an empty directory, which must stay an error.
  if (::unlink(h5_file.c_str()) == 0 || errno == ENOENT) return;
  throw_os_error(errno, "cannot delete " + h5_file);
}

}  // namespace tessera_plus::bundle

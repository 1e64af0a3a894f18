// How a per-instrument writer fails: one log line naming the file and the cause, and the run's
// shared success flag cleared, so that the other instruments of the update go on.
#pragma once

#include <functional>
#include <string>

namespace tessera_plus::bundle {

// Runs `body`, which works on `file_path`. What it throws is logged as one line beginning
// "更新 {file_path}" with advice that fits the cause (a full disk, file permissions or a lock,
// another I/O error, missing data permission, a damaged file) and clears the shared flag; a request
// to end the program passes through untouched.
void guard_file_update(const std::string& file_path, const std::function<void()>& body);

}  // namespace tessera_plus::bundle

// The one line that a failed update of a file logs for an operating-system error, with advice that
// fits the cause: a full disk, a permission or a lock, or another I/O error.
#pragma once

#include <functional>
#include <string>

#include "tessera_plus/base/errors.h"

namespace tessera_plus {

// "更新 {file} 失败，{advice}\n{error text}". A full disk or quota (ENOSPC, EDQUOT) asks for space;
// permissions, locks and read-only file systems (EACCES, EPERM, EAGAIN, EBUSY, EROFS, and errors
// without an errno) ask to check the file; any other errno (EIO, EFBIG...) is an I/O error.
std::string describe_write_failure(const std::string& file, const OSError& error);

// Runs `body`; an OSError it throws comes back as the same kind with the advice above its text, for
// callers whose failures another part logs with the file's name (the process pool's tasks).
void with_write_advice(const std::function<void()>& body);

}  // namespace tessera_plus

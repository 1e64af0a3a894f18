// The error kinds that callers of this library tell apart. Every foreign error source (errno, the
// HDF5 error stack, the market-data service, libcurl, libarchive) is mapped onto these in exactly
// one place, so that a `catch` clause can sort failures the way the update and check code needs.
#pragma once

#include <stdexcept>
#include <string>

namespace tessera_plus {

// Base of everything this library throws on purpose.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An operating-system or I/O failure: opening, reading, writing, locking or deleting a file.
// Carries the errno value when one is known (0 otherwise, for example for a file that is not HDF5).
class OSError : public Error {
 public:
  OSError(int error_number, const std::string& what) : Error(what), errno_(error_number) {}
  int error_number() const noexcept { return errno_; }

 private:
  int errno_;
};

// Another process holds a lock on the file (errno EAGAIN / EWOULDBLOCK).
class BlockingIOError : public OSError {
 public:
  explicit BlockingIOError(const std::string& what) : OSError(11, what) {}
};

// Access denied by file permissions (errno EACCES or EPERM).
class PermissionError : public OSError {
 public:
  PermissionError(int error_number, const std::string& what) : OSError(error_number, what) {}
};

// An argument or input with the right type but an unacceptable value.
class ValueError : public Error {
 public:
  using Error::Error;
};

// A call with the wrong number or kind of arguments; also bad command-line usage.
class ArgumentError : public Error {
 public:
  using Error::Error;
};

// A named member (dataset, field, column) that does not exist.
class KeyError : public Error {
 public:
  using Error::Error;
};

// The program must end now with the given exit status, without running any further step. Thrown
// where the user refuses to go on; the front end turns it into the process's exit status.
class ExitRequest : public std::exception {
 public:
  explicit ExitRequest(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "exit requested"; }

 private:
  int status_;
};

// The one map from errno to error kinds: EAGAIN/EWOULDBLOCK (a lock held elsewhere) is a
// BlockingIOError, EACCES/EPERM a PermissionError, anything else (0 when unknown) an OSError.
// Throws with `text` as the message, unchanged.
[[noreturn]] void raise_os_error(int error_number, const std::string& text);

// raise_os_error with the message "{what}: {strerror}". `what` should name the file or action.
[[noreturn]] void throw_os_error(int error_number, const std::string& what);

}  // namespace tessera_plus

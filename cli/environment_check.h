// The environment's settings, checked before any work as the options are: a value the program
// would otherwise misread in the middle of a run (a "now" that is no date, a log level it does not
// know) ends it at once with one line naming the variable.
#pragma once

namespace tessera_plus::cli {

// Throws an ArgumentError (exit status 2) naming the first variable whose value is refused:
// TESSERA_NOW, TESSERA_LOG_LEVEL, TESSERA_LOG_MAX_BYTES, TESSERA_LOG_ECHO, TESSERA_PROGRESS,
// TALLOW_SOURCE and the client's
// TALLOW_RETRY_*, TALLOW_RATE_LIMIT and TALLOW_REQUESTS. A refused TESSERA_NOW is removed from
// the environment first, so that the line that reports it is logged at the host's time.
void require_valid_environment();

// When the log (TESSERA_LOG_FILE or its default place) cannot be written by this user, says so in
// one warning line on standard error; the run goes on without its log, as a run that another user
// starts with the same environment must.
void warn_of_unwritable_log();

}  // namespace tessera_plus::cli

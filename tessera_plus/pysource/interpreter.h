// The embedded Python interpreter that the `python` market-data source calls into.
//
// Fork safety. Update workers are forked from the caller (base/process_pool.h) and use the
// market-data client that the caller set up, so the interpreter is started once, in the main
// process, when the `python` source is created (at client set-up, before any pool exists), and
// every worker inherits it as it was at the fork. We start no threads of our own and never release
// the global interpreter lock, so the forking thread always holds it; handlers registered with
// pthread_atfork around every fork of the process run CPython's own fork protocol
// (PyOS_BeforeFork / PyOS_AfterFork_Parent / PyOS_AfterFork_Child), which resets the lock and
// the thread state in the child and runs the module's own os.register_at_fork hooks. A module that
// starts threads (a connection pool, say) gets exactly what a forked CPython program gets: those
// threads do not exist in the child.
//
// Requests overlap across processes only: each worker makes one call at a time in its own copy of
// the interpreter, and the run's request slots (market/retrying_backend.h) bound how many workers
// wait for the service at once. No thread ever enters an interpreter.
//
// The interpreter lives until the process ends; it is never finalised, because extension modules
// such as NumPy do not survive a second start. Python's standard streams are flushed at exit.
//
// When this code runs inside a Python program (the tessera_plus extension module), that
// program's interpreter is used as it is.
#pragma once

namespace tessera_plus::pysource {

// Starts the interpreter if the process has none yet. Call from the main thread. Later calls do
// nothing.
void ensure_interpreter();

}  // namespace tessera_plus::pysource

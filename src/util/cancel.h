// Cancellation: the signals that end a run (SIGINT, SIGTERM, SIGHUP) and a
// server that stops answering, both seen by the Subversion libraries through
// their cancellation hook, so that a run always ends through its ordinary
// error path: the dump cut back to a revision boundary, the temporary
// directory removed, and a last line that says how to continue.
//
// A blocked read from the server would not return for a signal (APR repeats
// an interrupted read) nor ever for a silent server, so a watchdog thread
// shuts the process's sockets down when either happens; the read then fails
// and the next check of the hook names the reason. Process-wide state; the
// watchdog only reads and writes atomics and calls shutdown(2).
#pragma once

#include <apr_pools.h>
#include <svn_error.h>

// Installs the handlers of SIGINT, SIGTERM and SIGHUP (the first of them
// requests cancellation; a second one ends the process at once) and ignores
// SIGPIPE and SIGXFSZ, so that a closed output or a file size limit is a
// write error like any other.
void cancel_install_handlers();

// The signal that requested cancellation, or 0.
int cancel_signal();

// Whether the watchdog gave up on a silent server.
bool cancel_timed_out();

// The libraries' cancellation hook (svn_cancel_func_t; the baton is
// unused): SVN_ERR_CANCELLED once a signal came or the server timed out.
// The error names no reason: the caller that ends the run does.
svn_error_t *cancel_check(void *baton) noexcept;

// Starts the watchdog: after `seconds` (> 0) without word from the server
// while the program waits for it, the run is cancelled. Without a call, or
// with 0 seconds, only signals are watched.
void cancel_watch(int seconds);

// The server has just sent or taken data (the libraries' progress hook
// calls it).
void cancel_activity();

// While `busy` is true the program itself is at work (writing the dump, or
// waiting on its reader) and the server's silence does not count.
void cancel_set_busy(bool busy);

// Stops the watchdog thread (at the end of the run).
void cancel_stop();

// Writes the reason of a cancelled run to standard error ("ERROR: ..."),
// if it was cancelled.
void cancel_report();

// The seconds of silence after which the watchdog gives up.
int cancel_timeout();

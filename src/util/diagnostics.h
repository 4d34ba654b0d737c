// Diagnostics: the process-wide verbosity and the four level printers that
// every module writes its progress, trace and debug text with, the lines
// that are rewritten in place on a terminal, the status line of a dump, the
// display of Subversion error chains, and the one report of a failure.
// Everything goes to standard error; standard output carries only the dump
// stream.
//
// Rewriting in place ("\r" and "\x1b[0K") is for terminals only: when
// standard error is a file or a pipe, the rewritten texts are left out and
// only the lines that end ("done", "* Dumped revision N.") are written, so
// that a log holds plain lines.
#pragma once

#include "util/apr_glue.h"

#include <svn_error.h>

// -1 quiet, 0 normal, 1 verbose, 2 progress, 3 and above debug.
extern int verbosity;

// printf-style printers, each writing only when verbosity is at least its
// level (0, 1, 2, 3). They add no newline, prefix or flush. Texts for users
// are passed through gettext (`_()`) by the caller; debug texts are not.
void print_normal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void print_verbose(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void print_progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void print_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Whether standard error is a terminal (asked once, on first use);
// diagnostics_set_terminal overrides the answer (for tests).
bool diagnostics_stderr_is_terminal();
void diagnostics_set_terminal(bool is_terminal);

// A counter line at the progress level (2 and above) that is rewritten in
// place: on a terminal, clears the line and writes the text (no newline) and
// flushes; elsewhere writes nothing.
void print_progress_update(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

// Ends a line that print_progress_update rewrote and whose `label` was
// written with print_verbose: at verbosity 2 on a terminal the line is
// rewritten as `label` and `text`, elsewhere `text` is written at the
// verbose level.
void print_progress_finish(const char *label, const char *text);

// The status line of a dump at verbosity 0 on a terminal: below the
// "* Dumped revision N." lines, one line that says how many of the `total`
// revisions are done, the rate and the expected end, rewritten after each
// revision. Without a terminal, or at another verbosity, these do nothing.
// progress_begin starts it (shown at once); progress_revision_done counts
// one revision and redraws it; progress_end takes it off the screen. The
// level printers and handle_error take the status line away before they
// write, so that their lines never share it.
void progress_begin(long total);
void progress_revision_done();
void progress_end();

// Writes the whole chain of `err`, one "%s%s\n" line (prefix, text) per
// reported link, and flushes standard error. Neither clears `err` nor ends
// the program: the caller clears it.
void handle_error(const svn_error_t *err, const char *prefix);

// Reports a failure where it is received and the run stops: writes the
// chain with the translated prefix "ERROR: " through handle_error, then
// clears it. Every failure of the program's own operations is reported
// here, once. Reporting an empty Error writes nothing.
void report_error(vh::Error &&err);

// `_()` looks a user-facing text up in the message catalogue of the domain
// "vornhald"; `N_()` only marks a text for the catalogue where it is looked
// up later.
#ifndef _
#include <libintl.h>
#define _(text) gettext(text)
#endif
#ifndef N_
#define N_(text) text
#endif

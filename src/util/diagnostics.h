// Diagnostics: the process-wide verbosity and the four level printers that
// every module writes its progress, trace and debug text with, the display
// of Subversion error chains, and the one report of a failure. Everything
// goes to standard error; standard output carries only the dump stream.
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

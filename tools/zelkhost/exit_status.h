// zelkhost's exit statuses, beside the text that tells them in --help, so the
// numbers every command returns and what the help says of them cannot drift
// apart: those of every command, and those `zelkhost status` answers with
// instead, as monitoring plugins use them.
#ifndef ZELK_TOOLS_ZELKHOST_EXIT_STATUS_H_
#define ZELK_TOOLS_ZELKHOST_EXIT_STATUS_H_

namespace zelk::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitCannotStart = 2;

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusWarning = 1;
inline constexpr int kStatusCritical = 2;
inline constexpr int kStatusUnknown = 3;

inline constexpr char kExitStatusHelp[] =
    "Exit status:\n"
    "  0  check: no problem; run: every line written, no input line skipped;\n"
    "     validate: every job number valid; info: the library loaded;\n"
    "     spool: no line waits\n"
    "  1  check: a problem (with --strict, a warning too); run: a line not written,\n"
    "     every transaction dropped, or an input line skipped; validate: a job number\n"
    "     not valid;\n"
    "     spool: lines still wait\n"
    "  2  zelkhost could not do its work: wrong usage, a library that cannot be\n"
    "     loaded (run, validate, info), input that cannot be read, a callback that\n"
    "     did not come, a failure nothing else caught\n"
    "status answers as monitoring plugins do:\n"
    "  0  OK: no line lost within the window, none waits in the spool\n"
    "  1  WARNING: lines wait in the spool, or a section lost a line within the\n"
    "     window and has written lines since\n"
    "  2  CRITICAL: a section lost a line within the window and has written none\n"
    "     since, or a spooled line waits longer than the window\n"
    "  3  UNKNOWN: no StatusFolder set, no status file, or one that cannot be read\n";

}  // namespace zelk::host

#endif  // ZELK_TOOLS_ZELKHOST_EXIT_STATUS_H_

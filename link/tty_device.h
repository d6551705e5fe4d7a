#pragma once

#include <QString>

namespace varek::tty {

// Opens a tty device for reading and writing, non-blocking, without making it
// the controlling terminal, and exclusively: TIOCEXCL refuses further opens by
// other programs, and an exclusive flock() on the device refuses a second open
// by any program that locks too (both ports of this program do, and root is
// not exempt from it as it is from TIOCEXCL). A port already held fails with
// EBUSY. Returns the descriptor, or -1 with the system's error number in *error.
int openExclusive(const QString& path, int* error);

// Clears the exclusive flag (it outlives our descriptor on a pseudo-terminal
// whose other side stays open), then closes; the lock goes with the descriptor.
void closeExclusive(int fd);

// True for the slave side of a pseudo-terminal (UNIX 98 pty majors 136..143).
bool isPseudoTerminal(int fd);

// A pseudo-terminal has no modem lines, line error counters or parity: the
// ioctls for them fail with ENOTTY or EINVAL. On a pseudo-terminal, and only
// there, such a failure counts as success.
bool failureIsPtyLimitation(int fd, int error);

// Raises (on) or drops (off) the given TIOCM_* modem lines. Returns 0 or the
// system's error number (0 also for a pseudo-terminal's refusal).
int setModemLines(int fd, int lines, bool on);

} // namespace varek::tty

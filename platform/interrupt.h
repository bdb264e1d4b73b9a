// The operator's interrupt (SIGINT, SIGTERM, and SIGHUP when the terminal or
// session goes away): the first one asks the run to
// end early but keep what it has gathered; a second one ends the process at
// once.
//
// InstallInterruptHandling is called once, on the main thread, before any
// other thread starts. The handler only writes one line on standard error,
// sets an atomic flag, restores the default action of the signals it handles and makes
// InterruptWakeFd readable: all async-signal-safe. Everything else here may
// be called from any thread at any time.
#pragma once

#include <cstddef>

namespace platform {

// Installs the handlers and creates the wake-up descriptor. A signal that is
// ignored when this is called (nohup) is left ignored. Returns false when
// any of them cannot be done; the signals then keep their default action.
bool InstallInterruptHandling();

// True once an interrupt has arrived (or RequestInterrupt was called).
bool Interrupted();

// The number of the signal that interrupted the run; 0 when none did (also
// after RequestInterrupt).
int InterruptSignal();

// A descriptor that becomes readable (POLLIN) at the interrupt and stays so;
// put it in a poll set to wake a wait. Made on first use; -1 when the system
// refused it (waits then see the flag only at their next time-out). Never
// read it or close it.
int InterruptWakeFd();

// What the handler does, minus the message and the handler change: sets the
// flag and wakes every waiter. For tests, and for callers that end a run
// themselves.
void RequestInterrupt();

// How many columns of standard error the handler blanks out ("\r", blanks,
// "\r") before its line: the width of a status line drawn in place there, or
// 0 when none is shown. Any thread; the console keeps it current.
void SetInterruptClearWidth(std::size_t columns);

// Counts SIGWINCH (the terminal's size changed) from the first call on; the
// handler only adds one to an atomic counter. False when it cannot be
// installed. Any thread.
bool WatchWindowSize();

// How many SIGWINCH have arrived since WatchWindowSize.
unsigned WindowSizeChanges();

// Clears the flag and makes the wake-up descriptor quiet again. For tests
// only; never while another thread may be waiting on it.
void ResetInterruptForTesting();

}  // namespace platform

// The writer thread that empties the log queue into the log file
// (log/log_file.h), and its start and stop.
//
// Every failure of the file work is silent (see log/log_file.h): the lines of
// that batch are lost, the writer carries on, and nothing is printed.
#pragma once

// Starts the writer thread, unless one runs: it creates the settings' log
// directory if missing (log/log.h), then, until StopLogWriterAndDrain, writes
// the whole queue in batches of up to 200 records (each taken under the
// queue's lock and written with the lock released, each tested for rotation)
// and sleeps 200 ms (cut short by the stop). Returns whether a writer runs:
// when the system refuses the thread, records simply wait for
// StopLogWriterAndDrain. Main thread.
bool StartLogWriter();

// Stops the writer thread, if one runs, and waits for it; then writes what is
// still queued in batches of 200, each tested for rotation. Main thread, once
// no producer can log any more.
void StopLogWriterAndDrain();

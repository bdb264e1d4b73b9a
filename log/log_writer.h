// The writer thread that empties the log queue into the log file
// (log/log_file.h), and its start and stop.
//
// Every failure of the file work is silent (see log/log_file.h): the lines of
// that batch are lost, the writer carries on, and nothing is printed.
#pragma once

#include <atomic>

namespace platform {
class Thread;
}

extern std::atomic<bool> g_bLogRunning;  // log writer loops while set
extern platform::Thread* g_pLogThread;   // the log writer, once started; main thread only

// Thread procedure of the log writer. Creates g_strLogDir if missing, then
// while g_bLogRunning is set: writes the whole queue in batches of up to 200
// records (each taken under the queue's lock and written with the lock released,
// each tested for rotation), then sleeps 200 ms (cut short by
// StopLogWriterAndDrain). Ends at the
// first poll after g_bLogRunning is cleared; what is still queued is left for
// the caller's final drain. Returns 0.
unsigned LogWriterThread(void* unused);

// Starts the writer thread into g_pLogThread (unless one is there) with
// g_bLogRunning set. When the system refuses the thread, records simply wait
// for StopLogWriterAndDrain. Main thread.
void StartLogWriter();

// Clears g_bLogRunning, waits for the writer thread to end, then writes what
// is still queued in batches of 200, each tested for rotation. Main thread,
// once no producer can log any more.
void StopLogWriterAndDrain();

// Puts the log settings, the queue and the writer's flag and thread pointer
// back to their values at process start (a running writer is not stopped).
// Never called while threads run.
void ResetLogState();

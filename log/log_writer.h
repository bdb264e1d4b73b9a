// The log file: appending batches of lines, rotation past 256 KiB, pruning to
// 30 rotated files, and the writer thread that empties the log queue.
//
// Every failure here (directory missing or unwritable, file not openable,
// rename or delete refused) is silent: the lines of that batch are lost, the
// caller carries on, and nothing is printed.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace platform {
class Thread;
}

extern std::atomic<bool> g_bLogRunning;  // log writer loops while set
extern platform::Thread* g_pLogThread;   // the log writer, once started; main thread only

// Thread procedure of the log writer. Creates g_strLogDir if missing, then
// while g_bLogRunning is set: moves up to 200 queued records into lines under
// the queue's lock, writes them with the lock released, sleeps 200 ms (cut short by StopLogWriterAndDrain). Ends at the
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

// Appends lines, in order and as given (each carries its own "\n"), to
// g_strLogDir/g_strLogFile, created if missing and never truncated; then
// calls RotateLog when the file is larger than 262,144 bytes. Takes no lock:
// one caller at a time (the writer thread, the single worker in direct mode,
// or the main thread after the writer has ended). Always returns 0.
int WriteLogLines(const std::vector<std::string>& lines);

// Renames the current log file to g_strLogDir/<%Y%m%d_%H%M%S local time>_
// g_strLogFile, never replacing an existing file (so a second rotation within
// one second fails and the file grows on), then calls PruneLogFiles whatever
// the rename did. Same caller rule as WriteLogLines.
void RotateLog();

// Deletes the oldest files named "*_" + g_strLogFile in g_strLogDir beyond
// the newest 30, by case-insensitive name order (the stamps make that the age
// order). Directories are neither counted nor deleted; nothing is deleted
// when the directory cannot be listed in full. Same caller rule as
// WriteLogLines.
void PruneLogFiles();

// Puts the log settings, the queue and the writer's flag and thread pointer
// back to their values at process start (a running writer is not stopped).
// Never called while threads run.
void ResetLogState();

// The log file: appending batches of lines, rotation past 256 KiB, pruning to
// 30 rotated files, and the writer thread that empties the log queue.
#pragma once

#include <string>
#include <vector>

// Thread procedure of the log writer: every 200 ms moves up to 200 queued
// records into the file, while g_bLogRunning is set. Returns 0.
unsigned LogWriterThread(void* unused);

// Appends lines, in order, to g_strLogDir/g_strLogFile, then rotates the file
// when it is larger than 262,144 bytes. Failures are silent. Takes no lock; one
// caller at a time. Always returns 0.
int WriteLogLines(const std::vector<std::string>& lines);

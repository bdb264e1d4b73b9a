// The log file on disk: appending batches of lines, rotation past 256 KiB and
// pruning to the newest 30 rotated files. Knows nothing of the queue, the
// writer thread or the log settings: the caller names the directory and the
// file.
//
// Every failure here (directory missing or unwritable, file not openable,
// rename or delete refused) is silent: the lines of that batch are lost, the
// caller carries on, and nothing is printed. Nothing here takes a lock: one
// caller at a time per file (the writer thread, the single worker in direct
// mode, or the main thread after the writer has ended).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Appends lines, in order and as given (each carries its own "\n"), to
// dir/name in one write, the file created if missing and never truncated; a
// symbolic link, FIFO or anything else but a regular file there is not
// written to (the lines are lost). Then rotates (RotateLogFile, stamped with
// the time of that moment) when the file is larger than 262,144 bytes.
void AppendLogLines(const std::string& dir, const std::string& name,
                    const std::vector<std::string>& lines);

// Renames dir/name to dir/<%Y%m%d_%H%M%S of now, local time>_name, never
// replacing an existing file: a name already taken gets a counter before
// name (<stamp>_r002_<name>, _r003_, ... up to _r999_, after which the file
// grows on). A time the calendar cannot hold renames nothing. Then calls
// PruneLogFiles whatever the rename did.
void RotateLogFile(const std::string& dir, const std::string& name, int64_t now);

// Deletes the oldest files named "*_" + name in dir beyond the newest 30, by
// case-insensitive name order (the stamps make that the age order). Names are
// matched case-sensitively; directories are neither counted nor deleted;
// nothing is deleted when the directory cannot be listed in full.
void PruneLogFiles(const std::string& dir, const std::string& name);

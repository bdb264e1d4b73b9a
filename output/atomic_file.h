// Replacing a file as a whole: readers see the old content or the new one,
// never a cut-off or empty file.
#pragma once

#include <string>
#include <string_view>

// Writes content to path through a hidden temporary file beside it
// (".<name>.tmp", same directory), flushed to disk with fsync and then renamed
// over path. The temporary file is locked (flock, exclusive, non-blocking)
// from its creation to the rename, so a second writer of the same path at the
// same time fails instead of mixing contents; a temporary file left by a
// crashed run is taken over.
//
// Nothing is opened through a symbolic link, and path must be missing or a
// regular file: a link, FIFO or directory there fails the save and stays as
// it was. On any failure the temporary file is removed and path is left
// untouched; returns false with the cause in *error (a strerror text, or a
// sentence for the cases without an errno). Any thread; different paths may
// be saved at the same time.
bool SaveFileAtomically(const std::string& path, std::string_view content, std::string* error);

// The temporary name SaveFileAtomically uses for path.
std::string AtomicTempPath(const std::string& path);

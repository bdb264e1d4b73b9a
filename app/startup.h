// Process start-up steps that come before the command line is read.
#pragma once

// Prints the usage text (-h, --help) or the version (--version) on standard
// output and returns true when arg is one of those; false otherwise.
bool HandleInfoOption(const char* arg);

// Locale and text conversion, open-files limit; SIGPIPE ignored, so a write
// to a closed pipe fails with EPIPE instead of ending the process.
// Main thread, before any other thread starts. False when the locale's code
// set cannot be converted to UTF-8.
bool StartupProcess();

// Library initialisation (libxml2). False when the XML library is unusable.
bool StartupLibraries();

// The last check of the target list before any scan starts.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The targets that can be scanned, in their order. An empty target would be
// scanned as the library's default peer and write a hidden ".xml"; a target
// holding a control character (C0 or DEL) would forge log lines and put them
// in file names and on the console. Each such target is left out with one
// line on err naming it, its control characters escaped. Main thread.
std::vector<std::string> UsableTargets(const std::vector<std::string>& targets, FILE* err = stderr);

// text with every control character (C0, DEL) and backslash written as a C
// escape (\n, \r, \t, \\, \xHH); other bytes as they are.
std::string EscapeControlCharacters(const std::string& text);

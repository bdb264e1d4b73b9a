// The last check of the target list before any scan starts.
#pragma once

#include <cstdint>
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

// One line on err when ips of accounts.csv (ips: every row's, in file order)
// match none of targets: how many, and the first few as written (control
// characters escaped), since a quoted or padded ip silently leaves its target
// without the account. With a shard (1 ... shard_count), only ips of that
// shard are judged: the others' targets are scanned elsewhere. Main thread.
void ReportAccountsWithoutTarget(const std::string& path, const std::vector<std::string>& ips,
                                 const std::vector<std::string>& targets, uint32_t shard,
                                 uint32_t shard_count, FILE* err = stderr);

// Target lists read from a file, and the share of a fleet that one machine
// scans when the list is spread over several.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

struct RunOptions;

// Longest line accepted in a target list, end of line included.
constexpr size_t kMaxTargetLineBytes = 65536;

// Reads one target per line from in and appends them, in order, to *targets:
// each line trimmed as a command-line target is (so CR LF ends are fine);
// lines left blank, and lines whose first non-blank character is '#', are
// skipped. Returns false with a one-line message (without the file's name or
// content) when the stream fails before its end or a line is longer than
// kMaxTargetLineBytes; the targets before that line stay appended.
bool ReadTargetList(std::istream& in, std::vector<std::string>* targets, std::string* error);

// ReadTargetList over the file at path, or standard input when path is "-".
// The message names the file.
bool ReadTargetFile(const std::string& path, std::vector<std::string>* targets, std::string* error);

// The shard, 1 ... count, that target belongs to:
// platform::Fnv1a64(target) % count + 1.
// (The remainder, not the high bits: FNV-1a leaves the high bits of short,
// similar texts such as addresses poorly mixed.) count >= 1.
uint32_t ShardOf(std::string_view target, uint32_t count);

// "-K-of-N" for shard K of N (the files a shard must not share with the
// others are named with it); "" without a shard option.
std::string ShardTag(const RunOptions& options);

// The final target list of a run: the targets of options.targets_file (when
// given) followed by the command-line targets, then, with a shard option,
// only those of shard options.shard of options.shard_count, order kept.
// Returns false with a one-line message when the file cannot be read; *targets
// is then unspecified. Main thread, before the run starts.
bool AssembleTargets(const RunOptions& options, const std::vector<std::string>& command_line,
                     std::vector<std::string>* targets, std::string* error);

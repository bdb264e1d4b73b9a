#include "app/target_list.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "app/command_line.h"
#include "platform/hash.h"

namespace {

// Adds one line (its end of line removed) unless it is blank or a comment.
void AddLine(std::string_view line, std::vector<std::string>* targets) {
  std::string target = TrimWhite(line);
  if (target.empty() || target[0] == '#') return;
  targets->push_back(std::move(target));
}

}  // namespace

bool ReadTargetList(std::istream& in, std::vector<std::string>* targets, std::string* error) {
  // Read in blocks rather than by getline, so a file without line ends (a
  // device, a binary) costs one bounded line, not all of memory.
  std::string line;
  size_t line_number = 1;
  char block[16384];
  for (;;) {
    in.read(block, sizeof block);
    const size_t got = static_cast<size_t>(in.gcount());
    if (in.bad()) {
      *error = "cannot read line " + std::to_string(line_number);
      return false;
    }
    for (size_t pos = 0; pos < got;) {
      const void* newline = memchr(block + pos, '\n', got - pos);
      const size_t end =
          newline ? static_cast<size_t>(static_cast<const char*>(newline) - block) : got;
      line.append(block + pos, end - pos);
      if (line.size() > kMaxTargetLineBytes) {
        *error = "line " + std::to_string(line_number) + " is longer than " +
                 std::to_string(kMaxTargetLineBytes) + " bytes";
        return false;
      }
      if (!newline) break;
      AddLine(line, targets);
      line.clear();
      ++line_number;
      pos = end + 1;
    }
    if (in.eof()) break;
  }
  AddLine(line, targets);
  return true;
}

bool ReadTargetFile(const std::string& path, std::vector<std::string>* targets,
                    std::string* error) {
  bool ok;
  if (path == "-") {
    ok = ReadTargetList(std::cin, targets, error);
  } else {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      *error = "is a directory";
      ok = false;
    } else {
      std::ifstream file(path, std::ios::binary);
      if (!file) {
        *error = strerror(errno);
        ok = false;
      } else {
        ok = ReadTargetList(file, targets, error);
      }
    }
  }
  if (!ok) *error = (path == "-" ? std::string("standard input") : path) + ": " + *error;
  return ok;
}

uint32_t ShardOf(std::string_view target, uint32_t count) {
  return static_cast<uint32_t>(platform::Fnv1a64(target) % count) + 1;
}

std::string ShardTag(const RunOptions& options) {
  if (options.shard_count == 0) return "";
  return "-" + std::to_string(options.shard) + "-of-" + std::to_string(options.shard_count);
}

bool AssembleTargets(const RunOptions& options, const std::vector<std::string>& command_line,
                     std::vector<std::string>* targets, std::string* error) {
  targets->clear();
  if (!options.targets_file.empty() && !ReadTargetFile(options.targets_file, targets, error)) {
    *error = "--targets: " + *error;
    return false;
  }
  targets->insert(targets->end(), command_line.begin(), command_line.end());
  if (options.shard_count > 0) {
    std::erase_if(*targets, [&](const std::string& t) {
      return ShardOf(t, options.shard_count) != options.shard;
    });
  }
  return true;
}

#include "app/device_profiles.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace {

std::string VersionText(int version) {
  return version == 1 ? "1" : version == 2 ? "2c" : version == 3 ? "3" : "";
}

int VersionNumber(const std::string& text) {
  return text == "1" ? 1 : text == "2c" ? 2 : text == "3" ? 3 : 0;
}

bool IsDeviceFileName(const std::string& name) {
  if (name == "devices.csv") return true;
  const std::string prefix = "devices-", suffix = ".csv";
  return name.size() > prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         name.find("-of-") != std::string::npos;
}

}  // namespace

DeviceProfiles LoadDeviceProfiles(const std::string& dir, const std::string& shard_tag) {
  DeviceProfiles profiles;
  profiles.path = dir + "/devices" + shard_tag + ".csv";
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir.empty() ? "/" : dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (IsDeviceFileName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());  // the same reading whatever the directory's order
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    std::vector<DeviceLine> lines;
    std::string error;
    if (!ReadDeviceFile(path, &lines, &error)) {
      if (!error.empty())
        fprintf(stderr, "mibscan: %s is ignored (%s)%s\n", path.c_str(), error.c_str(),
                path == profiles.path ? "; it is rewritten after this run" : "");
      continue;
    }
    for (const DeviceLine& line : lines) {
      auto [at, added] = profiles.known.emplace(line.target, line);
      if (!added && line.last_seen > at->second.last_seen) at->second = line;
    }
    if (path == profiles.path) profiles.own = std::move(lines);
  }
  return profiles;
}

bool FindDeviceProfile(const DeviceProfiles& profiles, const std::string& target,
                       DeviceProfile* profile) {
  auto it = profiles.known.find(target);
  if (it == profiles.known.end()) return false;
  const DeviceLine& line = it->second;
  *profile = DeviceProfile{};
  profile->version = VersionNumber(line.version);
  profile->bulk_failed = line.bulk == "failed";
  if (!profile->bulk_failed && !line.bulk.empty()) profile->bulk_repetitions = std::stoi(line.bulk);
  profile->engine_id = line.engine_id;
  return true;
}

bool SaveDeviceProfiles(const DeviceProfiles& profiles,
                        const std::vector<std::pair<std::string, DeviceProfile>>& learned,
                        const std::string& now, std::string* error) {
  std::vector<DeviceLine> lines = profiles.own;
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < lines.size(); ++i) index.emplace(lines[i].target, i);
  for (const auto& [target, seen] : learned) {
    const bool bulk_known = seen.bulk_failed || seen.bulk_repetitions > 0;
    if (seen.version == 0 && !bulk_known) continue;  // nothing new: the old line stays
    auto known = profiles.known.find(target);
    DeviceLine line;
    if (known != profiles.known.end()) line = known->second;
    line.target = target;
    if (seen.version != 0) line.version = VersionText(seen.version);
    if (bulk_known) line.bulk = seen.bulk_failed ? "failed" : std::to_string(seen.bulk_repetitions);
    if (!seen.engine_id.empty()) line.engine_id = seen.engine_id;
    line.last_seen = now;
    auto [at, added] = index.emplace(target, lines.size());
    if (added)
      lines.push_back(std::move(line));
    else
      lines[at->second] = std::move(line);
  }
  return WriteDeviceFile(profiles.path, lines, error);
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

#include "scan/engine_ids.h"

#include <map>
#include <set>

#include "log/log.h"
#include "platform/thread_annotations.h"

namespace {

platform::Mutex g_engineIdsMutex;  // lock order: platform/thread_annotations.h
std::map<std::string, std::set<std::string>> g_targetsByEngineId
    GUARDED_BY(g_engineIdsMutex);  // hex -> targets
std::map<std::string, std::string> g_engineIdByTarget GUARDED_BY(g_engineIdsMutex);

std::string Hex(const unsigned char* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0xF]);
  }
  return hex;
}

}  // namespace

void NoteEngineId(const std::string& target, const unsigned char* id, size_t length) {
  if (length == 0) return;
  std::string hex = Hex(id, length);
  platform::MutexLock lock(g_engineIdsMutex);
  g_targetsByEngineId[hex].insert(target);
  g_engineIdByTarget[target] = std::move(hex);
}

std::string EngineIdOf(const std::string& peer) {
  platform::MutexLock lock(g_engineIdsMutex);
  auto it = g_engineIdByTarget.find(peer);
  return it == g_engineIdByTarget.end() ? std::string() : it->second;
}

std::vector<std::pair<std::string, std::vector<std::string>>> SharedEngineIds() {
  std::vector<std::pair<std::string, std::vector<std::string>>> shared;
  platform::MutexLock lock(g_engineIdsMutex);
  for (const auto& [hex, targets] : g_targetsByEngineId)
    if (targets.size() > 1)
      shared.emplace_back(hex, std::vector<std::string>(targets.begin(), targets.end()));
  return shared;
}

void LogSharedEngineIds() {
  for (const auto& [hex, targets] : SharedEngineIds()) {
    std::string list;
    for (const auto& t : targets) list += (list.empty() ? "" : " ") + t;
    WriteLog("engine ID %s shared by %d targets: %s", hex.c_str(), static_cast<int>(targets.size()),
             list.c_str());
  }
}

#include "output/result_document.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "log/log.h"
#include "output/console.h"
#include "platform/hash.h"
#include "platform/text_encoding.h"

bool AddResultRows(CXmlDocument& doc, const ResultRows& rows, std::string* error,
                   const RowExtras& extras) {
  std::string oid_copy, value_copy;  // used only for texts that need converting
  std::string name;
  bool ok = true;
  rows.ForEach([&](std::string_view oid, const ResultRow& row) {
    if (!ok) return;
    XmlElement result = doc.AddRootElement("RESULT", "", "", "", error);
    if (!result) {
      ok = false;
      return;
    }
    const std::string_view oid_text = platform::LocaleToUtf8View(oid, &oid_copy);
    XmlElement oid_element;
    if (row.version != 0) {
      char number[16];
      const char* end = std::to_chars(number, number + sizeof number, row.version).ptr;
      oid_element =
          doc.AddElement(result, "OID", oid_text, "VER",
                         std::string_view(number, static_cast<size_t>(end - number)), false, error);
    } else {
      oid_element = doc.AddElement(result, "OID", oid_text, "", "", false, error);
    }
    name.clear();
    if (!oid_element || (extras.namer && extras.namer->Name(oid, &name) &&
                         !doc.AddAttribute(oid_element, "NAME", name, error))) {
      ok = false;
      return;
    }
    XmlElement value = doc.AddElement(
        result, "VALUE", platform::LocaleToUtf8View(row.value, &value_copy), "", "", false, error);
    ok = value && (!extras.value_types || !row.type ||
                   (doc.AddAttribute(value, "TYPE", row.type, error) &&
                    (!row.base64 || doc.AddAttribute(value, "ENCODING", "base64", error))));
  });
  return ok;
}

namespace {

// Longest file name the file systems in use take (NAME_MAX), less what the
// temporary name of an atomic save adds (".", ".tmp") and the ".xml".
constexpr size_t kMaxNameStem = 255 - 5 - 4;
constexpr size_t kHashMark = 17;  // "~" and 16 hexadecimal digits

// "<text>" with "/" made "_", so the file lands directly in its directory.
std::string FileStem(const std::string& target, const std::string& oid) {
  std::string name = target;
  if (!oid.empty()) name += "_[" + oid + "]";
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

// The first bytes of stem, cut at a character boundary so that the prefix
// stays readable text, then "~" and the hash in 16 hexadecimal digits:
// together at most kMaxNameStem bytes.
std::string MarkedStem(std::string stem, uint64_t hash) {
  size_t keep = std::min(stem.size(), kMaxNameStem - kHashMark);
  while (keep > 0 && keep < stem.size() && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80)
    --keep;
  char mark[kHashMark + 1];
  snprintf(mark, sizeof mark, "~%016llx", static_cast<unsigned long long>(hash));
  stem.resize(keep);
  return stem + mark;
}

}  // namespace

std::string ResultFilePath(const std::string& dir, const std::string& target,
                           const std::string& oid) {
  std::string name = FileStem(target, oid);
  if (name.size() > kMaxNameStem) name = MarkedStem(name, platform::Fnv1a64(name));
  return dir + "/" + name + ".xml";
}

std::vector<std::string> DistinctResultFilePaths(const std::string& dir,
                                                 const std::vector<std::string>& targets,
                                                 const std::string& oid) {
  std::vector<std::string> paths;
  paths.reserve(targets.size());
  // Views into targets and into paths, whose strings stay in place: reserved.
  std::unordered_map<std::string_view, size_t> first_of_target;  // target -> index into paths
  std::unordered_set<std::string_view> taken;
  for (const std::string& target : targets) {
    const auto [seen, is_new] = first_of_target.emplace(target, paths.size());
    if (!is_new) {
      paths.push_back(paths[seen->second]);
      continue;
    }
    std::string path = ResultFilePath(dir, target, oid);
    // The mark hashes the texts as given, before "/" became "_", so the
    // targets whose names met get different marks; a further round only
    // for a name that was itself taken.
    std::string key = target;
    if (!oid.empty()) key += "_[" + oid + "]";
    for (unsigned round = 0; taken.count(path) != 0; ++round) {
      const std::string hashed = round == 0 ? key : key + "~" + std::to_string(round);
      path = dir + "/" + MarkedStem(FileStem(target, oid), platform::Fnv1a64(hashed)) + ".xml";
    }
    paths.push_back(std::move(path));
    taken.insert(paths.back());
  }
  return paths;
}

bool SaveResultDocument(const std::string& path, const ResultRows& rows, std::string* error,
                        const RowExtras& extras) {
  CXmlDocument doc;
  if (!doc.Create()) {
    if (error) *error = doc.m_strError;
    return false;
  }
  // A row that cannot become an element: no partial file.
  if (!AddResultRows(doc, rows, error, extras)) return false;
  if (doc.Save(path)) return true;
  if (error) *error = doc.m_strError;
  return false;
}

bool WriteResultFile(const std::string& path, const std::string& target, const ResultRows& rows,
                     const RowExtras& extras) {
  std::string cause;
  if (SaveResultDocument(path, rows, &cause, extras)) {
    console::Print(stdout, "output: %s\n", path.c_str());
    return true;
  }
  console::Print(stdout, "output error\n");
  WriteLog("%s|output error: %s", target.c_str(), cause.c_str());
  return false;
}

std::string TargetOfResultFile(std::string_view file_name, std::string* form_oid) {
  form_oid->clear();
  std::string_view stem = file_name;
  if (stem.size() > 4 && stem.substr(stem.size() - 4) == ".xml") stem.remove_suffix(4);
  const size_t open = stem.rfind("_[");
  if (open != std::string_view::npos && open > 0 && stem.back() == ']') {
    const std::string_view oid = stem.substr(open + 2, stem.size() - open - 3);
    if (!oid.empty() && oid.find_first_of("[]") == std::string_view::npos) {
      form_oid->assign(oid);
      stem = stem.substr(0, open);
    }
  }
  return std::string(stem);
}

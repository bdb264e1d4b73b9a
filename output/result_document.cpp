#include "output/result_document.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "log/log.h"
#include "output/atomic_file.h"
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

namespace {

// The result file laid out straight from the rows, byte for byte as
// CXmlDocument lays out the document AddResultRows builds (libxml2's writer,
// indented by tabs): the rows are never copied into a tree.
class RowLayout {
 public:
  explicit RowLayout(const XmlSink& sink) : sink_(sink) {}

  bool ok() const { return ok_; }

  [[gnu::always_inline]] void Put(const char* s, size_t n) {
    if (n > sizeof buf_ - len_) [[unlikely]] {
      Flush();
      if (n > sizeof buf_) {
        ok_ = ok_ && sink_(s, n);
        return;
      }
    }
    memcpy(buf_ + len_, s, n);
    len_ += n;
  }
  template <size_t N>
  [[gnu::always_inline]] void Put(const char (&s)[N]) {
    Put(s, N - 1);
  }
  void Flush() {
    if (len_ > 0) ok_ = ok_ && sink_(buf_, len_);
    len_ = 0;
  }

  // An element's text (locale's code set), converted and cleaned as
  // CXmlDocument stores it, escaped as the writer escapes text.
  void PutText(std::string_view text) {
    PutEscaped(platform::LocaleToXmlTextView(text, &clean_copy_), kText);
  }
  // An attribute value (already UTF-8), cleaned, escaped as the writer
  // escapes attribute values.
  void PutAttribute(const char* name_and_open, size_t size, std::string_view value) {
    Put(name_and_open, size);
    PutEscaped(platform::SanitizeXmlTextView(value, &clean_copy_), kAttribute);
    Put("\"");
  }

 private:
  enum Mode { kText, kAttribute };

  // The bytes that become an entity (true); every other byte is kept.
  struct Classes {
    bool text[256] = {};
    bool attribute[256] = {};
    Classes() {
      for (unsigned char c : {'<', '>', '&', '"', '\r'}) text[c] = attribute[c] = true;
      attribute[static_cast<unsigned char>('\n')] = attribute[static_cast<unsigned char>('\t')] =
          true;
    }
  };
  static inline const Classes kClasses;

  // Whether any of the eight bytes at p is one that a text escapes.
  static bool HasTextSpecial(const char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    auto has = [&](unsigned char c) {
      const uint64_t x = w ^ (kOnes * c);
      return (x - kOnes) & ~x & kHigh;
    };
    return (has('<') | has('>') | has('&') | has('"') | has('\r')) != 0;
  }

  void PutEscaped(std::string_view s, Mode mode) {
    const bool* entity = mode == kText ? kClasses.text : kClasses.attribute;
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      const char* run = p;
      if (mode == kText)  // most texts have no markup: eight bytes at a time
        while (end - p >= 8 && !HasTextSpecial(p)) p += 8;
      while (p < end && !entity[static_cast<unsigned char>(*p)]) ++p;
      Put(run, static_cast<size_t>(p - run));
      if (p == end) return;
      switch (*p) {
        case '<':
          Put("&lt;");
          break;
        case '>':
          Put("&gt;");
          break;
        case '&':
          Put("&amp;");
          break;
        case '"':
          Put("&quot;");
          break;
        case '\r':
          Put("&#13;");
          break;
        case '\n':
          Put("&#10;");
          break;
        default:
          Put("&#9;");
          break;
      }
      ++p;
    }
  }

  const XmlSink& sink_;
  bool ok_ = true;
  size_t len_ = 0;
  std::string clean_copy_;  // used only for texts that need it
  char buf_[64 * 1024];
};

}  // namespace

bool WriteResultRows(const ResultRows& rows, const XmlSink& sink, const RowExtras& extras) {
  auto out = std::make_unique<RowLayout>(sink);
  out->Put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  if (rows.IsEmpty()) {
    out->Put("<RESULTS/>\n");
    out->Flush();
    return out->ok();
  }
  out->Put("<RESULTS>\n");
  std::string name;
  rows.ForEach([&](std::string_view oid, const ResultRow& row) {
    out->Put("\t<RESULT>\n\t\t<OID");
    if (row.version != 0) {
      char number[16];
      const char* end = std::to_chars(number, number + sizeof number, row.version).ptr;
      out->PutAttribute(" VER=\"", 6, std::string_view(number, static_cast<size_t>(end - number)));
    }
    name.clear();
    if (extras.namer && extras.namer->Name(oid, &name)) out->PutAttribute(" NAME=\"", 7, name);
    if (oid.empty()) {
      out->Put("/>\n");
    } else {
      out->Put(">");
      out->PutText(oid);
      out->Put("</OID>\n");
    }
    out->Put("\t\t<VALUE");
    if (extras.value_types && row.type) {
      out->PutAttribute(" TYPE=\"", 7, row.type);
      if (row.base64) out->Put(" ENCODING=\"base64\"");
    }
    if (row.value.empty()) {
      out->Put("/>\n\t</RESULT>\n");
    } else {
      out->Put(">");
      out->PutText(row.value);
      out->Put("</VALUE>\n\t</RESULT>\n");
    }
  });
  out->Put("</RESULTS>\n");
  out->Flush();
  return out->ok();
}

bool SaveResultDocument(const std::string& path, const ResultRows& rows, std::string* error,
                        const RowExtras& extras) {
  AtomicFileWriter file;
  std::string cause;
  if (!file.Begin(path, &cause)) {
    if (error) *error = cause;
    return false;
  }
  // Streamed: no copy of the whole text, and the disk writes while the rest
  // is laid out.
  if (!WriteResultRows(
          rows, [&file](const char* data, size_t size) { return file.Append(data, size); },
          extras)) {
    // The writer removes the temporary file as it goes.
    if (!file.WriteError(&cause)) cause = "cannot serialise the document";
    if (error) *error = cause;
    return false;
  }
  if (!file.Commit(&cause)) {
    if (error) *error = cause;
    return false;
  }
  return true;
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

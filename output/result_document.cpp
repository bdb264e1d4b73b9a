#include "output/result_document.h"

#include <charconv>
#include <cstdio>
#include <exception>
#include <string_view>

#include "log/log.h"
#include "output/console.h"
#include "platform/hash.h"
#include "platform/text_encoding.h"

void AddResultRows(CXmlDocument& doc, const ResultRows& rows, const RowExtras& extras) {
  std::string oid_copy, value_copy;  // used only for texts that need converting
  std::string name;
  rows.ForEach([&](std::string_view oid, const ResultRow& row) {
    XmlElement result = doc.AddRootElement("RESULT", "", "", "");
    const std::string_view oid_text = platform::LocaleToUtf8View(oid, &oid_copy);
    XmlElement oid_element;
    if (row.version != 0) {
      char number[16];
      const char* end = std::to_chars(number, number + sizeof number, row.version).ptr;
      oid_element =
          doc.AddElement(result, "OID", oid_text, "VER",
                         std::string_view(number, static_cast<size_t>(end - number)), false);
    } else {
      oid_element = doc.AddElement(result, "OID", oid_text, "", "", false);
    }
    name.clear();
    if (extras.namer && extras.namer->Name(oid, &name)) doc.AddAttribute(oid_element, "NAME", name);
    XmlElement value = doc.AddElement(
        result, "VALUE", platform::LocaleToUtf8View(row.value, &value_copy), "", "", false);
    if (extras.value_types && row.type) {
      doc.AddAttribute(value, "TYPE", row.type);
      if (row.base64) doc.AddAttribute(value, "ENCODING", "base64");
    }
  });
}

namespace {

// Longest file name the file systems in use take (NAME_MAX), less what the
// temporary name of an atomic save adds (".", ".tmp") and the ".xml".
constexpr size_t kMaxNameStem = 255 - 5 - 4;
constexpr size_t kHashMark = 17;  // "~" and 16 hexadecimal digits

}  // namespace

std::string ResultFilePath(const std::string& dir, const std::string& target,
                           const std::string& oid) {
  std::string name = target;
  if (!oid.empty()) name += "_[" + oid + "]";
  for (char& c : name)
    if (c == '/') c = '_';
  if (name.size() > kMaxNameStem) {
    const uint64_t hash = platform::Fnv1a64(name);
    size_t keep = kMaxNameStem - kHashMark;
    // Not inside a UTF-8 sequence, so the prefix stays readable text.
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    char mark[kHashMark + 1];
    snprintf(mark, sizeof mark, "~%016llx", static_cast<unsigned long long>(hash));
    name.resize(keep);
    name += mark;
  }
  return dir + "/" + name + ".xml";
}

bool SaveResultDocument(const std::string& path, const ResultRows& rows, std::string* error,
                        const RowExtras& extras) {
  CXmlDocument doc;
  if (!doc.Create()) {
    if (error) *error = doc.m_strError;
    return false;
  }
  try {
    AddResultRows(doc, rows, extras);
  } catch (const std::exception& e) {
    // A row that cannot become an element: no partial file.
    if (error) *error = e.what();
    return false;
  }
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

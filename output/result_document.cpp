#include "output/result_document.h"

#include <charconv>
#include <string_view>
#include <exception>

#include "platform/text_encoding.h"

void AddResultRows(CXmlDocument& doc, const CStringMap<std::string>& values,
                   const CStringMap<intptr_t>& versions) {
  std::string oidCopy, valueCopy;  // used only for texts that need converting
  values.ForEach([&](const std::string& oid, const std::string& value) {
    XmlElement result = doc.AddRootElement("RESULT", "", "", "");
    const std::string_view oidText = platform::LocaleToUtf8View(oid, &oidCopy);
    if (const intptr_t* version = versions.Find(oid)) {
      char number[16];
      const char* end = std::to_chars(number, number + sizeof number, static_cast<int>(*version)).ptr;
      doc.AddElement(result, "OID", oidText, "VER", std::string_view(number, static_cast<size_t>(end - number)),
                     false);
    } else {
      doc.AddElement(result, "OID", oidText, "", "", false);
    }
    doc.AddElement(result, "VALUE", platform::LocaleToUtf8View(value, &valueCopy), "", "", false);
  });
}

std::string ResultFilePath(const std::string& dir, const std::string& target, const std::string& oid) {
  std::string name = target;
  if (!oid.empty()) name += "_[" + oid + "]";
  for (char& c : name)
    if (c == '/') c = '_';
  return dir + "/" + name + ".xml";
}

bool SaveResultDocument(const std::string& path, const CStringMap<std::string>& values,
                        const CStringMap<intptr_t>& versions) {
  CXmlDocument doc;
  if (!doc.Create()) return false;
  try {
    AddResultRows(doc, values, versions);
  } catch (const std::exception&) {
    // A row that cannot become an element: no partial file.
    return false;
  }
  return doc.Save(path);
}

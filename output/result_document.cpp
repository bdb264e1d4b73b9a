#include "output/result_document.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <exception>

#include "app/globals.h"
#include "output/console.h"
#include "platform/text_encoding.h"
#include "scan/mib.h"

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

bool CMIB::WriteResultFile() {
  CXmlDocument doc;
  bool ok = doc.Create();
  if (ok) {
    try {
      AddResultRows(doc, m_mapValues, m_mapVersions);
    } catch (const std::exception&) {
      // A row that cannot become an element: no partial file.
      ok = false;
    }
  }
  m_strResultFile = ResultFilePath(g_strModuleDir, m_strTarget, g_strOid);
  if (ok) {
    ok = doc.Save(m_strResultFile);
    if (ok) console::Print(stdout, "output: %s\n", m_strResultFile.c_str());
  }
  if (!ok) console::Print(stdout, "output error\n");
  return ok;
}

#include "output/result_document.h"

#include <cstdio>
#include <exception>

#include "app/globals.h"
#include "platform/text_encoding.h"
#include "scan/mib.h"

void AddResultRows(CXmlDocument& doc, const CStringMap<std::string>& values,
                   const CStringMap<intptr_t>& versions) {
  values.ForEach([&](const std::string& oid, const std::string& value) {
    XmlElement result = doc.AddRootElement("RESULT", "", "", "");
    const std::string oidText = platform::LocaleToUtf8(oid);
    if (const intptr_t* version = versions.Find(oid))
      doc.AddElement(result, "OID", oidText, "VER", std::to_string(static_cast<int>(*version)), false);
    else
      doc.AddElement(result, "OID", oidText, "", "", false);
    doc.AddElement(result, "VALUE", platform::LocaleToUtf8(value), "", "", false);
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
  if (ok) {
    const std::string path = ResultFilePath(g_strModuleDir, m_strTarget, g_strOid);
    ok = doc.Save(path);
    if (ok) printf("output: %s\n", path.c_str());
  }
  if (!ok) printf("output error\n");
  return ok;
}

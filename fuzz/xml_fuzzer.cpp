// Any bytes as OID texts, value texts, versions, element and attribute names,
// target and command-line OID: the document always serialises to XML that
// libxml2 parses back strictly, with every text as it was built, laid out
// byte for byte as libxml2's writer lays out the same tree element by element,
// and the result file name never leaves its directory.
#include <fuzzer/FuzzedDataProvider.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/result_document.h"
#include "output/xml_document.h"
#include "platform/string_map.h"
#include "platform/text_encoding.h"
#include "tests/output/reference_layout.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "xml_fuzzer: %s\n", what);
    abort();
  }
}

std::string Text(const xmlNode* n) {
  std::string s;
  for (const xmlNode* c = n->children; c; c = c->next)
    if (c->type == XML_TEXT_NODE && c->content) s += reinterpret_cast<const char*>(c->content);
  return s;
}

const xmlNode* NextElement(const xmlNode* n) {
  while (n && n->type != XML_ELEMENT_NODE) n = n->next;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  static const char* const kCodesets[] = {"UTF-8", "ISO-8859-1", "CP1252", "CP932"};
  Check(platform::SetTextCodeset(kCodesets[in.ConsumeIntegralInRange<int>(0, 3)]), "codeset");

  const std::string target = in.ConsumeRandomLengthString(64);
  const std::string cmd_oid = in.ConsumeRandomLengthString(64);
  const std::string path = ResultFilePath("/dir", target, cmd_oid);
  Check(path.compare(0, 5, "/dir/") == 0 && path.find('/', 5) == std::string::npos,
        "file name leaves dir");

  ResultRows rows;
  const int row_count = in.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < row_count; ++i) {
    std::string oid = in.ConsumeRandomLengthString(64);
    ResultRow row;
    row.value = in.ConsumeRandomLengthString(256);
    if (in.ConsumeBool()) row.version = in.ConsumeIntegral<int>();
    rows.SetAt(oid, std::move(row));
  }

  CXmlDocument doc;
  Check(doc.Create(), "create");
  // Its first element gives the reference layout the tree.
  const XmlElement first = doc.AddRootElement("FIRST", "", "", "");
  // Every row text is cleaned, so no row is refused.
  Check(AddResultRows(doc, rows), "rows");
  // Free names: refused (no element) or stored so that the file still parses.
  // A child below the free element gives it mixed content when it has text.
  const std::string name = in.ConsumeRandomLengthString(16);
  const std::string attr = in.ConsumeRandomLengthString(16);
  XmlElement free = doc.AddRootElement(name, in.ConsumeRandomLengthString(32), attr,
                                       in.ConsumeRandomLengthString(32));
  if (free && in.ConsumeBool())
    doc.AddElement(free, in.ConsumeRandomLengthString(16), in.ConsumeRandomLengthString(32), "", "",
                   in.ConsumeBool());
  if (free && in.ConsumeBool())
    doc.AddRootElement("AFTER", in.ConsumeRandomLengthString(32), "", "");

  std::string bytes;
  Check(doc.Serialize(&bytes), "serialise");
  Check(bytes == testxml::ReferenceLayout(first->doc), "layout differs from the writer's own");
  xmlDocPtr parsed = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!parsed) {
    const xmlError* e = xmlGetLastError();
    fprintf(stderr, "%s\n%s", e && e->message ? e->message : "", bytes.c_str());
  }
  Check(parsed != nullptr, "saved document does not parse");

  // Every row reads back as built, in map order.
  const xmlNode* result = NextElement(NextElement(xmlDocGetRootElement(parsed)->children)->next);
  rows.ForEach([&](std::string_view oid, const ResultRow& row) {
    Check(result != nullptr, "row missing");
    const xmlNode* oid_node = NextElement(result->children);
    Check(oid_node && Text(oid_node) == platform::SanitizeXmlText(platform::LocaleToUtf8(oid)),
          "OID text");
    const xmlNode* value_node = NextElement(oid_node->next);
    Check(value_node &&
              Text(value_node) == platform::SanitizeXmlText(platform::LocaleToUtf8(row.value)),
          "VALUE text");
    result = NextElement(result->next);
  });
  xmlFreeDoc(parsed);
  return 0;
}

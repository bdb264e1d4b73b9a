// Any bytes as OID texts, value texts, versions, MIB names, element and
// attribute names, target and command-line OID: the document always
// serialises to XML that libxml2 parses back strictly, with every text as it
// was built, laid out byte for byte as libxml2's writer lays out the same tree
// element by element; the result file laid out straight from the rows is
// byte for byte that of the rows' tree; and the result file name never leaves
// its directory.
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

// The names the input gives, one per row in map order; an empty one: none.
class ListNamer : public RowNamer {
 public:
  explicit ListNamer(std::vector<std::string> names) : names_(std::move(names)) {}
  bool Name(std::string_view, std::string* out) override {
    const std::string& name = names_[next_++ % names_.size()];
    *out += name;
    return !name.empty();
  }
  void Restart() { next_ = 0; }

 private:
  std::vector<std::string> names_;
  size_t next_ = 0;
};

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

  static const char* const kTypes[] = {nullptr, "INTEGER", "OCTET STRING", "Counter64"};
  ResultRows rows;
  std::vector<std::string> names;
  const int row_count = in.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < row_count; ++i) {
    std::string oid = in.ConsumeRandomLengthString(64);
    const std::string value = in.ConsumeRandomLengthString(256);
    ResultRow row;
    row.value = value;
    if (in.ConsumeBool()) row.version = in.ConsumeIntegral<int>();
    row.type = kTypes[in.ConsumeIntegralInRange<int>(0, 3)];
    row.base64 = in.ConsumeBool();
    names.push_back(in.ConsumeRandomLengthString(32));
    rows.SetAt(oid, row);
  }
  ListNamer namer(names.empty() ? std::vector<std::string>{""} : names);
  const bool named = in.ConsumeBool();
  const RowExtras extras{in.ConsumeBool(), named ? &namer : nullptr};

  // The result file straight from the rows against the rows' own tree.
  std::string direct;
  Check(WriteResultRows(
            rows,
            [&direct](const char* data, size_t size) {
              direct.append(data, size);
              return true;
            },
            extras),
        "rows written");
  namer.Restart();
  CXmlDocument rows_doc;
  Check(rows_doc.Create() && AddResultRows(rows_doc, rows, nullptr, extras), "rows' tree");
  std::string tree;
  Check(rows_doc.Serialize(&tree), "rows' tree serialised");
  Check(direct == tree, "rows written straight differ from their tree's layout");
  namer.Restart();

  CXmlDocument doc;
  Check(doc.Create(), "create");
  // Its first element gives the reference layout the tree.
  const XmlElement first = doc.AddRootElement("FIRST", "", "", "");
  // Every row text is cleaned, so no row is refused.
  Check(AddResultRows(doc, rows, nullptr, extras), "rows");
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

// Reads saved XML back through libxml2 into a plain tree the tests compare.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <map>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace testxml {

struct Element {
  std::string name;
  std::map<std::string, std::string> attrs;
  std::string text;  // the element's own text nodes, joined
  bool has_text_node = false;
  std::vector<Element> children;
};

inline Element Convert(xmlNodePtr node) {
  Element e;
  e.name = reinterpret_cast<const char*>(node->name);
  for (xmlAttrPtr a = node->properties; a; a = a->next) {
    xmlChar* v = xmlNodeListGetString(node->doc, a->children, 1);
    e.attrs[reinterpret_cast<const char*>(a->name)] = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
  }
  for (xmlNodePtr n = node->children; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) {
      e.children.push_back(Convert(n));
    } else if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      e.has_text_node = true;
      if (n->content) e.text += reinterpret_cast<const char*>(n->content);
    }
  }
  return e;
}

// Strict parse (no recovery, no network). False with the parser's message
// when the bytes are not a well-formed document.
inline bool Parse(const std::string& bytes, Element* root, std::string* error) {
  xmlResetLastError();
  xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc || !xmlDocGetRootElement(doc)) {
    const xmlError* e = xmlGetLastError();
    *error = e && e->message ? e->message : "no document element";
    if (doc) xmlFreeDoc(doc);
    return false;
  }
  *root = Convert(xmlDocGetRootElement(doc));
  xmlFreeDoc(doc);
  return true;
}

inline bool IsBlank(const std::string& s) {
  return s.find_first_not_of(" \t\r\n") == std::string::npos;
}

// OID text -> value text of one result file; false when it does not parse
// or holds anything but RESULT elements of two children.
inline bool ReadResultRows(const std::string& path, std::map<std::string, std::string>* rows,
                           std::string* error) {
  Element root;
  if (!Parse(testutil::ReadFile(path), &root, error)) return false;
  for (const auto& result : root.children) {
    if (result.name != "RESULT" || result.children.size() != 2) {
      *error = "unexpected element " + result.name;
      return false;
    }
    (*rows)[result.children[0].text] = result.children[1].text;
  }
  return true;
}

}  // namespace testxml

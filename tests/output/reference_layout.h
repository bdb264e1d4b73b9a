// The layout a result document must have, made the slow, obvious way: the
// tree handed to libxml2's writer element by element. Shared by the unit
// tests and the XML fuzz target.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <string>

namespace testxml {

// The reference layout: the same tree handed to the writer element by
// element, so the writer itself does every escape and indent.
inline bool WriteThroughWriter(xmlTextWriterPtr w, xmlNodePtr e, bool indent) {
  if (xmlTextWriterStartElement(w, e->name) < 0) return false;
  for (xmlAttrPtr a = e->properties; a; a = a->next) {
    xmlChar* v = xmlNodeListGetString(e->doc, a->children, 1);
    const int rc = xmlTextWriterWriteAttribute(w, a->name, v ? v : BAD_CAST "");
    xmlFree(v);
    if (rc < 0) return false;
  }
  bool text = false, child = false;
  for (xmlNodePtr n = e->children; n; n = n->next) {
    text = text || (n->type == XML_TEXT_NODE && n->content && *n->content);
    child = child || n->type == XML_ELEMENT_NODE;
  }
  const bool mixed = indent && text && child;
  if (mixed) xmlTextWriterSetIndent(w, 0);
  for (xmlNodePtr n = e->children; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE && !WriteThroughWriter(w, n, indent && !mixed)) return false;
    if (n->type == XML_TEXT_NODE && n->content && *n->content &&
        xmlTextWriterWriteString(w, n->content) < 0)
      return false;
  }
  if (xmlTextWriterEndElement(w) < 0) return false;
  if (mixed) xmlTextWriterSetIndent(w, 1), xmlTextWriterWriteRaw(w, BAD_CAST "\n");
  return true;
}

inline std::string ReferenceLayout(xmlDocPtr doc) {
  xmlBufferPtr buffer = xmlBufferCreate();
  xmlTextWriterPtr w = xmlNewTextWriterMemory(buffer, 0);
  bool ok =
      xmlTextWriterSetIndent(w, 1) >= 0 && xmlTextWriterSetIndentString(w, BAD_CAST "\t") >= 0 &&
      xmlTextWriterStartDocument(w, "1.0", "UTF-8", nullptr) >= 0 &&
      WriteThroughWriter(w, xmlDocGetRootElement(doc), true) && xmlTextWriterEndDocument(w) >= 0;
  xmlFreeTextWriter(w);
  std::string out = ok ? std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                                     static_cast<size_t>(xmlBufferLength(buffer)))
                       : "writer failed";
  xmlBufferFree(buffer);
  return out;
}

}  // namespace testxml

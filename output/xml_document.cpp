#include "output/xml_document.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlwriter.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/text_encoding.h"

namespace {

const char kTemplate[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<RESULTS/>";

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

struct XmlFree {
  void operator()(xmlChar* p) const { xmlFree(p); }
  void operator()(xmlBufferPtr p) const { xmlBufferFree(p); }
  void operator()(xmlTextWriterPtr p) const { xmlFreeTextWriter(p); }
};

// A name as it goes into the document: "&" becomes "-"; anything that is
// still no XML name is refused rather than written as broken markup.
std::string CheckedName(std::string_view name) {
  std::string s(name);
  for (char& c : s)
    if (c == '&') c = '-';
  // xmlValidateName reads ill-formed UTF-8 as Latin-1, so check that first.
  if (platform::SanitizeXmlText(s) != s || xmlValidateName(X(s), 0) != 0)
    throw CXmlError(CXmlError::E_INVALIDARG, "invalid XML name");
  return s;
}

// Text and element children side by side.
bool HasMixedContent(xmlNodePtr element) {
  bool text = false, child = false;
  for (xmlNodePtr n = element->children; n; n = n->next) {
    text = text || (n->type == XML_TEXT_NODE && n->content && *n->content);
    child = child || n->type == XML_ELEMENT_NODE;
  }
  return text && child;
}

// The writer indents element-only content. Inside an element that has text
// of its own, indentation would become part of that text, so it is switched
// off for the element's whole content and the line is ended by hand.
// Recursion goes as deep as the document (two levels below RESULTS here).
bool WriteElement(xmlTextWriterPtr w, xmlNodePtr element, bool indent) {
  if (xmlTextWriterStartElement(w, element->name) < 0) return false;
  for (xmlAttrPtr a = element->properties; a; a = a->next) {
    std::unique_ptr<xmlChar, XmlFree> value(xmlNodeListGetString(element->doc, a->children, 1));
    if (xmlTextWriterWriteAttribute(w, a->name, value ? value.get() : BAD_CAST "") < 0) return false;
  }
  const bool mixed = indent && HasMixedContent(element);
  if (mixed && xmlTextWriterSetIndent(w, 0) < 0) return false;
  for (xmlNodePtr n = element->children; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) {
      if (!WriteElement(w, n, indent && !mixed)) return false;
    } else if (n->type == XML_TEXT_NODE && n->content && *n->content) {
      if (xmlTextWriterWriteString(w, n->content) < 0) return false;
    }
  }
  if (xmlTextWriterEndElement(w) < 0) return false;
  if (mixed && (xmlTextWriterSetIndent(w, 1) < 0 || xmlTextWriterWriteRaw(w, BAD_CAST "\n") < 0)) return false;
  return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

CXmlDocument::~CXmlDocument() {
  if (m_pDoc) xmlFreeDoc(m_pDoc);
}

bool CXmlDocument::Create() {
  if (m_pDoc) {
    xmlFreeDoc(m_pDoc);
    m_pDoc = nullptr;
  }
  xmlResetLastError();
  m_pDoc = xmlReadMemory(kTemplate, sizeof kTemplate - 1, nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (m_pDoc && xmlDocGetRootElement(m_pDoc)) return true;
  const xmlError* e = xmlGetLastError();
  m_nErrorCode = e ? e->code : -1;
  m_strError = e && e->message ? e->message : "cannot build the document";
  while (!m_strError.empty() && m_strError.back() == '\n') m_strError.pop_back();
  return false;
}

XmlElement CXmlDocument::AddRootElement(std::string_view name, std::string_view text,
                                        std::string_view attrName, std::string_view attrValue) {
  xmlNodePtr root = m_pDoc ? xmlDocGetRootElement(m_pDoc) : nullptr;
  if (!root) throw CXmlError(CXmlError::E_POINTER, "no document element");
  return AddElement(root, name, text, attrName, attrValue, false);
}

XmlElement CXmlDocument::AddElement(XmlElement pParent, std::string_view name, std::string_view text,
                                    std::string_view attrName, std::string_view attrValue,
                                    bool bNoText) {
  if (!m_pDoc || !pParent) throw CXmlError(CXmlError::E_POINTER, "no document or parent");
  if (pParent->doc != m_pDoc || pParent->type != XML_ELEMENT_NODE)
    throw CXmlError(CXmlError::E_INVALIDARG, "parent is not an element of this document");
  const std::string elementName = CheckedName(name);
  const std::string attributeName = attrName.empty() ? std::string() : CheckedName(attrName);

  xmlNodePtr element = xmlNewDocNode(m_pDoc, nullptr, X(elementName), nullptr);
  if (!element) throw CXmlError(CXmlError::E_OUTOFMEMORY, "out of memory");
  xmlAddChild(pParent, element);
  if (!attributeName.empty() &&
      !xmlSetProp(element, X(attributeName), X(platform::SanitizeXmlText(attrValue))))
    throw CXmlError(CXmlError::E_OUTOFMEMORY, "out of memory");
  if (!bNoText) {
    const std::string clean = platform::SanitizeXmlText(text);
    // xmlAddChild would merge adjacent text nodes and free this one; the
    // element is new, so this text is its first child.
    xmlNodePtr node = xmlNewDocTextLen(m_pDoc, X(clean), static_cast<int>(clean.size()));
    if (!node) throw CXmlError(CXmlError::E_OUTOFMEMORY, "out of memory");
    xmlAddChild(element, node);
  }
  return element;
}

bool CXmlDocument::Serialize(std::string* out) {
  xmlNodePtr root = m_pDoc ? xmlDocGetRootElement(m_pDoc) : nullptr;
  if (!root) {
    m_nErrorCode = CXmlError::E_POINTER;
    m_strError = "no document element";
    return false;
  }
  std::unique_ptr<xmlBuffer, XmlFree> buffer(xmlBufferCreate());
  std::unique_ptr<xmlTextWriter, XmlFree> writer(buffer ? xmlNewTextWriterMemory(buffer.get(), 0) : nullptr);
  bool ok = writer && xmlTextWriterSetIndent(writer.get(), 1) >= 0 &&
            xmlTextWriterSetIndentString(writer.get(), BAD_CAST "\t") >= 0 &&
            xmlTextWriterStartDocument(writer.get(), "1.0", "UTF-8", nullptr) >= 0 &&
            WriteElement(writer.get(), root, true) && xmlTextWriterEndDocument(writer.get()) >= 0;
  if (ok) ok = xmlTextWriterFlush(writer.get()) >= 0;
  writer.reset();  // flushes into the buffer
  if (!ok) {
    m_nErrorCode = 0;
    m_strError = "cannot serialise the document";
    return false;
  }
  out->assign(C(xmlBufferContent(buffer.get())), static_cast<size_t>(xmlBufferLength(buffer.get())));
  return true;
}

bool CXmlDocument::Save(const std::string& path) {
  std::string text;
  if (!Serialize(&text)) return false;

  // O_NONBLOCK: a FIFO in the way must fail the save, not hang the job.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  bool ok = ftruncate(fd, 0) == 0 && WriteAll(fd, text.data(), text.size());
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    m_nErrorCode = err;
    m_strError = std::generic_category().message(err);
  }
  return ok;
}

#include "output/xml_document.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlwriter.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>

#include "output/atomic_file.h"
#include "platform/text_encoding.h"

namespace {

const char kTemplate[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<RESULTS/>";
const char kIndent[] = "\t";  // the writer's indentation, one level
constexpr size_t kMaxCachedNames = 16;
constexpr size_t kRawChunk = 64 * 1024;  // laid-out rows handed to the writer at once

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
// The bytes of s for the length-taking calls; never a null pointer.
const xmlChar* Bytes(std::string_view s) {
  return s.data() ? reinterpret_cast<const xmlChar*>(s.data()) : BAD_CAST "";
}

struct XmlFree {
  void operator()(xmlChar* p) const { xmlFree(p); }
  void operator()(xmlTextWriterPtr p) const { xmlFreeTextWriter(p); }
};

// A name as it goes into the document: "&" becomes "-"; anything that is
// still no XML name is refused (false) rather than written as broken markup.
bool CheckedName(std::string_view name, std::string* checked) {
  std::string& s = *checked;
  s.assign(name);
  for (char& c : s)
    if (c == '&') c = '-';
  // xmlValidateName reads ill-formed UTF-8 as Latin-1, so check that first.
  return platform::SanitizeXmlText(s) == s && xmlValidateName(X(s), 0) == 0;
}

// Record why an element operation failed, for its return.
bool Refuse(std::string* error, const char* cause) {
  if (error) *error = cause;
  return false;
}
std::nullptr_t Fail(std::string* error, const char* cause) {
  Refuse(error, cause);
  return nullptr;
}

// A text node of doc holding text (which needs no NUL); null when out of
// memory. Always a block of libxml2's own: keeping short texts inside the
// node's unused pointer fields, as its parser's compact mode does, saved only
// 8.4% of the result file's instructions per row (callgrind,
// bench/result_file_bench, 20,000 rows), too little for a form that no public
// libxml2 header promises to keep freeing correctly.
xmlNodePtr NewText(xmlDocPtr doc, std::string_view text) {
  return xmlNewDocTextLen(doc, Bytes(text), static_cast<int>(text.size()));
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
    if (xmlTextWriterWriteAttribute(w, a->name, value ? value.get() : BAD_CAST "") < 0)
      return false;
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
  if (mixed && (xmlTextWriterSetIndent(w, 1) < 0 || xmlTextWriterWriteRaw(w, BAD_CAST "\n") < 0))
    return false;
  return true;
}

// Escapes of the writer: text goes through xmlEncodeSpecialChars, attribute
// values through the attribute serialiser. Empty entries: byte kept as is.
struct Escape {
  const char* text = nullptr;
  size_t size = 0;
};
struct Escapes {
  Escape text[256];
  Escape attr[256];
  Escapes() {
    Set(text, '<', "&lt;"), Set(text, '>', "&gt;"), Set(text, '&', "&amp;");
    Set(text, '"', "&quot;"), Set(text, '\r', "&#13;");
    for (int c = 0; c < 256; ++c) attr[c] = text[c];
    Set(attr, '\n', "&#10;"), Set(attr, '\t', "&#9;");
  }
  static void Set(Escape* table, unsigned char c, const char* e) {
    table[c] = Escape{e, strlen(e)};
  }
};
const Escapes kEscapes;
const char kTextSpecials[] = "<>&\"\r";
const char kAttrSpecials[] = "<>&\"\r\n\t";

// The layout buffer: appends with one capacity check per piece.
class Layout {
 public:
  size_t size() const { return len_; }
  const char* data() const { return buf_.get(); }
  void Truncate(size_t n) { len_ = n; }

  [[gnu::always_inline]] void Put(const char* s, size_t n) {
    memcpy(Room(n), s, n);
    len_ += n;
  }
  [[gnu::always_inline]] void Put(char c) {
    *Room(1) = c;
    ++len_;
  }
  void Put(const xmlChar* s) { Put(C(s), strlen(C(s))); }
  void PutIndent(int depth) {
    for (int i = 0; i < depth; ++i) Put(kIndent, sizeof kIndent - 1);
  }
  // s with the bytes in specials replaced by their entries in table.
  void PutEscaped(const xmlChar* s, const char* specials, const Escape* table) {
    for (;;) {
      const size_t n = strcspn(C(s), specials);
      Put(C(s), n);
      s += n;
      if (!*s) return;
      Put(table[*s].text, table[*s].size);
      ++s;
    }
  }

 private:
  char* Room(size_t n) {
    if (capacity_ - len_ < n) [[unlikely]]
      Grow(n);
    return buf_.get() + len_;
  }
  // The first growth makes room for a whole run, so a run is rarely copied.
  [[gnu::noinline]] void Grow(size_t n) {
    const size_t capacity = std::max({capacity_ * 2, len_ + n + 4096, kRawChunk + 16 * 1024});
    std::unique_ptr<char[]> buf(new char[capacity]);
    if (len_) memcpy(buf.get(), buf_.get(), len_);
    buf_ = std::move(buf);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> buf_;
  size_t capacity_ = 0;
  size_t len_ = 0;
};

// Appends element, indented by depth levels, exactly as WriteElement would
// have the writer lay it out with indentation on. Returns false when the
// subtree needs the writer itself: mixed content, an attribute that is not a
// plain text, or an attribute value beyond ASCII (the writer turns those
// into character references); out then holds a partial layout.
bool AppendPlain(Layout* out, xmlNodePtr element, int depth) {
  out->PutIndent(depth);
  out->Put('<');
  out->Put(element->name);
  for (xmlAttrPtr a = element->properties; a; a = a->next) {
    const xmlNode* v = a->children;
    if (v && (v->type != XML_TEXT_NODE || v->next)) return false;
    const xmlChar* value = v && v->content ? v->content : BAD_CAST "";
    for (const xmlChar* p = value; *p; ++p)
      if (*p >= 0x80) return false;
    out->Put(' ');
    out->Put(a->name);
    out->Put("=\"", 2);
    out->PutEscaped(value, kAttrSpecials, kEscapes.attr);
    out->Put('"');
  }
  bool text = false, child = false;
  for (xmlNodePtr n = element->children; n; n = n->next) {
    text = text || (n->type == XML_TEXT_NODE && n->content && *n->content);
    child = child || n->type == XML_ELEMENT_NODE;
  }
  if (text && child) return false;
  if (!text && !child) {
    out->Put("/>\n", 3);
    return true;
  }
  out->Put('>');
  if (text) {
    for (xmlNodePtr n = element->children; n; n = n->next)
      if (n->type == XML_TEXT_NODE && n->content)
        out->PutEscaped(n->content, kTextSpecials, kEscapes.text);
  } else {
    out->Put('\n');
    for (xmlNodePtr n = element->children; n; n = n->next)
      if (n->type == XML_ELEMENT_NODE && !AppendPlain(out, n, depth + 1)) return false;
    out->PutIndent(depth);
  }
  out->Put("</", 2);
  out->Put(element->name);
  out->Put(">\n", 2);
  return true;
}

bool WriteRaw(xmlTextWriterPtr w, const Layout& layout) {
  for (size_t pos = 0; pos < layout.size();) {
    const size_t n = std::min(layout.size() - pos, static_cast<size_t>(INT_MAX / 2));
    if (xmlTextWriterWriteRawLen(w, BAD_CAST layout.data() + pos, static_cast<int>(n)) < 0)
      return false;
    pos += n;
  }
  return true;
}

// The document element with indentation on. Its children are laid out by
// AppendPlain and handed to the writer in large raw runs (element by element
// through the writer costs several times more); a child that AppendPlain
// cannot lay out goes through WriteElement. The writer's own rules decide
// whatever is around them: the start tag's ">" comes from the writer, its
// line end from the first run, and the end tag at depth 0 needs no indent.
bool WriteDocumentElement(xmlTextWriterPtr w, xmlNodePtr root) {
  bool plain_root = root->properties == nullptr;
  for (xmlNodePtr n = root->children; n && plain_root; n = n->next)
    plain_root = !(n->type == XML_TEXT_NODE && n->content && *n->content);
  if (!plain_root) return WriteElement(w, root, true);

  if (xmlTextWriterStartElement(w, root->name) < 0) return false;
  Layout run;
  bool start_tag_open = true;
  auto flush = [&] {
    const bool ok = WriteRaw(w, run);
    run.Truncate(0);
    return ok;
  };
  for (xmlNodePtr n = root->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    const size_t mark = run.size();
    if (start_tag_open && mark == 0) run.Put('\n');
    if (AppendPlain(&run, n, 1)) {
      start_tag_open = false;
      if (run.size() >= kRawChunk && !flush()) return false;
      continue;
    }
    run.Truncate(start_tag_open ? 0 : mark);
    if (!flush() || !WriteElement(w, n, true)) return false;
    start_tag_open = false;
  }
  return flush() && xmlTextWriterEndElement(w) >= 0;
}

// Output callback of the writer: hands the bytes to the XmlSink in context.
int SinkOutput(void* context, const char* buffer, int len) {
  try {
    if (!(*static_cast<const XmlSink*>(context))(buffer, static_cast<size_t>(len))) return -1;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return len;
}

}  // namespace

CXmlDocument::~CXmlDocument() {
  if (m_pDoc) xmlFreeDoc(m_pDoc);
}

bool CXmlDocument::Create() {
  // libxml2 2.9 initialises itself lazily and not thread-safely: documents
  // made on several threads at once must find it initialised.
  static std::once_flag initialised;
  std::call_once(initialised, xmlInitParser);
  m_names.clear();
  if (m_pDoc) {
    xmlFreeDoc(m_pDoc);
    m_pDoc = nullptr;
  }
  xmlResetLastError();
  m_pDoc = xmlReadMemory(kTemplate, sizeof kTemplate - 1, nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  // Element names are interned in the document's dictionary; the parser
  // gives the document one, this is only in case it did not.
  if (m_pDoc && !m_pDoc->dict) m_pDoc->dict = xmlDictCreate();
  if (m_pDoc && m_pDoc->dict && xmlDocGetRootElement(m_pDoc)) return true;
  const xmlError* e = xmlGetLastError();
  m_nErrorCode = e ? e->code : -1;
  m_strError = e && e->message ? e->message : "cannot build the document";
  while (!m_strError.empty() && m_strError.back() == '\n') m_strError.pop_back();
  return false;
}

const xmlChar* CXmlDocument::InternName(std::string_view name, std::string* error) {
  for (const CachedName& c : m_names)
    if (c.given == name) return c.name;
  std::string checked;
  if (!CheckedName(name, &checked)) return Fail(error, "invalid XML name");
  const xmlChar* interned =
      xmlDictLookup(m_pDoc->dict, X(checked), static_cast<int>(checked.size()));
  if (!interned) return Fail(error, "out of memory");
  if (m_names.size() < kMaxCachedNames) m_names.push_back(CachedName{std::string(name), interned});
  return interned;
}

XmlElement CXmlDocument::AddRootElement(std::string_view name, std::string_view text,
                                        std::string_view attr_name, std::string_view attr_value,
                                        std::string* error) {
  xmlNodePtr root = m_pDoc ? xmlDocGetRootElement(m_pDoc) : nullptr;
  if (!root) return Fail(error, "no document element");
  return AddElement(root, name, text, attr_name, attr_value, false, error);
}

XmlElement CXmlDocument::AddElement(XmlElement pParent, std::string_view name,
                                    std::string_view text, std::string_view attr_name,
                                    std::string_view attr_value, bool bNoText, std::string* error) {
  if (!m_pDoc || !pParent) return Fail(error, "no document or parent");
  if (pParent->doc != m_pDoc || pParent->type != XML_ELEMENT_NODE)
    return Fail(error, "parent is not an element of this document");
  const xmlChar* element_name = InternName(name, error);
  if (!element_name) return nullptr;
  // A refused attribute name leaves no element behind.
  if (!attr_name.empty() && !InternName(attr_name, error)) return nullptr;
  std::string text_copy;  // used only when the text needs cleaning
  const std::string_view clean = bNoText ? "" : platform::SanitizeXmlTextView(text, &text_copy);
  if (clean.size() > INT_MAX) return Fail(error, "text too large");

  // The dictionary owns the name; the node only points at it.
  xmlNodePtr element =
      xmlNewDocNodeEatName(m_pDoc, nullptr, const_cast<xmlChar*>(element_name), nullptr);
  if (!element) return Fail(error, "out of memory");
  xmlAddChild(pParent, element);
  if (!attr_name.empty() && !AddAttribute(element, attr_name, attr_value, error)) return nullptr;
  if (!bNoText) {
    // xmlAddChild would merge adjacent text nodes and free this one; the
    // element is new, so this text is its first child.
    xmlNodePtr node = NewText(m_pDoc, clean);
    if (!node) return Fail(error, "out of memory");
    xmlAddChild(element, node);
  }
  return element;
}

bool CXmlDocument::AddAttribute(XmlElement element, std::string_view name, std::string_view value,
                                std::string* error) {
  if (!m_pDoc || !element) return Refuse(error, "no document or element");
  if (element->doc != m_pDoc || element->type != XML_ELEMENT_NODE)
    return Refuse(error, "not an element of this document");
  const xmlChar* attribute_name = InternName(name, error);
  if (!attribute_name) return false;
  std::string value_copy;  // used only when the value needs cleaning
  const std::string_view clean = platform::SanitizeXmlTextView(value, &value_copy);
  if (clean.size() > INT_MAX) return Refuse(error, "text too large");
  // Made empty, then given its text node: the value need not end in NUL.
  xmlAttrPtr attr =
      xmlNewNsPropEatName(element, nullptr, const_cast<xmlChar*>(attribute_name), nullptr);
  xmlNodePtr value_node = attr ? NewText(m_pDoc, clean) : nullptr;
  if (!value_node) return Refuse(error, "out of memory");
  attr->children = attr->last = value_node;
  value_node->parent = reinterpret_cast<xmlNodePtr>(attr);
  return true;
}

bool CXmlDocument::Write(const XmlSink& sink) {
  xmlNodePtr root = m_pDoc ? xmlDocGetRootElement(m_pDoc) : nullptr;
  if (!root) {
    m_nErrorCode = E_POINTER;
    m_strError = "no document element";
    return false;
  }
  xmlOutputBufferPtr buffer =
      xmlOutputBufferCreateIO(SinkOutput, nullptr, const_cast<XmlSink*>(&sink), nullptr);
  std::unique_ptr<xmlTextWriter, XmlFree> writer(buffer ? xmlNewTextWriter(buffer) : nullptr);
  if (buffer && !writer) xmlOutputBufferClose(buffer);
  bool ok = writer && xmlTextWriterSetIndent(writer.get(), 1) >= 0 &&
            xmlTextWriterSetIndentString(writer.get(), BAD_CAST kIndent) >= 0 &&
            xmlTextWriterStartDocument(writer.get(), "1.0", "UTF-8", nullptr) >= 0 &&
            WriteDocumentElement(writer.get(), root) && xmlTextWriterEndDocument(writer.get()) >= 0;
  if (ok) ok = xmlTextWriterFlush(writer.get()) >= 0;
  writer.reset();  // closes the output buffer; the flush above handed over everything
  if (!ok) {
    m_nErrorCode = 0;
    m_strError = "cannot serialise the document";
    return false;
  }
  return true;
}

bool CXmlDocument::Serialize(std::string* out) {
  std::string text;
  if (!Write([&text](const char* data, size_t size) {
        text.append(data, size);
        return true;
      }))
    return false;
  *out = std::move(text);
  return true;
}

bool CXmlDocument::Save(const std::string& path) {
  AtomicFileWriter file;
  std::string cause;
  if (!file.Begin(path, &cause)) {
    m_nErrorCode = 0;
    m_strError = cause;
    return false;
  }
  // Streamed: no copy of the whole text, and the disk writes while the rest
  // is laid out.
  if (!Write([&file](const char* data, size_t size) { return file.Append(data, size); })) {
    // A failed write is the cause to tell, not the serialiser's stop it caused;
    // the writer removes the temporary file as it goes.
    if (file.WriteError(&cause)) m_strError = cause;
    return false;
  }
  if (!file.Commit(&cause)) {
    m_nErrorCode = 0;
    m_strError = cause;
    return false;
  }
  return true;
}

// CXmlDocument: a small XML document over libxml2 for the result files.
//
// A document starts from a fixed template (the declaration and an empty
// RESULTS element), takes elements that carry a text and at most one
// attribute, and is saved as indented UTF-8, one element per line.
//
// Texts, attribute values and names are UTF-8. Bytes that are not well-formed
// UTF-8 and characters that XML 1.0 does not allow are stored as U+FFFD, so
// whatever is added, the saved file is well-formed.
//
// Threads: an instance and its elements belong to the thread that made them;
// several threads may build and save different documents at the same time
// (the first Create of the process, on whichever thread, initialises libxml2).
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Takes the saved text piece by piece, in order; false stops the writing.
using XmlSink = std::function<bool(const char* data, size_t size)>;

// An element of a CXmlDocument. The document owns it; the pointer is valid
// until the document is destroyed or Create is called again.
using XmlElement = xmlNodePtr;

class CXmlDocument {
 public:
  // Codes of m_nErrorCode.
  static constexpr int32_t E_POINTER = static_cast<int32_t>(0x80004003);  // no document / parent
  static constexpr int32_t E_OUTOFMEMORY = static_cast<int32_t>(0x8007000E);  // allocation failed
  static constexpr int32_t E_INVALIDARG =
      static_cast<int32_t>(0x80070057);  // bad name or foreign parent

  CXmlDocument() = default;
  ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  // Replaces any document held with the template. Returns false, recording the
  // parser's code and message, when it cannot be built (out of memory).
  bool Create();

  // AddElement below the document element RESULTS, with a text node. Null,
  // with "no document element" in *error, without a document.
  XmlElement AddRootElement(std::string_view name, std::string_view text,
                            std::string_view attr_name, std::string_view attr_value,
                            std::string* error = nullptr);

  // Appends a new element as the last child of pParent and returns it. Every
  // "&" in the name becomes "-"; a name that is still not an XML name is
  // refused. The attribute is set (its value may be empty) only when attr_name
  // is not empty. Unless bNoText, a text node holding text is added, even an
  // empty one. Returns null, with the cause in *error (if given), without a
  // document or parent, for a parent of another document, a bad name, or out
  // of memory; a refused name leaves no element behind.
  XmlElement AddElement(XmlElement pParent, std::string_view name, std::string_view text,
                        std::string_view attr_name, std::string_view attr_value, bool bNoText,
                        std::string* error = nullptr);

  // Adds an attribute (name checked as AddElement checks element names; the
  // value cleaned as texts are) after the element's other attributes.
  // Returns false, with the cause in *error (if given), as AddElement does.
  bool AddAttribute(XmlElement element, std::string_view name, std::string_view value,
                    std::string* error = nullptr);

  // Writes the document as Save does, handing the text to sink in pieces.
  // Returns false, recording the failure, without a document, when the
  // writer fails or when sink refuses a piece.
  bool Write(const XmlSink& sink);

  // Write into *out.
  bool Serialize(std::string* out);

  // Writes the document to path as a whole, streamed through an
  // AtomicFileWriter: a reader sees the old file or the new one, a second
  // writer of the same path at the same time fails, and nothing is written
  // through a symbolic link. Returns false with m_strError set to the cause
  // (m_nErrorCode 0 unless the serialiser gave one); path is then untouched.
  bool Save(const std::string& path);

  int32_t m_nErrorCode = 0;  // code of the last Create or Save failure
  std::string m_strError;    // its text

 private:
  // An element or attribute name as given, and its checked form interned in
  // the document's dictionary (owned by the document).
  struct CachedName {
    std::string given;
    const xmlChar* name;
  };
  // Null, with the cause in *error (if given), for a refused name.
  const xmlChar* InternName(std::string_view name, std::string* error);

  xmlDocPtr m_pDoc = nullptr;
  std::vector<CachedName> m_names;  // a few names, reused for every row
};

// Reading result files back: the rows of one file as it holds them, for
// comparing two scans of a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One RESULT of a result file. The views point into the ResultFileRows that gave
// the row and live until its next Read.
struct FileRow {
  std::string_view oid;    // the OID element's text
  std::string_view value;  // the VALUE element's text; empty for <VALUE/>
  std::string_view type;   // VALUE's TYPE attribute; empty when absent
  std::string_view name;   // OID's NAME attribute; empty when absent
  int version = 0;         // OID's VER attribute; 0 when absent or not a number
  bool base64 = false;     // VALUE's ENCODING attribute is "base64"
};

// The rows of one result file, in the order the file holds them. Reading
// streams the file (libxml2's text reader): memory grows with the file's
// text, not with a document tree. Reusing one instance keeps its buffers.
class ResultFileRows {
 public:
  // Replaces the rows held by those of the result file at path: a RESULTS
  // document element holding RESULT elements, each an OID and a VALUE (in
  // either order; a missing VALUE reads as empty). Returns false with a
  // one-line cause in *error when the file cannot be opened, is not a
  // regular file, is not well-formed XML, or holds anything else (another
  // document element, an unknown element, a RESULT without an OID); no rows
  // are held then. Any thread; instances are independent.
  bool Read(const std::string& path, std::string* error);

  size_t size() const { return rows_.size(); }
  FileRow operator[](size_t i) const;

  // Whether any VALUE carried TYPE, or any OID carried NAME. A file written
  // with types marks every Base64 value with ENCODING, so in such a file an
  // unmarked value is text.
  bool has_types() const { return has_types_; }
  bool has_names() const { return has_names_; }

 private:
  struct Span {
    uint32_t offset = 0;
    uint32_t size = 0;
  };
  struct Entry {
    Span oid, value, type, name;
    int version = 0;
    bool base64 = false;
  };
  std::string_view View(Span s) const { return std::string_view(text_).substr(s.offset, s.size); }

  std::string text_;  // every row's texts, one after the other
  std::vector<Entry> rows_;
  bool has_types_ = false;
  bool has_names_ = false;
};

// Decodes a value written as Base64 lines (standard alphabet, '=' padding,
// lines of 64 characters but the last, each ended by CR LF or LF) into
// *bytes. False when text is not exactly of that form (an empty text is not).
bool DecodeBase64Lines(std::string_view text, std::string* bytes);

// The names of the result files in dir ("*.xml", hidden files and folders
// left out), in byte order. False with a one-line cause in *error when the
// folder cannot be listed.
bool ListResultFiles(const std::string& dir, std::vector<std::string>* names, std::string* error);

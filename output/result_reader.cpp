#include "output/result_reader.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>

#include "platform/files.h"

namespace {

std::string_view Text(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

struct ReaderFree {
  void operator()(xmlTextReaderPtr r) const { xmlFreeTextReader(r); }
};

// The first message the parser reports, with its line.
void KeepFirstError(void* context, const xmlError* e) {
  auto* error = static_cast<std::string*>(context);
  if (!error->empty() || !e) return;
  std::string message = e->message ? e->message : "not well-formed XML";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  *error = "line " + std::to_string(e->line) + ": " + message;
}

// libxml2 >= 2.12 passes the error as const, older releases do not: the
// handler takes whichever the header declares.
template <typename Error>
void StructuredError(void* context, Error e) {
  KeepFirstError(context, e);
}

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

constexpr size_t kBase64Line = 64;

}  // namespace

FileRow ResultFileRows::operator[](size_t i) const {
  const Entry& e = rows_[i];
  return FileRow{View(e.oid), View(e.value), View(e.type), View(e.name), e.version, e.base64};
}

bool ResultFileRows::Read(const std::string& path, std::string* error) {
  static std::once_flag initialised;
  std::call_once(initialised, xmlInitParser);
  text_.clear();
  rows_.clear();
  has_types_ = has_names_ = false;

  bool not_regular = false;
  const int fd = platform::OpenRegularFile(path, O_RDONLY, &not_regular);
  if (fd < 0) {
    *error = not_regular ? "not a regular file" : strerror(errno);
    return false;
  }
  // The descriptor is the reader's to read, ours to close.
  std::unique_ptr<xmlTextReader, ReaderFree> reader(xmlReaderForFd(
      fd, path.c_str(), nullptr,
      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA));
  if (!reader) {
    close(fd);
    *error = "cannot start the XML reader";
    return false;
  }
  // The file was opened without blocking; reading it should wait as usual.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string parse_error;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), StructuredError, &parse_error);

  auto fail = [&](std::string cause) {
    reader.reset();
    close(fd);
    text_.clear();
    rows_.clear();
    *error = std::move(cause);
    return false;
  };

  enum class Field { kNone, kOid, kValue };
  Field field = Field::kNone;
  Entry row;
  bool in_result = false, has_oid = false, has_value = false;
  size_t field_start = 0;
  auto span_from = [&](size_t start) {
    return Span{static_cast<uint32_t>(start), static_cast<uint32_t>(text_.size() - start)};
  };
  int status;
  while ((status = xmlTextReaderRead(reader.get())) == 1) {
    xmlTextReaderPtr r = reader.get();
    const int type = xmlTextReaderNodeType(r);
    const int depth = xmlTextReaderDepth(r);
    if (text_.size() > std::numeric_limits<uint32_t>::max() / 2)
      return fail("too large to compare");
    if (type == XML_READER_TYPE_ELEMENT) {
      const std::string_view name = Text(xmlTextReaderConstName(r));
      const bool empty = xmlTextReaderIsEmptyElement(r) == 1;
      if (depth == 0) {
        if (name != "RESULTS")
          return fail("not a result file (document element " + std::string(name.substr(0, 64)) +
                      ")");
        continue;
      }
      if (depth == 1 && name == "RESULT") {
        row = Entry{};
        in_result = true;
        has_oid = has_value = false;
        if (empty)
          return fail("line " + std::to_string(xmlTextReaderGetParserLineNumber(r)) +
                      ": RESULT without OID");
        continue;
      }
      const bool is_oid = depth == 2 && name == "OID" && !has_oid;
      const bool is_value = depth == 2 && name == "VALUE" && !has_value;
      if (!in_result || (!is_oid && !is_value))
        return fail("line " + std::to_string(xmlTextReaderGetParserLineNumber(r)) +
                    ": unexpected element " + std::string(name.substr(0, 64)));
      // Attributes first, each into the text as a span of its own.
      for (int more = xmlTextReaderMoveToFirstAttribute(r); more == 1;
           more = xmlTextReaderMoveToNextAttribute(r)) {
        const std::string_view attr = Text(xmlTextReaderConstName(r));
        const std::string_view value = Text(xmlTextReaderConstValue(r));
        if (is_oid && attr == "VER") {
          std::from_chars(value.data(), value.data() + value.size(), row.version);
        } else if (is_oid && attr == "NAME") {
          const size_t start = text_.size();
          text_.append(value);
          row.name = span_from(start);
          has_names_ = true;
        } else if (is_value && attr == "TYPE") {
          const size_t start = text_.size();
          text_.append(value);
          row.type = span_from(start);
          has_types_ = true;
        } else if (is_value && attr == "ENCODING") {
          row.base64 = value == "base64";
        }
      }
      xmlTextReaderMoveToElement(r);
      field_start = text_.size();
      (is_oid ? has_oid : has_value) = true;
      if (empty) {
        (is_oid ? row.oid : row.value) = span_from(field_start);
      } else {
        field = is_oid ? Field::kOid : Field::kValue;
      }
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (depth == 2 && field != Field::kNone) {
        (field == Field::kOid ? row.oid : row.value) = span_from(field_start);
        field = Field::kNone;
      } else if (depth == 1 && in_result) {
        if (!has_oid)
          return fail("line " + std::to_string(xmlTextReaderGetParserLineNumber(r)) +
                      ": RESULT without OID");
        rows_.push_back(row);
        in_result = false;
      }
    } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
               type == XML_READER_TYPE_WHITESPACE ||
               type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE) {
      if (field != Field::kNone && depth == 3) {
        text_.append(Text(xmlTextReaderConstValue(r)));
      } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA) {
        // Text beside the elements is no part of the layout.
        const std::string_view stray = Text(xmlTextReaderConstValue(r));
        if (stray.find_first_not_of(" \t\r\n") != std::string_view::npos)
          return fail("line " + std::to_string(xmlTextReaderGetParserLineNumber(r)) +
                      ": text outside OID and VALUE");
      }
    }
  }
  if (status != 0) return fail(parse_error.empty() ? "not well-formed XML" : parse_error);
  reader.reset();
  close(fd);
  return true;
}

bool DecodeBase64Lines(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.empty()) return false;
  uint32_t bits = 0;
  int held = 0, padding = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;  // every line ends
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.size() > kBase64Line) return false;
    if (!text.empty() && line.size() != kBase64Line) return false;  // only the last is short
    for (char c : line) {
      if (c == '=') {
        ++padding;
        continue;
      }
      const int digit = Base64Digit(c);
      if (digit < 0 || padding > 0) return false;
      bits = (bits << 6) | static_cast<uint32_t>(digit);
      if (++held == 4) {
        bytes->push_back(static_cast<char>(bits >> 16));
        bytes->push_back(static_cast<char>(bits >> 8));
        bytes->push_back(static_cast<char>(bits));
        bits = 0;
        held = 0;
      }
    }
  }
  // Whole groups of four; '=' only as the last one or two of the last group.
  if ((held + padding) % 4 != 0 || padding > 2 || (padding > 0 && held + padding != 4))
    return false;
  if (held == 2) {
    bytes->push_back(static_cast<char>(bits >> 4));
  } else if (held == 3) {
    bytes->push_back(static_cast<char>(bits >> 10));
    bytes->push_back(static_cast<char>(bits >> 2));
  }
  return true;
}

bool ListResultFiles(const std::string& dir, std::vector<std::string>* names, std::string* error) {
  names->clear();
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.' || name.size() <= 4 ||
        name.compare(name.size() - 4, 4, ".xml") != 0)
      continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    names->push_back(name);
  }
  if (ec) {
    *error = ec.message();
    names->clear();
    return false;
  }
  std::sort(names->begin(), names->end());
  return true;
}

// Any variable an agent can make the library deliver, rendered into a row:
// any type code, any name of 0 to 128 sub-identifiers, any value bytes in a
// heap block of exactly val_len bytes (so the sanitizer sees any read past
// it). A row is stored exactly for the rendered types, under the name's
// dotted text; no value text holds a NUL.
//
// An OCTET STRING goes on, under a UTF-8, a Latin-1 and a multibyte code set,
// into a result document that is serialised and parsed back: its VALUE is
// either the bytes without trailing zeros read as text of the code set, when
// they are such text (checked here with a strict iconv of its own), or Base64
// in lines of at most 64 characters, each ending in CR LF, that decodes to
// every byte.
//
// Input: one byte type code, one byte name length (taken modulo 129), four
// bytes (little-endian) per sub-identifier as far as the input goes, then the
// value: every byte left.
#include <iconv.h>
#include <libxml/parser.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "output/result_document.h"
#include "platform/text_encoding.h"
#include "scan/walk.h"

namespace {

bool Rendered(u_char type) {
  switch (type) {
    case ASN_INTEGER:
    case ASN_BIT_STR:
    case ASN_OCTET_STR:
    case ASN_OBJECT_ID:
    case ASN_IPADDRESS:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_COUNTER64:
    case ASN_UINTEGER:
      return true;
    default:
      return false;
  }
}

std::string DottedName(const std::vector<oid>& name) {
  std::string text;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i) text += '.';
    text += std::to_string(name[i]);
  }
  return text;
}

// The UTF-8 form of bytes read strictly in codeset, when every byte belongs
// to a character and every character is one XML 1.0 allows; false otherwise.
bool DecodeAsXmlText(const std::string& codeset, const std::string& bytes, std::string* utf8) {
  iconv_t cd = iconv_open("UTF-8", codeset.c_str());
  FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1));
  std::vector<char> out(bytes.size() * 4 + 16);
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* o = out.data();
  size_t o_left = out.size();
  const bool ok = iconv(cd, &in, &in_left, &o, &o_left) != static_cast<size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &o, &o_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return false;
  utf8->assign(out.data(), static_cast<size_t>(o - out.data()));
  // Code points of the (now well-formed) UTF-8, against XML's Char.
  for (size_t i = 0; i < utf8->size();) {
    const unsigned char c = static_cast<unsigned char>((*utf8)[i]);
    // glibc passes UTF-8 of the old 31-bit range through: not characters.
    if (c >= 0xF8) return false;
    const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    FUZZ_CHECK(i + n <= utf8->size());
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < n; ++k)
      cp = cp << 6 | (static_cast<unsigned char>((*utf8)[i + k]) & 0x3F);
    if ((cp < 0x20 && cp != 0x09 && cp != 0x0A && cp != 0x0D) || cp == 0xFFFE || cp == 0xFFFF ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

// Text bytes as the renderer takes them: no NUL, no control but LF and CR.
bool HasOnlyTextBytes(const std::string& bytes) {
  for (unsigned char c : bytes)
    if (c < 0x20 && c != '\n' && c != '\r') return false;
  return true;
}

// The VALUE text of the one row after the document is serialised and parsed
// back by libxml2.
std::string SavedAndParsedBack(const Walker& job) {
  CXmlDocument doc;
  FUZZ_CHECK(doc.Create());
  AddResultRows(doc, job.rows());
  std::string xml;
  FUZZ_CHECK(doc.Serialize(&xml));
  xmlDocPtr parsed = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  FUZZ_CHECK(parsed != nullptr);
  const xmlNode* value = nullptr;
  for (const xmlNode* r = xmlDocGetRootElement(parsed)->children; r; r = r->next)
    if (r->type == XML_ELEMENT_NODE)
      for (const xmlNode* e = r->children; e; e = e->next)
        if (e->type == XML_ELEMENT_NODE &&
            std::string(reinterpret_cast<const char*>(e->name)) == "VALUE")
          value = e;
  FUZZ_CHECK(value != nullptr);
  std::string text;
  for (const xmlNode* c = value->children; c; c = c->next)
    if (c->type == XML_TEXT_NODE && c->content) text += reinterpret_cast<const char*>(c->content);
  xmlFreeDoc(parsed);
  return text;
}

// Lines of 1 to 64 Base64 characters, each ending in CR LF, all but the last
// exactly 64 long; the joined lines decode to value.
void CheckBase64Lines(std::string_view text, const u_char* value, size_t len) {
  FUZZ_CHECK(!text.empty());
  std::string joined;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    FUZZ_CHECK(end != std::string_view::npos);
    const size_t line = end - pos;
    FUZZ_CHECK(line >= 1 && line <= 64);
    FUZZ_CHECK(end + 2 == text.size() || line == 64);
    joined.append(text.substr(pos, line));
    pos = end + 2;
  }
  FUZZ_CHECK(joined.size() % 4 == 0);
  FUZZ_CHECK(joined.find_first_not_of(
                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
             std::string::npos);
  std::vector<unsigned char> decoded(joined.size() / 4 * 3 + 1);
  const int n =
      EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(joined.data()),
                      static_cast<int>(joined.size()));
  FUZZ_CHECK(n >= 0);
  // EVP_DecodeBlock keeps the padding's zero bytes: strip them by the '='s.
  size_t padding = 0;
  for (size_t i = joined.size(); i > 0 && joined[i - 1] == '='; --i) ++padding;
  FUZZ_CHECK(static_cast<size_t>(n) - padding == len);
  FUZZ_CHECK(memcmp(decoded.data(), value, len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const u_char type = data[0];
  size_t name_length = data[1] % (MAX_OID_LEN + 1);
  size_t pos = 2;
  if (name_length > (size - pos) / 4) name_length = (size - pos) / 4;
  std::vector<oid> name(name_length);
  for (size_t i = 0; i < name_length; ++i, pos += 4) {
    uint32_t sub;
    memcpy(&sub, data + pos, 4);
    name[i] = sub;
  }
  const size_t val_len = size - pos;
  // Exactly val_len bytes (malloc(0) still gives a block no read may touch).
  u_char* block = static_cast<u_char*>(malloc(val_len));
  FUZZ_CHECK(block != nullptr || val_len == 0);
  if (val_len) memcpy(block, data + pos, val_len);

  netsnmp_variable_list var{};
  var.name = name.empty() ? nullptr : name.data();
  var.name_length = name.size();
  var.type = type;
  var.val.string = block;
  var.val_len = val_len;

  const ScanSettings settings;
  Walker job("127.0.0.1", settings);
  const bool stored = job.StoreVariable(&var, 2);
  FUZZ_CHECK(stored == Rendered(type));
  FUZZ_CHECK(job.rows().GetCount() == (stored ? 1u : 0u));
  if (stored) {
    const std::string key = DottedName(name);
    const std::optional<ResultRow> row = job.rows().Find(key);
    FUZZ_CHECK(row.has_value());
    FUZZ_CHECK(row->version == 2);
    const std::string_view* text = &row->value;
    FUZZ_CHECK(text->find('\0') == std::string_view::npos);
    if (type == ASN_OCTET_STR) {
      const std::string bytes(reinterpret_cast<const char*>(block), val_len);
      std::string trimmed = bytes;
      while (!trimmed.empty() && trimmed.back() == '\0') trimmed.pop_back();
      for (const char* codeset : {"UTF-8", "ISO-8859-1", "CP932"}) {
        FUZZ_CHECK(platform::SetTextCodeset(codeset));
        Walker local("127.0.0.1", settings);
        FUZZ_CHECK(local.StoreVariable(&var, 2));
        const std::string_view value = local.rows().Find(key)->value;
        const std::string back = SavedAndParsedBack(local);
        std::string utf8;
        if (HasOnlyTextBytes(trimmed) && DecodeAsXmlText(codeset, trimmed, &utf8)) {
          FUZZ_CHECK(value == trimmed);
          FUZZ_CHECK(back == utf8);
        } else {
          CheckBase64Lines(value, block, val_len);
          FUZZ_CHECK(back == value);
        }
      }
      platform::SetTextCodeset("UTF-8");
    }
  }
  free(block);
  return 0;
}

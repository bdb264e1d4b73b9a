// Any variable an agent can make the library deliver, rendered into a row:
// any type code, any name of 0 to 128 sub-identifiers, any value bytes in a
// heap block of exactly val_len bytes (so the sanitizer sees any read past
// it). A row is stored exactly for the rendered types, under the name's
// dotted text; no value text holds a NUL; a binary OCTET STRING becomes Base64
// in lines of at most 64 characters, each ending in CR LF, that decodes back
// to the value.
//
// Input: one byte type code, one byte name length (taken modulo 129), four
// bytes (little-endian) per sub-identifier as far as the input goes, then the
// value: every byte left.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "scan/mib.h"

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

bool IsBinary(const u_char* bytes, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (bytes[i] < 0x20 && bytes[i] != 0x00 && bytes[i] != '\n' && bytes[i] != '\r') return true;
  return false;
}

// Lines of 1 to 64 Base64 characters, each ending in CR LF, all but the last
// exactly 64 long; the joined lines decode to value.
void CheckBase64Lines(const std::string& text, const u_char* value, size_t len) {
  FUZZ_CHECK(!text.empty());
  std::string joined;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    FUZZ_CHECK(end != std::string::npos);
    const size_t line = end - pos;
    FUZZ_CHECK(line >= 1 && line <= 64);
    FUZZ_CHECK(end + 2 == text.size() || line == 64);
    joined.append(text, pos, line);
    pos = end + 2;
  }
  FUZZ_CHECK(joined.size() % 4 == 0);
  FUZZ_CHECK(joined.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
             std::string::npos);
  std::vector<unsigned char> decoded(joined.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(joined.data()),
                                static_cast<int>(joined.size()));
  FUZZ_CHECK(n >= 0);
  // EVP_DecodeBlock keeps the padding's zero bytes: strip them by the '='s.
  size_t padding = 0;
  for (size_t i = joined.size(); i > 0 && joined[i - 1] == '='; --i) ++padding;
  FUZZ_CHECK(static_cast<size_t>(n) - padding == len);
  FUZZ_CHECK(memcmp(decoded.data(), value, len) == 0);
}

}  // namespace

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

  CMIB job;
  job.m_nVersion = 2;
  const bool stored = job.StoreVariable(&var);
  FUZZ_CHECK(stored == Rendered(type));
  FUZZ_CHECK(job.m_mapValues.GetCount() == (stored ? 1u : 0u));
  FUZZ_CHECK(job.m_mapVersions.GetCount() == (stored ? 1u : 0u));
  if (stored) {
    const std::string key = DottedName(name);
    const std::string* text = job.m_mapValues.Find(key);
    FUZZ_CHECK(text != nullptr);
    const intptr_t* version = job.m_mapVersions.Find(key);
    FUZZ_CHECK(version != nullptr && *version == 2);
    FUZZ_CHECK(text->find('\0') == std::string::npos);
    if (type == ASN_OCTET_STR) {
      if (val_len && IsBinary(block, val_len)) {
        CheckBase64Lines(*text, block, val_len);
      } else {
        const void* zero = val_len ? memchr(block, 0, val_len) : nullptr;
        const size_t used = zero ? static_cast<size_t>(static_cast<const u_char*>(zero) - block) : val_len;
        FUZZ_CHECK(*text == std::string(reinterpret_cast<const char*>(block), used));
      }
    }
  }
  free(block);
  return 0;
}

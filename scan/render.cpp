// Rendering of received variables into result rows.
//
// Values are read by the library's own layout on this platform (oid and the
// integer types are as wide as long, counter64 is two u_long halves) and never
// past val_len: an agent decides val_len, so a short value is read as far as
// it goes and the rest counts as zero.
#include "scan/render.h"

#include <openssl/evp.h>

#include <charconv>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text_encoding.h"

namespace {

template <class T>
void AppendDecimal(std::string* out, T value) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out->append(buf, result.ptr);
}

// Writes the sub-identifiers joined by '.' (no leading or trailing dot) at
// out, which has room for kMaxIdText bytes per sub-identifier; returns the end.
char* WriteOidText(char* out, const oid* ids, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (i) *out++ = '.';
    const unsigned long id = ids[i];
    if (id < 10) {  // most sub-identifiers are one or two digits
      *out++ = static_cast<char>('0' + id);
    } else if (id < 100) {
      *out++ = static_cast<char>('0' + id / 10);
      *out++ = static_cast<char>('0' + id % 10);
    } else {
      out = std::to_chars(out, out + kMaxIdText, id).ptr;
    }
  }
  return out;
}

void AppendOidText(std::string* out, const oid* ids, size_t count) {
  if (!ids || count == 0) return;
  const size_t start = out->size();
  out->resize(start + count * kMaxIdText);
  char* end = WriteOidText(out->data() + start, ids, count);
  out->resize(static_cast<size_t>(end - out->data()));
}

// The first min(val_len, sizeof(T)) bytes of the value, zero-filled beyond.
template <class T>
T ReadFixed(const netsnmp_variable_list* var) {
  T value;
  memset(&value, 0, sizeof value);
  if (var->val.string)
    memcpy(&value, var->val.string, var->val_len < sizeof value ? var->val_len : sizeof value);
  return value;
}

// Integer-like values arrive as a long; the value on the wire is 32 bits.
uint32_t Read32(const netsnmp_variable_list* var) {
  return static_cast<uint32_t>(ReadFixed<long>(var));
}

// No zero byte and no control character other than LF and CR (a tab, too,
// counts as binary).
bool HasOnlyTextBytes(const u_char* bytes, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const u_char c = bytes[i];
    if (c < 0x20 && c != 0x0A && c != 0x0D) return false;
  }
  return true;
}

// Standard Base64 with '=' padding, in lines of 64 characters, each line
// (the last included) ending with CR LF. Empty when the value is too large to
// encode in one call.
std::string Base64Lines(const u_char* bytes, size_t len) {
  if (len > static_cast<size_t>(INT_MAX / 4 * 3 - 3)) return {};
  std::string encoded(4 * ((len + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes,
                          static_cast<int>(len));
  if (n < 0) return {};
  encoded.resize(static_cast<size_t>(n));
  std::string text;
  text.reserve(encoded.size() + (encoded.size() / 64 + 1) * 2);
  for (size_t pos = 0; pos < encoded.size(); pos += 64) {
    text.append(encoded, pos, 64);
    text.append("\r\n");
  }
  return text;
}

// Text, without its trailing zero bytes, when those bytes are characters of
// the locale's code set that the result file can hold as they are; anything
// else (a MAC or IP address, bytes of another code set, an inner zero) is
// Base64 of every byte, so no value reaches the file changed or cut.
ValueEncoding RenderOctetString(const netsnmp_variable_list* var, std::string* text) {
  const u_char* bytes = var->val.string;
  const size_t len = bytes ? var->val_len : 0;
  size_t used = len;
  while (used > 0 && bytes[used - 1] == 0) --used;
  const std::string_view chars(reinterpret_cast<const char*>(bytes), used);
  if (used == 0) {
    text->clear();
  } else if (HasOnlyTextBytes(bytes, used) && platform::IsXmlTextOfCodeset(chars)) {
    text->assign(chars);
  } else {
    *text = Base64Lines(bytes, len);
    return ValueEncoding::kBase64;
  }
  return ValueEncoding::kText;
}

}  // namespace

const char* SmiTypeName(u_char asn_type) {
  switch (asn_type) {
    case ASN_INTEGER:
      return "INTEGER";
    case ASN_OCTET_STR:
      return "OCTET STRING";
    case ASN_OBJECT_ID:
      return "OBJECT IDENTIFIER";
    case ASN_IPADDRESS:
      return "IpAddress";
    case ASN_COUNTER:
      return "Counter32";
    case ASN_GAUGE:  // also ASN_UNSIGNED: the same tag
      return "Gauge32";
    case ASN_TIMETICKS:
      return "TimeTicks";
    case ASN_COUNTER64:
      return "Counter64";
    case ASN_UINTEGER:
      return "UInteger32";
    case ASN_BIT_STR:
      return "BITS";
    default:
      return nullptr;
  }
}

bool RenderValue(const netsnmp_variable_list* var, std::string* text, ValueEncoding* encoding) {
  if (!var) return false;
  std::string& value = *text;
  value.clear();
  ValueEncoding form = ValueEncoding::kText;
  switch (var->type) {
    case ASN_INTEGER:
      AppendDecimal(&value, static_cast<int32_t>(Read32(var)));
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:  // also ASN_UNSIGNED
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      AppendDecimal(&value, Read32(var));
      break;
    case ASN_COUNTER64: {
      const counter64 c = ReadFixed<counter64>(var);
      const uint64_t high = c.high & 0xFFFFFFFFu, low = c.low & 0xFFFFFFFFu;
      AppendDecimal(&value, (high << 32) | low);
      break;
    }
    case ASN_BIT_STR: {
      const u_char* bytes = var->val.bitstring;
      const size_t len = bytes ? var->val_len : 0;
      static const char kHex[] = "0123456789abcdef";
      for (size_t i = 0; i < len; ++i) {
        if (i) value.push_back(':');
        value.push_back(kHex[bytes[i] >> 4]);
        value.push_back(kHex[bytes[i] & 0x0F]);
      }
      break;
    }
    case ASN_OCTET_STR:
      form = RenderOctetString(var, &value);
      break;
    case ASN_OBJECT_ID:
      AppendOidText(&value, var->val.objid, var->val_len / sizeof(oid));
      break;
    case ASN_IPADDRESS:
      if (var->val_len == 4 && var->val.string) {
        const u_char* b = var->val.string;
        for (int i = 0; i < 4; ++i) {
          if (i) value.push_back('.');
          AppendDecimal(&value, static_cast<unsigned>(b[i]));
        }
      }
      break;
    default:
      // ASN_NULL, ASN_OPAQUE, ASN_NSAP, the exception values and anything
      // unknown leave no row.
      return false;
  }
  if (encoding) *encoding = form;
  return true;
}

OidText::OidText(const oid* ids, size_t count) {
  if (!ids) count = 0;
  if (count <= sizeof stack_ / kMaxIdText) {
    view_ =
        std::string_view(stack_, static_cast<size_t>(WriteOidText(stack_, ids, count) - stack_));
  } else {
    AppendOidText(&heap_, ids, count);
    view_ = heap_;
  }
}

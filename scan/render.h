// Rendering of received variables into result-row text: a value by its type,
// a name as its dotted decimal OID. Pure functions of the variable; any
// thread, the library lock not needed.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstddef>
#include <string>
#include <string_view>

// How a rendered value's text stands for the value: as it is, or as Base64 of
// the octet string's bytes (every byte, trailing zeros included).
enum class ValueEncoding { kText, kBase64 };

// Writes the text of var's value to *text (README "How a VALUE is written").
// Returns false for a null var and for types without a rendering (NULL,
// Opaque, NSAP address, the exception values, anything unknown): such a
// variable leaves no row. *encoding (may be null) says which form the text has.
bool RenderValue(const netsnmp_variable_list* var, std::string* text,
                 ValueEncoding* encoding = nullptr);

// The name of a rendered type: the SMI's (RFC 2578) where it has one, else
// Net-SNMP's: BITS as its tools print it, UInteger32 (which they print without
// a name) as its MIB parser calls it. Null for the types RenderValue does not
// render (Opaque among them: it leaves no row).
const char* SmiTypeName(u_char asn_type);

// Room for the text of one sub-identifier: 20 digits of a 64-bit value and a dot.
constexpr size_t kMaxIdText = 21;

// The dotted decimal text of an OID ("1.3.6.1.2.1.1.3.0"; empty for none). A
// name of a walk is short: its text is built in the object, not on the heap.
class OidText {
 public:
  OidText(const oid* ids, size_t count);
  OidText(const OidText&) = delete;
  OidText& operator=(const OidText&) = delete;
  std::string_view view() const { return view_; }

 private:
  char stack_[64 * kMaxIdText];
  std::string heap_;
  std::string_view view_;
};

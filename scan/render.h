// Rendering of received variables into result-row text: a value by its type,
// a name as its dotted decimal OID. Pure functions of the variable; any
// thread, the library lock not needed.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstddef>
#include <string>
#include <string_view>

// Writes the text of var's value to *text (README "How a VALUE is written").
// Returns false for a null var and for types without a rendering (NULL,
// Opaque, NSAP address, the exception values, anything unknown): such a
// variable leaves no row.
bool RenderValue(const netsnmp_variable_list* var, std::string* text);

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

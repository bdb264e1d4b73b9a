// Rendering of one received variable into the text of a result row, and the
// name of its type.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <string>

// How a rendered value's text stands for the value: as it is, or as Base64 of
// the octet string's bytes (every byte, trailing zeros included).
enum class ValueEncoding { kText, kBase64 };

// Renders var's value into *text (replacing it). Returns false, touching
// nothing, for types without a rendering: those leave no row. *encoding may be
// null. Any thread.
bool RenderValue(const netsnmp_variable_list* var, std::string* text, ValueEncoding* encoding);

// The name of a rendered type: the SMI's (RFC 2578) where it has one, else
// Net-SNMP's: BITS as its tools print it, UInteger32 (which they print without
// a name) as its MIB parser calls it. Null for the types RenderValue does not
// render (Opaque among them: it leaves no row).
const char* SmiTypeName(u_char asn_type);

// The start OID text of a walk, turned into sub-identifiers.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

// Splits text at '.', skipping empty tokens (leading, trailing and doubled
// dots give none). Each token is read like the C library's atoi, saturating
// at the limits of a 32-bit int (a token without leading digits gives 0), and
// stored as that int's 32-bit pattern, so "-1" gives 4294967295. Stores at
// most `capacity` sub-identifiers into ids and returns the number of tokens,
// which may be larger. Any thread.
int ParseStartOid(const char* text, oid* ids, int capacity);

// The SNMPv3 failures an agent names in a USM report, for the log and for
// whoever sums up a target's outcome.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

enum class UsmReport {
  kNone,
  kUnknownUserName,
  kUnknownEngineId,
  kWrongDigest,
  kNotInTimeWindow,
  kDecryptionError,
  kUnsupportedSecLevel,
};

// From the library's error of a report (snmpv3_get_report_type), or of the
// USM check of an answer; kNone for anything else.
inline UsmReport UsmReportFromLibraryError(int snmp_errno) {
  switch (snmp_errno) {
    case SNMPERR_UNKNOWN_USER_NAME:
    case SNMPERR_USM_UNKNOWNSECURITYNAME:
      return UsmReport::kUnknownUserName;
    case SNMPERR_UNKNOWN_ENG_ID:
    case SNMPERR_USM_UNKNOWNENGINEID:
      return UsmReport::kUnknownEngineId;
    case SNMPERR_AUTHENTICATION_FAILURE:
    case SNMPERR_USM_AUTHENTICATIONFAILURE:
      return UsmReport::kWrongDigest;
    case SNMPERR_NOT_IN_TIME_WINDOW:
    case SNMPERR_USM_NOTINTIMEWINDOW:
      return UsmReport::kNotInTimeWindow;
    case SNMPERR_DECRYPTION_ERR:
    case SNMPERR_USM_DECRYPTIONERROR:
      return UsmReport::kDecryptionError;
    case SNMPERR_UNSUPPORTED_SEC_LEVEL:
    case SNMPERR_USM_UNSUPPORTEDSECURITYLEVEL:
      return UsmReport::kUnsupportedSecLevel;
    default:
      return UsmReport::kNone;
  }
}

// The words of the log line "<target>|authentication failed: <words>"; ""
// for kNone.
inline const char* UsmReportText(UsmReport report) {
  switch (report) {
    case UsmReport::kUnknownUserName:
      return "unknown user";
    case UsmReport::kUnknownEngineId:
      return "unknown engine ID";
    case UsmReport::kWrongDigest:
      return "wrong digest";
    case UsmReport::kNotInTimeWindow:
      return "not in time window";
    case UsmReport::kDecryptionError:
      return "decryption error";
    case UsmReport::kUnsupportedSecLevel:
      return "unsupported security level";
    case UsmReport::kNone:
      break;
  }
  return "";
}

#include "scan/usm_user.h"

#include <string>

#include "scan/snmp_setup.h"
#include "scan/usm_keys.h"

UsmKeyLease::~UsmKeyLease() { g_usmKeyTurns.Release(id_); }

bool InstallUsmUser(netsnmp_session* session, std::unique_ptr<UsmKeyLease>* lease) {
  if (session->securityNameLen == 0) return true;
  std::string id, key;
  {
    auto lock = LockSnmpLibrary();
    id.assign(reinterpret_cast<const char*>(session->securityEngineID),
              session->securityEngineIDLen);
    id.push_back('\0');
    id.append(session->securityName, session->securityNameLen);
    // Everything the library's user entry takes from the session.
    auto append = [&key](const void* bytes, size_t length) {
      const std::string size = std::to_string(length) + ':';
      key.append(size).append(static_cast<const char*>(bytes), length);
    };
    append(session->securityAuthProto, session->securityAuthProtoLen * sizeof(oid));
    append(session->securityAuthKey, session->securityAuthKeyLen);
    append(session->securityPrivProto, session->securityPrivProtoLen * sizeof(oid));
    append(session->securityPrivKey, session->securityPrivKeyLen);
  }
  // May wait for sessions of the same pair: never under the library lock.
  const bool install = g_usmKeyTurns.Acquire(id, key);
  *lease = std::make_unique<UsmKeyLease>(id);
  if (!install) return true;
  bool ok;
  {
    auto lock = LockSnmpLibrary();
    struct usmUser* old = usm_get_user(session->securityEngineID, session->securityEngineIDLen,
                                       session->securityName);
    if (old) {
      // usm_remove_user returns the list head, not the user.
      usm_remove_user(old);
      old->next = old->prev = nullptr;
      usm_free_user(old);
    }
    session->flags &= ~SNMP_FLAGS_USER_CREATED;
    ok = usm_create_user_from_session(session) == SNMPERR_SUCCESS &&
         usm_get_user(session->securityEngineID, session->securityEngineIDLen,
                      session->securityName) != nullptr;
    if (!ok) session->s_snmp_errno = SNMPERR_GENERR;
  }
  g_usmKeyTurns.FinishInstall(id, ok);
  return ok;
}

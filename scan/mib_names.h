// Names of OIDs ("IF-MIB::ifDescr.2"): the standard MIBs built into the
// program, and the operator's own MIB files read through Net-SNMP's parser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scan/mib_tree.h"

class MibNames;

// What a MibNames::Name call found, kept for the next call: rows of one table
// column share their object, and a row whose OID starts with the last one's
// object (and no deeper object can exist there) is named without a look-up.
// One per thread.
class MibNameHint {
 private:
  friend class MibNames;
  const MibNames* owner_ = nullptr;  // null: nothing kept
  std::string prefix_;               // the object's OID text
  std::string name_;                 // "MODULE::object"
};

class MibNames {
 public:
  // Reads the operator's MIB modules: mib_dirs is a ':'-separated list of
  // folders added to Net-SNMP's MIB search path, mibs a ':'- or
  // ','-separated list of module names, or "ALL" for every module in the
  // search path (also when mibs is empty and mib_dirs is not). What the
  // library loaded is copied out and the modules are unloaded again, so
  // names never touch the library's MIB tree and its own messages keep
  // printing numeric OIDs. Each folder or module that cannot be read is one
  // line in *problems; the others are still read. Once per process (the
  // library's MIB search path and module index stay as this call leaves
  // them), on the main thread before any scan starts.
  void LoadOperatorMibs(const std::string& mib_dirs, const std::string& mibs,
                        std::vector<std::string>* problems);

  // Appends "MODULE::object.instance" for the deepest object known on the
  // way of the dotted decimal oid_text, the instance being the rest of the
  // text. An operator's object at least as deep as the built-in one is
  // taken: the operator's modules win where both know an object, and fill
  // the gaps where the built-in table knows none. Returns false, appending
  // nothing, where no object is known. Any thread, once loading is done.
  // hint (may be null) carries what one call found to the next.
  bool Name(std::string_view oid_text, std::string* out, MibNameHint* hint = nullptr) const;

  // Nodes copied from the operator's modules (0 before or without them).
  size_t OperatorNodeCount() const { return operator_tree_.node_count(); }

 private:
  MibTreeBuilder::Tree operator_tree_;
};

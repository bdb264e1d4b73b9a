#include "scan/mib_names.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "scan/snmp_setup.h"

namespace {

// Parses kSmiNodesModule as a module of its own, from memory (the parser
// reads files only). Under the library lock.
void ReadSmiNodesLocked() {
  const int fd = memfd_create("SNMPv2-SMI", MFD_CLOEXEC);
  if (fd < 0) return;
  const size_t size = strlen(kSmiNodesModule);
  if (write(fd, kSmiNodesModule, size) == static_cast<ssize_t>(size)) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    read_mib(path.c_str());
  }
  close(fd);
}

std::vector<std::string> SplitList(const std::string& text, std::string_view separators) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    const size_t first = item.find_first_not_of(" \t");
    const size_t last = item.find_last_not_of(" \t");
    if (first != std::string::npos) items.push_back(item.substr(first, last - first + 1));
    start = end + 1;
  }
  return items;
}

// Every node of the library's tree that a loaded module names; *modules
// collects every module that defines a node.
void CopyTree(const struct tree* node, std::vector<uint32_t>* arcs, MibTreeBuilder* builder,
              std::set<int>* modules) {
  char module[1024];
  for (; node; node = node->next_peer) {
    arcs->push_back(static_cast<uint32_t>(node->subid));
    if (node->label && node->modid >= 0) {
      module_name(node->modid, module);
      if (module[0] != '#') builder->Add(*arcs, module, node->label);
    }
    for (int i = 0; i < node->number_modules; ++i) modules->insert(node->module_list[i]);
    CopyTree(node->child_list, arcs, builder, modules);
    arcs->pop_back();
  }
}

}  // namespace

void MibNames::LoadOperatorMibs(const std::string& mib_dirs, const std::string& mibs,
                                std::vector<std::string>* problems) {
  const std::vector<std::string> dirs = SplitList(mib_dirs, ":");
  std::vector<std::string> modules = SplitList(mibs, ":,");
  if (modules.empty() && !dirs.empty()) modules.push_back("ALL");
  if (modules.empty()) return;
  InitSnmpLibrary();
  auto lock = LockSnmpLibrary();
  // The parser's own complaints would flood the console; what the operator
  // needs to know is which folder or module is missing.
  const int errors = netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS);
  const int warnings = netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS, 0);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
  // Some (orphaned objects of a module whose imports are missing) are logged
  // whatever those settings say: a handler that drops everything takes them.
  netsnmp_log_handler* quiet = netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  for (const std::string& dir : dirs) {
    if (add_mibdir(dir.c_str()) < 0) problems->push_back("MIB folder cannot be read: " + dir);
  }
  if (which_module("SNMPv2-SMI") < 0) ReadSmiNodesLocked();
  for (const std::string& module : modules) {
    if (module == "ALL") {
      read_all_mibs();
    } else if (which_module(module.c_str()) < 0) {
      problems->push_back("MIB module not found: " + module);
    } else {
      read_module(module.c_str());
    }
  }
  MibTreeBuilder builder;
  std::vector<uint32_t> arcs;
  std::set<int> loaded;
  CopyTree(get_tree_head(), &arcs, &builder, &loaded);
  // Back to the library's bare tree: it keeps printing numeric OIDs in
  // messages as it did, and the nodes' memory goes. (shutdown_mib and a new
  // init would do it too, but the library loses memory on each new init.)
  char module[1024];
  for (int modid : loaded) {
    module_name(modid, module);
    if (module[0] != '#') netsnmp_unload_module(module);
  }
  if (quiet) netsnmp_remove_loghandler(quiet);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS, errors);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, warnings);
  operator_tree_ = builder.Build();
}

bool MibNames::Name(std::string_view oid_text, std::string* out, MibNameHint* hint) const {
  if (hint && hint->owner_ == this) {
    const std::string& prefix = hint->prefix_;
    if (oid_text.size() >= prefix.size() && oid_text.compare(0, prefix.size(), prefix) == 0 &&
        (oid_text.size() == prefix.size() || oid_text[prefix.size()] == '.')) {
      out->append(hint->name_);
      out->append(oid_text.substr(prefix.size()));
      return true;
    }
  }
  const MibMatch standard = FindMibObject(kStandardMibTree, oid_text);
  const MibTreeView own_tree = operator_tree_.View();
  const MibMatch own = operator_tree_.node_count() > 0 ? FindMibObject(own_tree, oid_text)
                                                       : MibMatch{nullptr, 0, 0, 0};
  const bool own_wins = own.node && own.depth >= standard.depth;
  const MibTreeView& tree = own_wins ? own_tree : kStandardMibTree;
  const MibMatch& match = own_wins ? own : standard;
  if (!match.node) return false;
  const size_t start = out->size();
  AppendMibName(tree, match, oid_text, out);
  if (hint) {
    // Kept only when no OID under the object can end elsewhere in either tree.
    hint->owner_ = nullptr;
    if (standard.settled <= match.depth && own.settled <= match.depth) {
      hint->owner_ = this;
      hint->prefix_.assign(oid_text.substr(0, match.rest));
      hint->name_.assign(*out, start, out->size() - start - (oid_text.size() - match.rest));
    }
  }
  return true;
}

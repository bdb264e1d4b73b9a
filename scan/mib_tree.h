// A tree of MIB object names laid out flat for look-ups: the built-in table
// of the standard MIBs (generated at build time) and the operator's own MIBs
// share this layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// One node: the children of a node are the nodes [first_child, first_child +
// child_count), sorted by arc. label is an offset into the string pool, 0 for
// a node no module names (a step on the way to a named one).
struct MibTreeNode {
  uint32_t arc;
  uint32_t first_child;
  uint32_t child_count;
  uint32_t module;  // index into modules
  uint32_t label;
};

struct MibTreeView {
  const MibTreeNode* nodes;
  size_t node_count;
  size_t root_count;        // the nodes of the first arc are [0, root_count)
  const uint32_t* modules;  // string pool offsets of the module names
  size_t module_count;
  const char* strings;  // NUL-terminated names; offset 0 is the empty string
};

// The standard MIBs, compiled into the program.
extern const MibTreeView kStandardMibTree;

// The text of scan/smi_nodes.mib: the nodes of SNMPv2-SMI that modules import,
// as a module Net-SNMP's parser reads. Debian ships no SNMPv2-SMI, and without
// one no module that imports from it loads.
extern const char kSmiNodesModule[];

// The deepest named node on the way of an OID.
struct MibMatch {
  const MibTreeNode* node = nullptr;  // null: no named node on the way
  size_t depth = 0;                   // arcs the node stands for
  size_t rest = 0;                    // where the text after those arcs begins
  // How many arcs of the text decided where the walk ended (a node without
  // children, or an arc the tree lacks); SIZE_MAX when the text ended first
  // or an arc was not a number. Every OID that shares those arcs ends alike.
  size_t settled = std::numeric_limits<size_t>::max();
};

// Follows the dotted decimal oid_text ("1.3.6.1.2.1.1.5.0") down the tree.
// Stops at the first arc the tree does not have or that is not a number.
MibMatch FindMibObject(const MibTreeView& tree, std::string_view oid_text);

// Appends "MODULE::label" of a match's node and the rest of the text (".0").
void AppendMibName(const MibTreeView& tree, const MibMatch& match, std::string_view oid_text,
                   std::string* out);

// Builds a tree from named OIDs in any order. A later Add of the same OID
// replaces the earlier name.
class MibTreeBuilder {
 public:
  void Add(const std::vector<uint32_t>& arcs, std::string_view module, std::string_view label);
  bool empty() const { return entries_.empty(); }

  // A tree owning its storage; a View() is valid until the tree changes or goes.
  class Tree {
   public:
    MibTreeView View() const;
    size_t node_count() const { return nodes_.size(); }
    size_t Bytes() const;

   private:
    friend class MibTreeBuilder;
    std::vector<MibTreeNode> nodes_;
    size_t root_count_ = 0;
    std::vector<uint32_t> modules_;
    std::string strings_{'\0'};
  };
  Tree Build() const;

 private:
  struct Entry {
    std::vector<uint32_t> arcs;
    uint32_t module;
    uint32_t label;
  };
  std::vector<Entry> entries_;
  std::vector<std::string> module_names_;
  std::vector<std::string> labels_;
};

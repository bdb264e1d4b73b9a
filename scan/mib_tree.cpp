#include "scan/mib_tree.h"

#include <algorithm>
#include <map>
#include <memory>

MibMatch FindMibObject(const MibTreeView& tree, std::string_view oid_text) {
  MibMatch match;
  const MibTreeNode* level = tree.nodes;
  size_t level_count = tree.root_count;
  size_t depth = 0;
  size_t pos = 0;
  const size_t size = oid_text.size();
  while (pos < size) {
    if (level_count == 0) {
      match.settled = depth;
      break;
    }
    uint64_t arc = 0;
    size_t end = pos;
    while (end < size && oid_text[end] >= '0' && oid_text[end] <= '9' && end - pos < 11) {
      arc = arc * 10 + static_cast<uint64_t>(oid_text[end] - '0');
      ++end;
    }
    // Only the canonical text of an arc: a name must not stand for another spelling.
    if (end == pos || arc > UINT32_MAX || (oid_text[pos] == '0' && end - pos > 1) ||
        (end < size && oid_text[end] != '.'))
      break;
    const MibTreeNode* last = level + level_count;
    const MibTreeNode* node =
        level_count <= 8
            ? std::find_if(level, last, [arc](const MibTreeNode& n) { return n.arc >= arc; })
            : std::lower_bound(level, last, arc,
                               [](const MibTreeNode& n, uint64_t a) { return n.arc < a; });
    if (node == last || node->arc != arc) {
      match.settled = depth + 1;
      break;
    }
    ++depth;
    if (node->label != 0) {
      match.node = node;
      match.depth = depth;
      match.rest = end;
    }
    level = tree.nodes + node->first_child;
    level_count = node->child_count;
    pos = end + 1;
  }
  if (pos >= size && level_count == 0) match.settled = depth;
  return match;
}

void AppendMibName(const MibTreeView& tree, const MibMatch& match, std::string_view oid_text,
                   std::string* out) {
  if (!match.node) return;
  out->append(tree.strings + tree.modules[match.node->module]);
  out->append("::");
  out->append(tree.strings + match.node->label);
  out->append(oid_text.substr(std::min(match.rest, oid_text.size())));
}

namespace {

uint32_t Intern(std::vector<std::string>* names, std::string_view name) {
  auto it = std::find(names->begin(), names->end(), name);
  if (it != names->end()) return static_cast<uint32_t>(it - names->begin());
  names->emplace_back(name);
  return static_cast<uint32_t>(names->size() - 1);
}

}  // namespace

void MibTreeBuilder::Add(const std::vector<uint32_t>& arcs, std::string_view module,
                         std::string_view label) {
  if (arcs.empty() || label.empty()) return;
  // Modules are few; labels are many and rarely repeat, so they are kept as given.
  labels_.emplace_back(label);
  entries_.push_back(
      {arcs, Intern(&module_names_, module), static_cast<uint32_t>(labels_.size() - 1)});
}

MibTreeBuilder::Tree MibTreeBuilder::Build() const {
  struct Temp {
    std::map<uint32_t, std::unique_ptr<Temp>> children;
    const Entry* entry = nullptr;
  };
  Temp root;
  for (const Entry& e : entries_) {  // in order: a later entry replaces an earlier one
    Temp* node = &root;
    for (uint32_t arc : e.arcs) {
      auto& child = node->children[arc];
      if (!child) child = std::make_unique<Temp>();
      node = child.get();
    }
    node->entry = &e;
  }
  Tree tree;
  std::vector<uint32_t> module_offsets(module_names_.size(), 0);
  auto offset = [&tree](const std::string& s) {
    const auto at = static_cast<uint32_t>(tree.strings_.size());
    tree.strings_.append(s);
    tree.strings_.push_back('\0');
    return at;
  };
  for (size_t i = 0; i < module_names_.size(); ++i) module_offsets[i] = offset(module_names_[i]);
  tree.modules_ = module_offsets;
  // Breadth first, so the children of each node are contiguous.
  std::vector<const Temp*> order;
  for (const auto& [arc, child] : root.children) order.push_back(child.get());
  tree.root_count_ = order.size();
  std::vector<uint32_t> arcs;
  for (const auto& [arc, child] : root.children) arcs.push_back(arc);
  for (size_t i = 0; i < order.size(); ++i) {
    const Temp* t = order[i];
    MibTreeNode node{arcs[i], 0, static_cast<uint32_t>(t->children.size()), 0, 0};
    if (!t->children.empty()) node.first_child = static_cast<uint32_t>(order.size());
    for (const auto& [arc, child] : t->children) {
      order.push_back(child.get());
      arcs.push_back(arc);
    }
    if (t->entry) {
      node.module = t->entry->module;
      node.label = offset(labels_[t->entry->label]);
    }
    tree.nodes_.push_back(node);
  }
  return tree;
}

MibTreeView MibTreeBuilder::Tree::View() const {
  return {nodes_.data(),   nodes_.size(),   root_count_,
          modules_.data(), modules_.size(), strings_.data()};
}

size_t MibTreeBuilder::Tree::Bytes() const {
  return nodes_.capacity() * sizeof(MibTreeNode) + modules_.capacity() * sizeof(uint32_t) +
         strings_.capacity();
}

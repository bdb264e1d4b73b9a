#!/usr/bin/env python3
"""Turns pysnmp's compiled MIB modules into a C++ table of MIB object names.

The modules are read as Python syntax trees, never run: only assignments of
MIB nodes (MibScalar, MibTableColumn, MibIdentifier, ...) with their OIDs, the
labels they set and the module that exports them are taken. With
--netsnmp-mibs, the MIB texts there (Debian's libsnmp-base: UCD-SNMP-MIB,
NET-SNMP-*) add the objects pysnmp's modules lack, as snmptranslate names them
with the SNMPv2-SMI nodes of --smi-nodes (which the table source carries too).
"""
import argparse
import ast
import os
import re
import shutil
import subprocess
import sys
import tempfile

NODE_CLASSES = {
    "MibTree", "MibIdentifier", "MibScalar", "MibTable", "MibTableRow", "MibTableColumn",
    "ModuleIdentity", "ObjectIdentity", "NotificationType", "ObjectGroup",
    "NotificationGroup", "ModuleCompliance", "AgentCapabilities",
}


def superseded(module):
    """The RFCnnnn-... modules are older texts of objects that current modules
    (IF-MIB, IP-MIB, RMON-MIB, ...) define at the same OIDs."""
    return re.match(r"RFC-?[0-9]", module) is not None


class ModuleReader:
    def __init__(self, module, tree, known):
        self.module = module
        self.tree = tree
        self.known = known  # python name -> oid tuple, across modules read so far
        self.local = {}     # python name -> (oid tuple, label)
        self.exported = {}  # python name -> exporting module

    def oid_of(self, expr):
        if isinstance(expr, ast.Tuple):
            values = []
            for elt in expr.elts:
                if not isinstance(elt, ast.Constant) or not isinstance(elt.value, int):
                    return None
                values.append(elt.value)
            return tuple(values)
        if isinstance(expr, ast.BinOp) and isinstance(expr.op, ast.Add):
            left, right = self.oid_of(expr.left), self.oid_of(expr.right)
            return None if left is None or right is None else left + right
        if isinstance(expr, ast.Attribute) and expr.attr == "name" and isinstance(expr.value, ast.Name):
            name = expr.value.id
            if name in self.local:
                return self.local[name][0]
            return self.known.get(name)
        return None

    def node(self, expr):
        """(oid, label, class) of a node expression, or None."""
        label = None
        while isinstance(expr, ast.Call) and isinstance(expr.func, ast.Attribute):
            if expr.func.attr == "setLabel" and expr.args and isinstance(expr.args[0], ast.Constant):
                label = expr.args[0].value
            expr = expr.func.value
        if not (isinstance(expr, ast.Call) and isinstance(expr.func, ast.Name)
                and expr.func.id in NODE_CLASSES and expr.args):
            return None
        oid = self.oid_of(expr.args[0])
        if not oid:
            return None
        return oid, label, expr.func.id

    def statements(self, body):
        for stmt in body:
            if isinstance(stmt, ast.If):
                yield from self.statements(stmt.body)
                yield from self.statements(stmt.orelse)
            else:
                yield stmt

    def read(self):
        for stmt in self.statements(self.tree.body):
            if isinstance(stmt, ast.Assign) and len(stmt.targets) == 1 and isinstance(stmt.targets[0], ast.Name):
                found = self.node(stmt.value)
                if found:
                    self.local[stmt.targets[0].id] = found
            elif isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Call):
                call = stmt.value
                if (isinstance(call.func, ast.Attribute) and call.func.attr == "exportSymbols"
                        and call.args and isinstance(call.args[0], ast.Constant)):
                    module = call.args[0].value
                    for kw in call.keywords:
                        if kw.arg is not None and isinstance(kw.value, ast.Name):
                            self.exported[kw.value.id] = module
                        elif kw.arg is None and isinstance(kw.value, ast.Dict):
                            for value in kw.value.values:
                                if isinstance(value, ast.Name):
                                    self.exported[value.id] = module
        objects = []
        for name, (oid, label, kind) in self.local.items():
            objects.append((oid, self.exported.get(name, self.module), label or name, kind))
        return objects


def read_all(dirs):
    files = {}
    for d in dirs:
        for entry in sorted(os.listdir(d)):
            if entry.endswith(".py") and not entry.startswith("_"):
                files.setdefault(entry[:-3], os.path.join(d, entry))
    # SNMPv2-SMI first: others refer to its nodes by name (mib_2.name + ...).
    order = sorted(files, key=lambda m: (m != "SNMPv2-SMI", m))
    known, objects = {}, []
    for module in order:
        with open(files[module], encoding="utf-8") as f:
            tree = ast.parse(f.read(), files[module])
        reader = ModuleReader(module, tree, known)
        found = reader.read()
        if module == "SNMPv2-SMI":
            known.update({name: found[0] for name, found in reader.local.items()})
        objects.extend(found)
    # A node below a scalar or column is an instance some module gave a name
    # (sysUpTimeInstance): rows there are named by the object and the instance.
    leaves = {oid for oid, _, _, kind in objects if kind in ("MibScalar", "MibTableColumn")}
    return [(oid, module, label) for oid, module, label, _ in objects
            if not any(oid[:n] in leaves for n in range(1, len(oid)))]


def choose(objects):
    """One (module, label) per OID. Where modules disagree: a current module
    over a superseded one, then the one defining more objects below the OID
    (TCP-MIB's tcp rather than IPV6-TCP-MIB's), then SNMPv2-SMI's (zeroDotZero
    rather than DLSW-MIB's null), then the first by name, so the table does not
    depend on file order."""
    by_oid = {}
    for oid, module, label in objects:
        by_oid.setdefault(oid, set()).add((module, label))
    by_module = {}
    for oid, module, _ in objects:
        by_module.setdefault(module, []).append(oid)

    def below(module, oid):
        return sum(1 for o in by_module[module] if len(o) > len(oid) and o[:len(oid)] == oid)

    named = {}
    for oid, names in by_oid.items():
        if len(names) == 1:
            named[oid] = next(iter(names))
        else:
            named[oid] = min(names, key=lambda n: (superseded(n[0]), -below(n[0], oid),
                                                   n[0] != "SNMPv2-SMI", n))
    return named


def flatten(named):
    """Trie nodes in breadth-first order, children of a node contiguous and
    sorted by arc: (arc, first_child, child_count, module, label)."""
    root = {}
    for oid in named:
        node = root
        for arc in oid:
            node = node.setdefault(arc, {})
    # The root's children are nodes 0 .. len(root) - 1.
    pending = [(arc, (arc,), child) for arc, child in sorted(root.items())]
    entries = []
    for arc, oid, children in pending:  # grows as it goes: breadth first
        first = len(pending)
        for child_arc, grand in sorted(children.items()):
            pending.append((child_arc, oid + (child_arc,), grand))
        entries.append((arc, first if children else 0, len(children), oid))
    return [(arc, first, count, named.get(oid)) for arc, first, count, oid in entries], len(root)


def read_netsnmp(mib_dir, smi_nodes, snmptranslate):
    """(oid, module, label) of every object in the MIB texts of mib_dir."""
    with tempfile.TemporaryDirectory() as smi_dir:
        shutil.copy(smi_nodes, os.path.join(smi_dir, "SNMPv2-SMI.txt"))
        env = dict(os.environ, MIBS="", MIBDIRS="", SNMPCONFPATH=smi_dir)
        base = [snmptranslate, "-M", smi_dir + ":" + mib_dir, "-m", "ALL"]
        listed = subprocess.run(base + ["-Tz"], env=env, capture_output=True, text=True,
                                check=True).stdout
        oids = re.findall(r'"([0-9.]+)"\s*$', listed, re.M)
        named = subprocess.run(base + oids, env=env, capture_output=True, text=True,
                               check=True).stdout
        names = [line for line in named.splitlines() if line]
    if len(names) != len(oids):
        sys.exit("mib_table.py: snmptranslate named %d of %d OIDs" % (len(names), len(oids)))
    objects = []
    for oid, name in zip(oids, names):
        module, _, label = name.partition("::")
        if label and "." not in label:
            objects.append((tuple(int(a) for a in oid.split(".")), module, label))
    return objects


def write(out_path, nodes, roots, named, smi_nodes):
    modules = sorted({module for module, _ in named.values()})
    module_index = {m: i for i, m in enumerate(modules)}
    strings = bytearray(b"\0")
    offsets = {}

    def offset(text):
        if text not in offsets:
            offsets[text] = len(strings)
            strings.extend(text.encode("utf-8") + b"\0")
        return offsets[text]

    module_offsets = [offset(m) for m in modules]
    lines = [
        "// Generated by scripts/mib_table.py from pysnmp's compiled MIB modules. Do not edit.",
        '#include "scan/mib_tree.h"',
        "",
        "namespace {",
        "",
        f"const MibTreeNode kNodes[{len(nodes)}] = {{",
    ]
    for arc, first, count, name in nodes:
        if name:
            module, label = name
            lines.append(f"    {{{arc}u, {first}u, {count}u, {module_index[module]}u, {offset(label)}u}},")
        else:
            lines.append(f"    {{{arc}u, {first}u, {count}u, 0u, 0u}},")
    lines.append("};")
    lines.append("")
    lines.append(f"const uint32_t kModules[{len(modules)}] = {{")
    for i in range(0, len(module_offsets), 12):
        lines.append("    " + ", ".join(f"{o}u" for o in module_offsets[i:i + 12]) + ",")
    lines.append("};")
    lines.append("")
    # The pool as one string literal in pieces, so no line is very long.
    lines.append(f"const char kStrings[{len(strings) + 1}] =")
    pieces = strings.decode("utf-8").split("\0")
    chunk = []
    for piece in pieces[:-1]:
        chunk.append(piece + "\\0")
        if len(chunk) == 8:
            lines.append('    "' + "".join(chunk) + '"')
            chunk = []
    if chunk:
        lines.append('    "' + "".join(chunk) + '"')
    lines.append("    ;")
    lines.append("")
    lines.append("}  // namespace")
    lines.append("")
    lines.append("const MibTreeView kStandardMibTree = {")
    lines.append(f"    kNodes, {len(nodes)}u, {roots}u, kModules, {len(modules)}u, kStrings,")
    lines.append("};")
    lines.append("")
    lines.append("const char kSmiNodesModule[] =")
    with open(smi_nodes, encoding="ascii") as f:
        for line in f.read().splitlines():
            lines.append('    "' + line.replace("\\", "\\\\").replace('"', '\\"') + '\\n"')
    lines.append("    ;")
    tmp = out_path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, out_path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out")
    parser.add_argument("pysnmp_dirs", nargs="+")
    parser.add_argument("--smi-nodes", required=True)
    parser.add_argument("--netsnmp-mibs")
    parser.add_argument("--snmptranslate", default="snmptranslate")
    args = parser.parse_args()
    objects = read_all(args.pysnmp_dirs)
    if not objects:
        sys.exit("mib_table.py: no MIB objects found in " + " ".join(args.pysnmp_dirs))
    named = choose(objects)
    if args.netsnmp_mibs:
        # Only where pysnmp's modules know no object at that OID.
        for oid, module, label in read_netsnmp(args.netsnmp_mibs, args.smi_nodes,
                                               args.snmptranslate):
            named.setdefault(oid, (module, label))
    for oid, (module, label) in named.items():
        if '"' in label or "\\" in label or '"' in module:
            sys.exit(f"mib_table.py: unexpected name {module}::{label}")
    nodes, roots = flatten(named)
    write(args.out, nodes, roots, named, args.smi_nodes)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""pass_persist back end for snmpd: one object of every SNMP value type.

Serves the subtree given as the first argument (default .1.3.6.1.4.1.99999).
The objects and their values are fixed so that tests can compare renderings.
"""
import sys

BASE = sys.argv[1] if len(sys.argv) > 1 else ".1.3.6.1.4.1.99999"

# (sub-identifier below BASE, pass type, value as pass_persist wants it)
OBJECTS = [
    ("1.0", "integer", "-5"),
    ("2.0", "gauge", "4294967295"),
    ("3.0", "counter", "7"),
    ("4.0", "counter64", "4294967296"),
    ("5.0", "timeticks", "100"),
    ("6.0", "ipaddress", "192.0.2.1"),
    ("7.0", "objectid", ".1.3.6.1.2.1.1.3.0"),
    ("8.0", "string", "plain text"),
    ("9.0", "octet", "61 62 63 00 00 00"),          # zero-padded text
    ("10.0", "octet", "00 01 02 09 ff"),            # binary
    ("11.0", "octet", "63 61 66 e9"),               # Latin-1 text
    ("12.0", "opaque", "01 02"),                    # not rendered
    ("13.0", "string", ""),                         # empty text
    ("14.0", "octet", " ".join("%02x" % b for b in range(48))),
    ("15.0", "octet", "00 21 9b aa bb cc"),         # MAC with a leading zero
    ("16.0", "octet", "ae e3 f0 52 e6 c0"),         # MAC of high bytes
    ("17.0", "octet", "c0 a8 00 20"),               # IPv4 address as bytes
    ("18.0", "octet", "61 62 63 00 64 65 66"),      # inner zero
    ("19.0", "octet", "00 00 00 00"),               # zeros only
    ("20.0", "octet", "63 61 66 c3 a9"),            # UTF-8 text
    ("21.0", "octet", "ef bf be"),                  # U+FFFE
]


def key(oid):
    return [int(x) for x in oid.strip(".").split(".") if x]


TABLE = sorted(((key(BASE + "." + sub), BASE + "." + sub, t, v) for sub, t, v in OBJECTS))


def answer(entry):
    _, oid, typ, value = entry
    sys.stdout.write("%s\n%s\n%s\n" % (oid, typ, value))


def main():
    for line in sys.stdin:
        cmd = line.strip()
        if cmd == "PING":
            sys.stdout.write("PONG\n")
        elif cmd in ("get", "getnext"):
            wanted = key(sys.stdin.readline())
            found = None
            for entry in TABLE:
                if (cmd == "get" and entry[0] == wanted) or (cmd == "getnext" and entry[0] > wanted):
                    found = entry
                    break
            if found:
                answer(found)
            else:
                sys.stdout.write("NONE\n")
        elif cmd == "set":
            sys.stdin.readline()
            sys.stdin.readline()
            sys.stdout.write("not-writable\n")
        elif cmd == "":
            return
        else:
            sys.stdout.write("NONE\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A scripted SNMP agent that misbehaves on purpose, for tests.

Usage: scripted_agent.py SCENARIO [ARG] [--community C] [--address A]
                         [--count-file F] [--good N] [--then-answer]
                         [--user U --auth-pass P --auth-protocol A]
                         [--engine-id TEXT] [--engine-boots N]
                         [--engine-time T] [--check-time] [--delay-ms D]

Binds a UDP socket on ADDRESS (default 127.0.0.1) at a port the kernel picks,
prints "PORT <n>" on stdout once bound, then answers requests the way the
scenario says. It exits when its standard input reaches end of file (so it
dies with the test process that started it) or when it is killed; run by
hand, give it a standard input that stays open.

The v1/v2c scenarios serve v1 and v2c; requests that do not parse, use
another SNMP version or carry the wrong community are ignored, as a real
agent would. The "v3-" scenarios serve SNMPv3 with the user-based security
model instead: one user (--user, --auth-pass, --auth-protocol MD5, SHA,
SHA-224 ... SHA-512), engine ID --engine-id. They answer the engine-ID probe
as agents do, and authNoPriv requests from NORMAL_TREE with an authenticated
answer. The agent neither checks the digests of requests nor decrypts
authPriv ones (the standard library has no cipher); the v3 scenarios only
need the message id of those.
Every datagram received counts; the count is written to --count-file before
any answer goes out.

--good N       the first N requests get correct answers before the scenario's
               own behaviour starts.
--then-answer  after the scenario's hostile packets, send the correct answer too
               (shows whether a client skips the bad packet and takes the good one).
--engine-boots N, --engine-time T
               the v3 engine's clock: boots N (default 3), time T seconds
               (default 1000) at start, counting up from there.
--check-time   v3 requests whose boots and time lie outside the engine's time
               window get an authenticated notInTimeWindow report instead of
               an answer, as an agent sends it.
--delay-ms D   every answer goes out D ms after its request; requests that
               come meanwhile are served all the same (so exchanges with
               several clients overlap).

Standard library only; the BER codec is written out here on purpose.
"""

import argparse
import heapq
import os
import time
import random
import selectors
import socket
import sys

# ---------------------------------------------------------------- BER codec

SEQUENCE = 0x30
INTEGER, OCTET_STRING, NULL, OBJECT_ID, BIT_STRING = 0x02, 0x04, 0x05, 0x06, 0x03
IP_ADDRESS, COUNTER32, GAUGE32, TIMETICKS, OPAQUE = 0x40, 0x41, 0x42, 0x43, 0x44
NSAP_ADDRESS, COUNTER64, UINTEGER32 = 0x45, 0x46, 0x47
NO_SUCH_OBJECT, NO_SUCH_INSTANCE, END_OF_MIB_VIEW = 0x80, 0x81, 0x82
EXCEPTIONS = (NO_SUCH_OBJECT, NO_SUCH_INSTANCE, END_OF_MIB_VIEW)
GET, GETNEXT, RESPONSE, GETBULK = 0xA0, 0xA1, 0xA2, 0xA5
REPORT = 0xA8
NO_ERROR, TOO_BIG, NO_SUCH_NAME, GEN_ERR = 0, 1, 2, 5
V1, V2C, V3 = 0, 1, 3

# Largest UDP payload over IPv4: 65535 minus the IP (20) and UDP (8) headers.
MAX_UDP_PAYLOAD = 65507


class BerError(Exception):
    pass


def encode_length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + encode_length(len(content)) + content


def int_content(v):
    """Shortest two's complement form; non-negative values that set the top
    bit get a leading zero, which is also how unsigned types are sent."""
    size = 1
    while True:
        try:
            return v.to_bytes(size, "big", signed=True)
        except OverflowError:
            size += 1


def oid_content(oid):
    if len(oid) < 2:
        raise BerError("an OID needs two sub-identifiers")
    out = bytearray()
    for sub in [oid[0] * 40 + oid[1]] + list(oid[2:]):
        chunk = [sub & 0x7F]
        sub >>= 7
        while sub:
            chunk.append(0x80 | (sub & 0x7F))
            sub >>= 7
        out += bytes(reversed(chunk))
    return bytes(out)


def read_tlv(data, pos):
    """Returns (tag, content, next position); raises BerError on anything odd."""
    if pos + 2 > len(data):
        raise BerError("header past the end")
    tag, first = data[pos], data[pos + 1]
    pos += 2
    if tag & 0x1F == 0x1F:
        raise BerError("multi-byte tags are not used by SNMP")
    if first & 0x80:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + count > len(data):
            raise BerError("bad long-form length")
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    else:
        length = first
    if pos + length > len(data):
        raise BerError("length beyond the data")
    return tag, data[pos:pos + length], pos + length


def read_all(data, expected_tag=None):
    """Splits a constructed value into its elements: [(tag, content), ...]."""
    items, pos = [], 0
    while pos < len(data):
        tag, content, pos = read_tlv(data, pos)
        items.append((tag, content))
    if expected_tag is not None and any(tag != expected_tag for tag, _ in items):
        raise BerError("unexpected element")
    return items


def decode_int(content):
    if not content:
        raise BerError("empty INTEGER")
    return int.from_bytes(content, "big", signed=True)


def decode_oid(content):
    subs, value = [], 0
    for i, byte in enumerate(content):
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            subs.append(value)
            value = 0
        elif i == len(content) - 1:
            raise BerError("OID ends inside a sub-identifier")
    if not subs:
        raise BerError("empty OID")
    first = subs[0]
    head = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    return tuple(head + subs[1:])


class Request:
    def __init__(self, version, community, pdu_type, request_id, varbinds, non_repeaters=0, max_repetitions=0):
        self.version = version
        self.community = community
        self.pdu_type = pdu_type
        self.request_id = request_id
        self.varbinds = varbinds  # [(oid tuple, (tag, content)), ...]
        # GETBULK only: the two fields that hold the error status and index
        # in every other PDU.
        self.non_repeaters = non_repeaters
        self.max_repetitions = max_repetitions


def decode_pdu(pdu):
    """The request id, the varbinds and the two fields between them."""
    fields = read_all(pdu)
    if len(fields) != 4 or [t for t, _ in fields[:3]] != [INTEGER] * 3 or fields[3][0] != SEQUENCE:
        raise BerError("not a PDU")
    varbinds = []
    for _, vb in read_all(fields[3][1], SEQUENCE):
        pair = read_all(vb)
        if len(pair) != 2 or pair[0][0] != OBJECT_ID:
            raise BerError("not a varbind")
        varbinds.append((decode_oid(pair[0][1]), pair[1]))
    return decode_int(fields[0][1]), varbinds, decode_int(fields[1][1]), decode_int(fields[2][1])


def decode_request(data):
    tag, message, end = read_tlv(data, 0)
    if tag != SEQUENCE or end != len(data):
        raise BerError("not one SEQUENCE")
    parts = read_all(message)
    if len(parts) != 3 or parts[0][0] != INTEGER or parts[1][0] != OCTET_STRING:
        raise BerError("not an SNMP message")
    pdu_type, pdu = parts[2]
    request_id, varbinds, non_repeaters, max_repetitions = decode_pdu(pdu)
    return Request(decode_int(parts[0][1]), parts[1][1], pdu_type, request_id, varbinds, non_repeaters,
                   max_repetitions)


def encode_value(value):
    """value: (tag, content), or bytes already encoded (for deliberately broken ones)."""
    return value if isinstance(value, bytes) else tlv(*value)


def encode_pdu(pdu_type, request_id, varbinds, error_status=NO_ERROR, error_index=0):
    vbl = b"".join(tlv(SEQUENCE, tlv(OBJECT_ID, oid_content(oid)) + encode_value(value)) for oid, value in varbinds)
    return tlv(pdu_type, tlv(INTEGER, int_content(request_id)) + tlv(INTEGER, int_content(error_status))
               + tlv(INTEGER, int_content(error_index)) + tlv(SEQUENCE, vbl))


def encode_response(req, varbinds, error_status=NO_ERROR, error_index=0, request_id=None, version=None):
    """varbinds: [(oid tuple, (tag, content)), ...]"""
    if req.version == V3:
        pdu = encode_pdu(RESPONSE, req.request_id if request_id is None else request_id, varbinds,
                         error_status, error_index)
        return req.usm.wrap(req, pdu)
    vbl = b"".join(tlv(SEQUENCE, tlv(OBJECT_ID, oid_content(oid)) + encode_value(value)) for oid, value in varbinds)
    pdu = (tlv(INTEGER, int_content(req.request_id if request_id is None else request_id))
           + tlv(INTEGER, int_content(error_status)) + tlv(INTEGER, int_content(error_index))
           + tlv(SEQUENCE, vbl))
    return tlv(SEQUENCE, tlv(INTEGER, int_content(req.version if version is None else version))
               + tlv(OCTET_STRING, req.community)
               + tlv(RESPONSE, pdu))


# ---------------------------------------------------------------- values and trees

def oid(text):
    return tuple(int(s) for s in text.split("."))


def integer(v): return (INTEGER, int_content(v))
def octets(b): return (OCTET_STRING, b if isinstance(b, bytes) else b.encode())
def oid_value(o): return (OBJECT_ID, oid_content(o))
def unsigned(tag, v): return (tag, int_content(v))
def raw(tag, b): return (tag, b)


NULL_VALUE = (NULL, b"")

NORMAL_TREE = [
    (oid("1.3.6.1.2.1.1.1.0"), octets("mibscan scripted agent")),
    (oid("1.3.6.1.2.1.1.2.0"), oid_value(oid("1.3.6.1.4.1.8072.3.2.10"))),
    (oid("1.3.6.1.2.1.1.3.0"), unsigned(TIMETICKS, 12345)),
    (oid("1.3.6.1.2.1.1.4.0"), octets("operator@localhost")),
    (oid("1.3.6.1.2.1.1.5.0"), octets("scripted")),
    (oid("1.3.6.1.4.1.8072.1.1.0"), integer(42)),
]

# The answer after sysUpTime.0 is the walk's exclusive end bound itself.
AT_END_BOUND_TREE = [
    (oid("1.3.6.1.2.1.1.3.0"), unsigned(TIMETICKS, 12345)),
    (oid("1.3.6.1.2.1.1.4"), octets("end bound")),
]

# Every value type, one per instance ALL_TYPES_BASE.k.0, k counted from 1.
# Net-SNMP drops a whole answer that carries the 5-byte IpAddress, so it sits
# after every type the library reads, just before the v2c exception values.
ALL_TYPES_BASE = oid("1.3.6.1.4.1.8072.9999")
BAD_IP_ADDRESS = raw(IP_ADDRESS, bytes([192, 0, 2, 1, 7]))
ALL_TYPES_TREE = [(ALL_TYPES_BASE + (k, 0), value) for k, value in enumerate([
    integer(-123456),
    octets("text value"),
    octets(b"\x00\x01\x02\xfe\xff\x80\n"),
    NULL_VALUE,
    oid_value(oid("1.3.6.1.4.1.8072.42")),
    raw(IP_ADDRESS, bytes([192, 0, 2, 1])),
    unsigned(COUNTER32, 4294967295),
    unsigned(GAUGE32, 4000000000),
    unsigned(TIMETICKS, 123456789),
    raw(OPAQUE, b"\x01\x02\x03\x04"),
    unsigned(COUNTER64, 0xFEDCBA9876543210),
    raw(NSAP_ADDRESS, b"\x47\x00\x05\x80"),
    unsigned(UINTEGER32, 4294967295),
    raw(BIT_STRING, b"\x00\xa5"),
    BAD_IP_ADDRESS,
    raw(NO_SUCH_OBJECT, b""),
    raw(NO_SUCH_INSTANCE, b""),
    raw(END_OF_MIB_VIEW, b""),
], start=1)]


def long_oid_tree(count):
    """A name and an OID value of `count` sub-identifiers each (128 is the
    most Net-SNMP accepts)."""
    prefix = oid("1.3.6.1.2.1.1.9")
    long_name = prefix + tuple(range(1, count - len(prefix) + 1))
    return [(oid("1.3.6.1.2.1.1.8.0"), oid_value(long_name)), (long_name, octets("long name"))]


def bulk_varbinds(req, next_of):
    """The varbinds of a GETBULK answer: the non-repeaters once, then the
    repeaters max-repetitions times, each row following on from the last.
    next_of(name) gives the (name, value) after name; endOfMibView stays put,
    as an agent's does."""
    names = [name for name, _ in req.varbinds]
    non_repeaters = max(0, min(req.non_repeaters, len(names)))
    answers = [next_of(name) for name in names[:non_repeaters]]
    row = names[non_repeaters:]
    for _ in range(max(0, req.max_repetitions) if row else 0):
        found = [next_of(name) for name in row]
        answers += found
        row = [name for name, _ in found]
    return answers


def next_in(tree):
    """The next_of of bulk_varbinds for a sorted tree."""
    return lambda name: next(((o, v) for o, v in tree if o > name), (name, raw(END_OF_MIB_VIEW, b"")))


def serve_answers(req, tree):
    """The varbinds of the correct answer to a GET, GETNEXT or GETBULK from a
    sorted tree, or for v1 (which has no exception values: those entries do
    not exist for it) the index of the first name it lacks."""
    if req.version == V1:
        tree = [(o, v) for o, v in tree if v[0] not in EXCEPTIONS]
    if req.pdu_type == GETBULK:
        return bulk_varbinds(req, next_in(tree)), 0
    answers = []
    for index, (name, _) in enumerate(req.varbinds, start=1):
        if req.pdu_type == GETNEXT:
            found = next(((o, v) for o, v in tree if o > name), None)
            missing = (name, raw(END_OF_MIB_VIEW, b""))
        else:
            found = next(((o, v) for o, v in tree if o == name), None)
            known_object = any(o[:-1] == name[:-1] for o, _ in tree)
            missing = (name, raw(NO_SUCH_INSTANCE if known_object else NO_SUCH_OBJECT, b""))
        if found is None and req.version == V1:
            return None, index
        answers.append(found or missing)
    return answers, 0


def serve(req, tree, request_id=None):
    answers, missing_index = serve_answers(req, tree)
    if answers is None:
        return encode_response(req, req.varbinds, NO_SUCH_NAME, missing_index, request_id)
    return encode_response(req, answers, request_id=request_id)


# ---------------------------------------------------------------- scenarios
# Each takes the agent and the request and returns the datagrams to send back
# from the agent's socket (an empty list sends nothing).

def arg_int(agent, default):
    return int(agent.arg) if agent.arg else default


def normal(agent, req):
    return [serve(req, NORMAL_TREE)]


def not_increasing(agent, req):
    """One good answer, then every answer names the requested OID itself, or
    with ARG "smaller" its parent (which sorts before it)."""
    if agent.count == 1:
        return [serve(req, NORMAL_TREE)]
    name = req.varbinds[0][0]
    if agent.arg == "smaller":
        name = name[:-1]
    return [encode_response(req, [(name, octets("not increasing"))])]


def error_index_beyond(agent, req):
    """genErr with an error index of ARG (default: one past the varbinds)."""
    return [encode_response(req, req.varbinds, GEN_ERR, arg_int(agent, len(req.varbinds) + 1))]


def nosuchname(agent, req):
    return [encode_response(req, req.varbinds, NO_SUCH_NAME, 1)]


def at_end_bound(agent, req):
    return [serve(req, AT_END_BOUND_TREE)]


def silent_after(agent, req):
    """Answers the first ARG (default 3) requests, then nothing ever again."""
    return [serve(req, NORMAL_TREE)] if agent.count <= arg_int(agent, 3) else []


def silent_under(agent, req):
    """Like normal, except that a request whose first name lies in one of the
    comma-separated subtrees of ARG gets no answer (the agent stops answering
    in the middle of a walk but still answers other requests)."""
    name = req.varbinds[0][0]
    for text in filter(None, agent.arg.split(",")):
        prefix = oid(text)
        if name[:len(prefix)] == prefix:
            return []
    return [serve(req, NORMAL_TREE)]


def error_under(agent, req):
    """The table, except that a request whose first name lies in the subtree
    ARG gets genErr (an agent failing in the middle of a walk)."""
    if req.varbinds and req.varbinds[0][0][:len(oid(agent.arg))] == oid(agent.arg):
        return [encode_response(req, req.varbinds, GEN_ERR, 1)]
    return [serve(req, TABLE_TREE)]


def garbage(agent, req):
    """Random bytes, reproducible from the seed ARG (default 1)."""
    rng = random.Random(arg_int(agent, 1) * 1000003 + agent.count)
    return [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))]


def bad_length(agent, req):
    """A datagram with one length made wrong, chosen by ARG:
    inner       the value's length is 2 short: stray bytes end its varbind (default);
    inner-long  the value's length runs 3 bytes past its varbind and the datagram;
    beyond      the message length runs 10 bytes past the end of the datagram;
    short       the message length stops 5 bytes before the end of the datagram;
    indefinite  the message uses the indefinite length form (not allowed in SNMP);
    huge        the message length claims 4 GiB - 1."""
    kind = agent.arg or "inner"
    text = b"wrong length"
    if kind in ("inner", "inner-long"):
        claimed = len(text) - 2 if kind == "inner" else len(text) + 3
        return [encode_response(req, [(req.varbinds[0][0], bytes([OCTET_STRING, claimed]) + text)])]
    tag, content, _ = read_tlv(serve(req, NORMAL_TREE), 0)
    header = {
        "beyond": encode_length(len(content) + 10),
        "short": encode_length(len(content) - 5),
        "indefinite": b"\x80",
        "huge": b"\x84\xff\xff\xff\xff",
    }.get(kind)
    if header is None:
        raise SystemExit("bad-length: unknown kind " + kind)
    return [bytes([tag]) + header + content + (b"\x00\x00" if kind == "indefinite" else b"")]


def truncated(agent, req):
    """The good answer cut to its first ARG bytes (default: half of it)."""
    good = serve(req, NORMAL_TREE)
    return [good[:arg_int(agent, len(good) // 2)]]


def long_oid(agent, req):
    """A name and an OID value of ARG sub-identifiers (default 128)."""
    return [serve(req, long_oid_tree(arg_int(agent, 128)))]


def big_string(agent, req):
    """sysDescr.0 as an OCTET STRING of ARG bytes; by default the longest that
    still fits one UDP datagram over IPv4 (65507 bytes of payload), so a
    little under 64 KiB. A length that does not fit cannot be sent at all."""
    def answer(size):
        text = (b"0123456789" * (size // 10 + 1))[:size]
        return serve(req, [(oid("1.3.6.1.2.1.1.1.0"), octets(text))])
    if agent.arg:
        return [answer(int(agent.arg))]
    size = MAX_UDP_PAYLOAD - len(answer(0))
    while len(answer(size)) > MAX_UDP_PAYLOAD:
        size -= 1
    return [answer(size)]


ENDLESS_BASE = oid("1.3.6.1.2.1.1.1")


def endless(agent, req):
    """GETNEXT and GETBULK never end: 1.3.6.1.2.1.1.1.N is followed by .N+1,
    everything else by something strictly greater. GET echoes the name."""
    def next_of(name):
        if name < ENDLESS_BASE + (1,):
            nxt = ENDLESS_BASE + (1,)
        elif len(name) == len(ENDLESS_BASE) + 1 and name[:-1] == ENDLESS_BASE and name[-1] < 0xFFFFFFFF:
            nxt = ENDLESS_BASE + (name[-1] + 1,)
        else:
            nxt = name + (0,)  # the very next OID in lexicographic order
        return (nxt, integer(nxt[-1] & 0x7FFFFFFF))
    if req.pdu_type == GETBULK:
        return [encode_response(req, bulk_varbinds(req, next_of))]
    if req.pdu_type != GETNEXT:
        return [encode_response(req, [(name, integer(name[-1] & 0x7FFFFFFF)) for name, _ in req.varbinds])]
    return [encode_response(req, [next_of(name) for name, _ in req.varbinds])]


def wrong_port(agent, req):
    """The good answer, sent from a second socket (another source port)."""
    agent.other_sock.sendto(serve(req, NORMAL_TREE), agent.peer)
    return []


def wrong_address(agent, req):
    """The good answer, sent from the same port number on another address ARG
    (default 127.0.0.2; any 127.x.y.z reaches loopback)."""
    if agent.foreign_sock is None:
        agent.foreign_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        agent.foreign_sock.bind((agent.arg or "127.0.0.2", agent.sock.getsockname()[1]))
    agent.foreign_sock.sendto(serve(req, NORMAL_TREE), agent.peer)
    return []


def wrong_version(agent, req):
    """The good answer in a message of SNMP version ARG (default: v2c for a
    v1 request, v1 for a v2c one)."""
    version = arg_int(agent, V2C if req.version == V1 else V1)
    tree = NORMAL_TREE if version == V1 else NORMAL_TREE + [(oid("1.3.6.1.2.1.1.6.0"), unsigned(COUNTER64, 2**40))]
    good = serve(req, tree)
    _, message, _ = read_tlv(good, 0)
    _, _, pos = read_tlv(message, 0)  # skip the version
    return [tlv(SEQUENCE, tlv(INTEGER, int_content(version)) + message[pos:])]


MANY_BASE = oid("1.3.6.1.2.1.1.9")


def many_varbinds(agent, req):
    """A GETNEXT gets every instance MANY_BASE.k (k = 1 .. ARG, default 2000)
    after the requested name in one answer, as many as one datagram holds;
    after the last one the v1/v2c end of the MIB. GET as the normal tree."""
    if req.pdu_type != GETNEXT:
        return [serve(req, NORMAL_TREE)]
    name = req.varbinds[0][0]
    tree = [(MANY_BASE + (k,), integer(k)) for k in range(1, arg_int(agent, 2000) + 1)]
    answers = [(o, v) for o, v in tree if o > name]
    if not answers:
        return [serve(req, [])]
    while len(encode_response(req, answers)) > MAX_UDP_PAYLOAD:
        answers = answers[:len(answers) * 9 // 10]
    return [encode_response(req, answers)]


def other_oid(agent, req):
    """Every request is answered with the name ARG (default: the requested
    name with .1 appended, which lies past it inside a get's bound)."""
    name = oid(agent.arg) if agent.arg else req.varbinds[0][0] + (1,)
    return [encode_response(req, [(name, octets("other"))])]


def wrong_request_id(agent, req):
    """The good answer with the request id plus ARG (default 1)."""
    return [serve(req, NORMAL_TREE, request_id=req.request_id + arg_int(agent, 1))]


def duplicate(agent, req):
    good = serve(req, NORMAL_TREE)
    return [good, good]


def all_types(agent, req):
    """Every value type (see ALL_TYPES_TREE); ARG "parseable" leaves out the
    5-byte IpAddress, so that a v2c walk reaches the exception values."""
    tree = ALL_TYPES_TREE
    if agent.arg == "parseable":
        tree = [(o, v) for o, v in tree if v is not BAD_IP_ADDRESS]
    return [serve(req, tree)]


# ---------------------------------------------------------------- SNMPv3 (USM)

import hashlib
import hmac

# name: (hash, digest bytes sent in a message)
AUTH_PROTOCOLS = {
    "MD5": ("md5", 12), "SHA": ("sha1", 12), "SHA-224": ("sha224", 16),
    "SHA-256": ("sha256", 24), "SHA-384": ("sha384", 32), "SHA-512": ("sha512", 48),
}
FLAG_AUTH, FLAG_PRIV, FLAG_REPORTABLE = 0x01, 0x02, 0x04
USM_MODEL = 3

# The usmStats counters that reports carry, by the names the scenarios use.
USM_STATS = oid("1.3.6.1.6.3.15.1.1")
TIME_WINDOW = 150  # seconds
REPORT_KINDS = {"unsupported-level": 1, "not-in-time": 2, "unknown-user": 3, "unknown-engine": 4,
                "wrong-digest": 5, "decryption": 6}


def password_to_key(hash_name, password):
    """RFC 3414 A.2: the hash of the pass phrase repeated to 1 MiB."""
    repeated = (password * (1048576 // len(password) + 1))[:1048576]
    return hashlib.new(hash_name, repeated).digest()


def localize_key(hash_name, ku, engine_id):
    return hashlib.new(hash_name, ku + engine_id + ku).digest()


class V3Request(Request):
    def __init__(self, msg_id, flags, engine_id, user, pdu_type, request_id, varbinds, encrypted, clock=(0, 0)):
        super().__init__(V3, b"", pdu_type, request_id, varbinds)
        self.msg_id, self.flags, self.engine_id, self.user = msg_id, flags, engine_id, user
        self.boots, self.engine_time = clock
        self.encrypted = encrypted
        self.usm = None  # set by the agent: wraps answers


def decode_v3_request(data):
    tag, message, end = read_tlv(data, 0)
    if tag != SEQUENCE or end != len(data):
        raise BerError("not one SEQUENCE")
    parts = read_all(message)
    if len(parts) != 4 or parts[0][0] != INTEGER or decode_int(parts[0][1]) != V3:
        raise BerError("not an SNMPv3 message")
    header = read_all(parts[1][1], None)
    if len(header) != 4 or header[2][0] != OCTET_STRING or len(header[2][1]) != 1:
        raise BerError("bad header")
    msg_id, flags, model = decode_int(header[0][1]), header[2][1][0], decode_int(header[3][1])
    if model != USM_MODEL or parts[2][0] != OCTET_STRING:
        raise BerError("not USM")
    tag, sec, _ = read_tlv(parts[2][1], 0)
    sec = read_all(sec)
    if len(sec) != 6:
        raise BerError("bad security parameters")
    engine_id, user = sec[0][1], sec[3][1]
    clock = (decode_int(sec[1][1]), decode_int(sec[2][1]))
    if flags & FLAG_PRIV:
        return V3Request(msg_id, flags, engine_id, user, GET, 0, [], True, clock)
    scoped = read_all(parts[3][1])
    if len(scoped) != 3:
        raise BerError("bad scoped PDU")
    pdu_type, pdu = scoped[2]
    request_id, varbinds, _, _ = decode_pdu(pdu)
    return V3Request(msg_id, flags, engine_id, user, pdu_type, request_id, varbinds, False, clock)


class Usm:
    """The agent's side of one SNMPv3 user: its engine, keys and clock."""

    def __init__(self, options):
        self.engine_id = options.engine_id.encode()
        self.user = options.user.encode()
        self.hash_name, self.digest_length = AUTH_PROTOCOLS[options.auth_protocol.upper()]
        self.ku = password_to_key(self.hash_name, options.auth_pass.encode())
        self.boots = options.engine_boots
        self.time_at_start = options.engine_time
        self.started = time.monotonic()

    def engine_time(self):
        return int(time.monotonic() - self.started) + self.time_at_start

    def in_time_window(self, req):
        """RFC 3414 3.2 step 7a, as the authoritative engine checks it."""
        return req.boots == self.boots and abs(req.engine_time - self.engine_time()) <= TIME_WINDOW

    def message(self, msg_id, flags, sec_fields, scoped, auth_key=None):
        """sec_fields: (engine ID, boots, time, user, privacy parameters).
        With auth_key the digest is computed over the whole message."""
        engine_id, boots, engine_time, user, priv = sec_fields
        marker = os.urandom(self.digest_length) if auth_key else b""
        sec = tlv(SEQUENCE, tlv(OCTET_STRING, engine_id) + tlv(INTEGER, int_content(boots))
                  + tlv(INTEGER, int_content(engine_time)) + tlv(OCTET_STRING, user)
                  + tlv(OCTET_STRING, marker) + tlv(OCTET_STRING, priv))
        header = tlv(SEQUENCE, tlv(INTEGER, int_content(msg_id)) + tlv(INTEGER, int_content(65507))
                     + tlv(OCTET_STRING, bytes([flags])) + tlv(INTEGER, int_content(USM_MODEL)))
        msg = tlv(SEQUENCE, tlv(INTEGER, int_content(V3)) + header + tlv(OCTET_STRING, sec) + scoped)
        if auth_key:
            at = msg.index(marker)
            blank = msg[:at] + bytes(len(marker)) + msg[at + len(marker):]
            digest = hmac.new(auth_key, blank, self.hash_name).digest()[:self.digest_length]
            msg = blank[:at] + digest + blank[at + len(marker):]
        return msg

    def scoped(self, engine_id, pdu):
        return tlv(SEQUENCE, tlv(OCTET_STRING, engine_id) + tlv(OCTET_STRING, b"") + pdu)

    def key(self, engine_id):
        return localize_key(self.hash_name, self.ku, engine_id)

    def wrap(self, req, pdu, engine_id=None, boots=None, engine_time=None):
        """An authenticated answer for the user."""
        engine_id = self.engine_id if engine_id is None else engine_id
        fields = (engine_id, self.boots if boots is None else boots,
                  self.engine_time() if engine_time is None else engine_time, req.user, b"")
        return self.message(req.msg_id, FLAG_AUTH, fields, self.scoped(engine_id, pdu), self.key(engine_id))

    def report(self, req, kind, engine_id=None, authenticated=False):
        engine_id = self.engine_id if engine_id is None else engine_id
        pdu = encode_pdu(REPORT, req.request_id, [(USM_STATS + (REPORT_KINDS[kind], 0), unsigned(COUNTER32, 1))])
        user = req.user if authenticated or kind != "unknown-engine" else b""
        fields = (engine_id, self.boots, self.engine_time(), user, b"")
        return self.message(req.msg_id, FLAG_AUTH if authenticated else 0, fields, self.scoped(engine_id, pdu),
                            self.key(engine_id) if authenticated else None)


def is_probe(req):
    """The engine-ID discovery: no engine ID, no authentication."""
    return not req.engine_id or not (req.flags & FLAG_AUTH)


def v3_normal(agent, req):
    if req.encrypted:
        return []  # cannot decrypt: as an agent would, drop it
    return [serve(req, NORMAL_TREE)]


def v3_report(agent, req):
    """Every request gets the report ARG (see REPORT_KINDS; default
    wrong-digest); not-in-time comes authenticated, as agents send it."""
    kind = agent.arg or "wrong-digest"
    return [agent.usm.report(req, kind, authenticated=kind == "not-in-time")]


def v3_time(agent, req):
    """Answers whose clock ARG: "back" (boots and time below the discovered
    ones), "jump" (boots far ahead) or "wild" (a new random clock each time)."""
    usm = agent.usm
    if agent.arg == "back":
        return [usm.wrap(req, response_pdu(req), boots=1, engine_time=5)]
    if agent.arg == "jump":
        return [usm.wrap(req, response_pdu(req), boots=usm.boots + 1000 + agent.count)]
    rng = random.Random(agent.count)
    return [usm.wrap(req, response_pdu(req), boots=rng.randrange(1, 1 << 31), engine_time=rng.randrange(1 << 31))]


def v3_engine_changes(agent, req):
    """Every answer carries another engine ID (authenticated with the key of
    that engine ID)."""
    return [agent.usm.wrap(req, response_pdu(req), engine_id=agent.usm.engine_id + bytes([agent.count % 256]))]


def v3_bad_digest(agent, req):
    """The answer with one byte of its digest changed."""
    good = agent.usm.wrap(req, response_pdu(req))
    at = find_digest(good, agent.usm.digest_length)
    return [good[:at] + bytes([good[at] ^ 0xFF]) + good[at + 1:]]


def find_digest(msg, length):
    """Offset of the digest in a message this agent built (-1 if not found)."""
    _, message, _ = read_tlv(msg, 0)
    parts = read_all(message)
    sec = read_all(read_tlv(parts[2][1], 0)[1])
    digest = sec[4][1]
    return msg.find(digest) if len(digest) == length else -1


def v3_wrong_key(agent, req):
    """An authenticated answer whose encrypted scoped PDU is random bytes, as
    if encrypted with another key."""
    usm = agent.usm
    engine_id = usm.engine_id
    rng = random.Random(agent.count)
    fields = (engine_id, usm.boots, usm.engine_time(), req.user, bytes(rng.randrange(256) for _ in range(8)))
    garbage = tlv(OCTET_STRING, bytes(rng.randrange(256) for _ in range(64)))
    return [usm.message(req.msg_id, FLAG_AUTH | FLAG_PRIV, fields, garbage, usm.key(engine_id))]


def v3_truncated_security(agent, req):
    """An answer whose security-parameters block stops half-way (the lengths
    around it agree with the cut)."""
    good = agent.usm.wrap(req, response_pdu(req))
    _, message, _ = read_tlv(good, 0)
    parts = read_all(message)
    sec = parts[2][1]
    cut = tlv(OCTET_STRING, sec[:len(sec) // 2])
    body = tlv(parts[0][0], parts[0][1]) + tlv(parts[1][0], parts[1][1]) + cut + tlv(parts[3][0], parts[3][1])
    return [tlv(SEQUENCE, body)]


def response_pdu(req):
    """The correct answer's PDU, also for a request the agent could not read."""
    if req.encrypted:
        return encode_pdu(RESPONSE, 0, [(oid("1.3.6.1.2.1.1.1.0"), octets("unreadable request"))])
    return encode_pdu(RESPONSE, req.request_id, serve_answers(req, NORMAL_TREE)[0])


V3_SCENARIOS = {
    "v3-normal": v3_normal,
    "v3-report": v3_report,
    "v3-time": v3_time,
    "v3-engine-changes": v3_engine_changes,
    "v3-bad-digest": v3_bad_digest,
    "v3-wrong-key": v3_wrong_key,
    "v3-truncated-security": v3_truncated_security,
}


# A table of 40 rows under the system group, then the normal tree's
# enterprise object: long enough for several bulk answers.
TABLE_BASE = oid("1.3.6.1.2.1.1.9.1")
TABLE_TREE = sorted(NORMAL_TREE + [(TABLE_BASE + (column, row), integer(column * 100 + row) if column == 2
                                    else octets("row %d" % row)) for column in (2, 3) for row in range(1, 21)])


# A table with a single-number index that skips (as process IDs do), a first
# column that ends early and a column that lacks some rows: splits placed
# from one column's rows miss in another.
SPARSE_BASE = oid("1.3.6.1.2.1.25.4.2.1")
SPARSE_INDEXES = [1, 2, 3, 7, 20, 21, 22, 23, 90, 91, 300, 301, 302, 1000, 1001, 5000, 5001, 5002,
                  5003, 9000, 12000, 12001, 12002, 30000, 30001, 30002, 65000]
SPARSE_TREE = sorted(NORMAL_TREE + [(SPARSE_BASE + (column, row), integer(column * 100000 + row))
                                    for column in (1, 2, 3, 4) for k, row in enumerate(SPARSE_INDEXES)
                                    if (column != 1 or k < 4) and (column != 3 or k % 4 != 2)])


def sparse_table(agent, req):
    return [serve(req, SPARSE_TREE)]


def bulk_limit(agent):
    return arg_int(agent, 5)


def table(agent, req):
    return [serve(req, TABLE_TREE)]


def bulk_too_big(agent, req):
    """The table; a GETBULK asking for more than ARG (default 5) repetitions
    gets tooBig."""
    if req.pdu_type == GETBULK and req.max_repetitions > bulk_limit(agent):
        return [encode_response(req, req.varbinds, TOO_BIG, 0)]
    return [serve(req, TABLE_TREE)]


def bulk_silent(agent, req):
    """The table; a GETBULK asking for more than ARG (default 5) repetitions
    gets no answer at all."""
    if req.pdu_type == GETBULK and req.max_repetitions > bulk_limit(agent):
        return []
    return [serve(req, TABLE_TREE)]


def bulk_empty(agent, req):
    """The table; a GETBULK asking for more than ARG (default 0) repetitions
    gets an answer without error and without a variable."""
    if req.pdu_type == GETBULK and req.max_repetitions > arg_int(agent, 0):
        return [encode_response(req, [])]
    return [serve(req, TABLE_TREE)]


def bulk_short(agent, req):
    """The table; a GETBULK answer carries at most ARG (default 3) variables,
    whatever was asked (an agent may always send fewer)."""
    if req.pdu_type != GETBULK:
        return [serve(req, TABLE_TREE)]
    answers = bulk_varbinds(req, next_in(TABLE_TREE))
    return [encode_response(req, answers[:arg_int(agent, 3)])]


def bulk_not_increasing(agent, req):
    """The table, except that in a GETBULK answer the third variable repeats
    the name of the second (its value says so)."""
    if req.pdu_type != GETBULK:
        return [serve(req, TABLE_TREE)]
    answers = bulk_varbinds(req, next_in(TABLE_TREE))
    if len(answers) >= 3:
        answers[2] = (answers[1][0], octets("repeated"))
    return [encode_response(req, answers)]


def version_only(agent, req):
    """The table, to requests of SNMP version ARG ("1" or "2c", default 2c)
    only, as from an agent configured for that version; every request is
    logged as "request v1 GETNEXT" (v2c, GET, GETBULK ...)."""
    log("request %s %s" % ("v1" if req.version == V1 else "v2c",
                           {GET: "GET", GETNEXT: "GETNEXT", GETBULK: "GETBULK"}.get(req.pdu_type, "other")))
    wanted = V1 if agent.arg == "1" else V2C
    return [serve(req, TABLE_TREE)] if req.version == wanted else []


def bulk_stops(agent, req):
    """The table; once the file ARG exists, a GETBULK gets no answer at all.
    Each GETBULK is logged as "request GETBULK"."""
    if req.pdu_type == GETBULK:
        log("request GETBULK")
        if os.path.exists(agent.arg):
            return []
    return [serve(req, TABLE_TREE)]


def drop_concurrent(agent, req):
    """The table, for a device that takes one request at a time: with
    --delay-ms, a request that comes while an answer is still to go out gets
    none (logged as "dropped")."""
    if agent.pending:
        log("dropped")
        return []
    return [serve(req, TABLE_TREE)]


def skip_from_gap(agent, req):
    """The table, with a broken lookup: a GETNEXT or GETBULK that asks from a
    name below the mib-2 groups that is no instance of the tree skips the
    first instance after it."""
    names = [name for name, _ in TABLE_TREE]
    asked = req.varbinds[0][0] if req.varbinds else ()
    if req.pdu_type == GET or len(asked) <= 7 or asked in names:
        return [serve(req, TABLE_TREE)]
    following = [o for o in names if o > asked]
    tree = [(o, v) for o, v in TABLE_TREE if not following or o != following[0]]
    return [serve(req, tree)]


def get_too_big(agent, req):
    """The normal tree; a GET of more than ARG (default 2) names gets tooBig."""
    if req.pdu_type == GET and len(req.varbinds) > arg_int(agent, 2):
        return [encode_response(req, req.varbinds, TOO_BIG, 0)]
    return [serve(req, NORMAL_TREE)]


SCENARIOS = {
    "normal": normal,
    "not-increasing": not_increasing,
    "error-index-beyond": error_index_beyond,
    "nosuchname": nosuchname,
    "at-end-bound": at_end_bound,
    "silent-after": silent_after,
    "silent-under": silent_under,
    "error-under": error_under,
    "garbage": garbage,
    "bad-length": bad_length,
    "truncated": truncated,
    "long-oid": long_oid,
    "big-string": big_string,
    "endless": endless,
    "wrong-port": wrong_port,
    "wrong-address": wrong_address,
    "wrong-version": wrong_version,
    "many-varbinds": many_varbinds,
    "other-oid": other_oid,
    "wrong-request-id": wrong_request_id,
    "duplicate": duplicate,
    "all-types": all_types,
    **V3_SCENARIOS,
    "table": table,
    "sparse-table": sparse_table,
    "bulk-too-big": bulk_too_big,
    "bulk-silent": bulk_silent,
    "bulk-short": bulk_short,
    "bulk-empty": bulk_empty,
    "bulk-not-increasing": bulk_not_increasing,
    "get-too-big": get_too_big,
    "drop-concurrent": drop_concurrent,
    "skip-from-gap": skip_from_gap,
    "version-only": version_only,
    "bulk-stops": bulk_stops,
}


# ---------------------------------------------------------------- the agent

class Agent:
    def __init__(self, options):
        self.scenario = SCENARIOS[options.scenario]
        self.arg = options.arg
        self.community = options.community.encode()
        self.count_file = options.count_file
        self.good = options.good
        self.then_answer = options.then_answer
        self.check_time = options.check_time
        self.delay = options.delay_ms / 1000.0
        self.pending = []  # (due, sequence number, replies, peer), a heap
        self.count = 0  # datagrams received so far, this one included
        self.peer = None
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((options.address, 0))
        self.other_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other_sock.bind((options.address, 0))
        self.foreign_sock = None  # made by the wrong-address scenario
        self.usm = Usm(options) if options.scenario in V3_SCENARIOS else None

    def write_count(self):
        if self.count_file:
            tmp = self.count_file + ".tmp"
            with open(tmp, "w") as f:
                f.write(str(self.count))
            os.replace(tmp, self.count_file)

    def handle(self, data, peer):
        self.count += 1
        self.peer = peer
        self.write_count()
        if self.usm:
            self.handle_v3(data, peer)
            return
        try:
            req = decode_request(data)
        except BerError as e:
            log("ignored request %d: %s" % (self.count, e))
            return
        if req.version not in (V1, V2C) or req.community != self.community:
            log("ignored request %d: version %d or community" % (self.count, req.version))
            return
        if req.pdu_type not in (GET, GETNEXT, GETBULK) or not req.varbinds or (
                req.pdu_type == GETBULK and req.version == V1):
            log("ignored request %d: PDU type 0x%02x" % (self.count, req.pdu_type))
            return
        try:
            if self.count <= self.good:
                replies = [serve(req, NORMAL_TREE)]
            else:
                replies = self.scenario(self, req)
                if self.then_answer:
                    replies.append(serve(req, NORMAL_TREE))
        except Exception as e:  # a bad ARG, say: keep serving, leave a trace in the log
            log("scenario failed on request %d: %r" % (self.count, e))
            return
        self.send(replies, peer)  # a datagram too large for UDP is logged

    def handle_v3(self, data, peer):
        try:
            req = decode_v3_request(data)
        except BerError as e:
            log("ignored request %d: %s" % (self.count, e))
            return
        req.usm = self.usm
        if is_probe(req):
            replies = [self.usm.report(req, "unknown-engine")]
        elif req.user != self.usm.user:
            replies = [self.usm.report(req, "unknown-user")]
        elif self.check_time and not self.usm.in_time_window(req):
            replies = [self.usm.report(req, "not-in-time", authenticated=True)]
        else:
            try:
                behaviour = v3_normal if self.count <= self.good else self.scenario
                replies = behaviour(self, req)
            except Exception as e:
                log("scenario failed on request %d: %r" % (self.count, e))
                return
        self.send(replies, peer)

    def send(self, replies, peer):
        if self.delay > 0:
            heapq.heappush(self.pending, (time.monotonic() + self.delay, self.count, replies, peer))
            return
        self.send_now(replies, peer)

    def send_now(self, replies, peer):
        for reply in replies:
            try:
                self.sock.sendto(reply, peer)
            except OSError as e:
                log("could not send %d bytes: %s" % (len(reply), e))

    def run(self):
        selector = selectors.DefaultSelector()
        selector.register(self.sock, selectors.EVENT_READ, "udp")
        selector.register(sys.stdin, selectors.EVENT_READ, "stdin")
        while True:
            while self.pending and self.pending[0][0] <= time.monotonic():
                _, _, replies, peer = heapq.heappop(self.pending)
                self.send_now(replies, peer)
            timeout = max(0.0, self.pending[0][0] - time.monotonic()) if self.pending else None
            for key, _ in selector.select(timeout):
                if key.data == "stdin":
                    if not os.read(sys.stdin.fileno(), 4096):
                        return  # the test process went away
                else:
                    data, peer = self.sock.recvfrom(65535)
                    self.handle(data, peer)


def log(text):
    print(text, file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("arg", nargs="?", default="")
    parser.add_argument("--community", default="tkvwqz")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--count-file", default="")
    parser.add_argument("--good", type=int, default=0)
    parser.add_argument("--then-answer", action="store_true")
    parser.add_argument("--user", default="alice")
    parser.add_argument("--auth-pass", default="alice-pass-phrase")
    parser.add_argument("--auth-protocol", default="MD5", type=str.upper, choices=sorted(AUTH_PROTOCOLS))
    parser.add_argument("--engine-id", default="scripted-engine")
    parser.add_argument("--engine-boots", type=int, default=3)
    parser.add_argument("--engine-time", type=int, default=1000)
    parser.add_argument("--check-time", action="store_true")
    parser.add_argument("--delay-ms", type=int, default=0)
    agent = Agent(parser.parse_args())
    agent.write_count()
    print("PORT %d" % agent.sock.getsockname()[1], flush=True)
    agent.run()


if __name__ == "__main__":
    main()

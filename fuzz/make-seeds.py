#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/ from the tests' fixtures
and from a few protocol exchanges spelled out below. Rerun after a fixture
changes; the files it writes are committed, so `make fuzz` needs no Python."""

import os
import plistlib
import shutil
import struct
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(REPO, "tests", "fixtures")
CORPUS = os.path.join(REPO, "fuzz", "corpus")

# Message types and constants of the controller protocol (host order: the
# controller and its clients share one machine, and this one is little-endian).
PPP_EVENT, PPP_STATUS, PPP_CONNECT, PPP_DISCONNECT = 1, 2, 3, 5
PPP_GETOPTION, PPP_SETOPTION, PPP_ENABLE_EVENT, PPP_DISABLE_EVENT = 6, 7, 8, 9
PPP_GETNBLINKS, PPP_GETLINKBYINDEX, PPP_LINKFORSERVICE, PPP_LINKFORIFNAME = 11, 12, 13, 14
PPP_LINK_NONE = 0xFFFFFFFF
PPP_OPT_SERVICEID = 29
PPP_RUNNING = 8
SERVICE = b"0A1B2C3D-0000-4000-8000-000000000001"


def header(type_, result=0, link=0, length=0, flags=0, cookie=0):
    return struct.pack("<HHIIII", flags, type_, result, cookie, link, length)


def message(type_, body=b"", result=0, link=0):
    return header(type_, result, link, len(body)) + body


def word(value):
    return struct.pack("<I", value)


def status_record(phase, elapsed=0, remaining=0, in_bytes=0, out_bytes=0):
    return struct.pack("<9I", phase, elapsed, remaining, in_bytes, 0, 0, out_bytes, 0, 0)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def fixture(*parts):
    with open(os.path.join(FIXTURES, *parts), "rb") as f:
        return f.read()


def seeds_plist():
    for name in ["small.plist", "odd-records.plist", "dictionary-root.plist", "empty.plist",
                 "half-written.plist", "large-counts.plist"]:
        write("fuzz_plist", name, fixture("viewer", name))
    write("fuzz_plist", "two-links.plist", fixture("controller", "two-links.plist"))
    write("fuzz_plist", "agent-preferences.plist", fixture("agent", "preferences.plist"))
    write("fuzz_plist", "preferences.xml",
          fixture("netconfig", "xml-only", "var", "db", "SystemConfiguration", "preferences.xml"))
    # Every value kind, once in the XML form and once in the binary one.
    import datetime
    sample = {
        "string": "caf\u00e9 & <tags>",
        "integer": -42,
        "big": 2**64 - 1,
        "real": 1.5,
        "true": True,
        "date": datetime.datetime(2024, 3, 1, 8, 15, 0),
        "data": b"\x00\x01\xfe\xff",
        "array": [1, "two", [3.0, {}], []],
        "dict": {"nested": {"deeper": ["x"]}},
    }
    write("fuzz_plist", "kinds.xml", plistlib.dumps(sample, fmt=plistlib.FMT_XML))
    binary = dict(sample)
    binary["big"] = 2**63 - 1
    write("fuzz_plist", "kinds.bplist", plistlib.dumps(binary, fmt=plistlib.FMT_BINARY))
    write("fuzz_plist", "array.bplist", plistlib.dumps([{"inBytes": 1}, "x", 2], fmt=plistlib.FMT_BINARY))


def seeds_history():
    for name in ["small.plist", "one.plist", "odd-records.plist", "large-counts.plist",
                 "empty.plist", "half-written.plist", "dictionary-root.plist"]:
        write("fuzz_history", name, fixture("viewer", name))
    import datetime
    log = [{"date": datetime.datetime(2023, 12, 31, 23, 59, 59), "timeElapsed": 3725,
            "inBytes": 1048576, "outBytes": 1073741824},
           {"date": datetime.datetime(1, 1, 1), "timeElapsed": 0, "inBytes": 0, "outBytes": 0}]
    write("fuzz_history", "log.bplist", plistlib.dumps(log[:1], fmt=plistlib.FMT_BINARY))
    write("fuzz_history", "edges.xml", plistlib.dumps(log, fmt=plistlib.FMT_XML))


def seeds_netconfig():
    write("fuzz_netconfig", "locations.plist",
          fixture("netconfig", "locations", "Library", "Preferences", "SystemConfiguration",
                  "preferences.plist"))
    write("fuzz_netconfig", "xml-only.xml",
          fixture("netconfig", "xml-only", "var", "db", "SystemConfiguration", "preferences.xml"))
    write("fuzz_netconfig", "agent.plist", fixture("agent", "preferences.plist"))
    prefs = {
        "CurrentSet": "/Sets/1",
        "NetworkServices": {
            "A": {"Interface": {"Type": "PPP"}, "UserDefinedName": "Modem"},
            "B": {"Interface": {"Type": "PPP"}, "UserDefinedName": "Modem"},
            "C": {"Interface": {"Type": "Ethernet"}, "UserDefinedName": "LAN"},
        },
        "Sets": {
            "0": {"UserDefinedName": "Automatic", "Network": {"Service": {"A": {}}}},
            "1": {"UserDefinedName": "Home", "Network": {"Service": {"A": {}, "B": {}, "C": {}}}},
            "10": {"UserDefinedName": "Caf\u00e9", "Network": {"Service": {"B": {}}}},
        },
    }
    write("fuzz_netconfig", "two-same-names.bplist", plistlib.dumps(prefs, fmt=plistlib.FMT_BINARY))


def seeds_ppp_replies():
    def seed(name, start, *replies):
        write("fuzz_ppp_replies", name, bytes([start]) + b"".join(replies))

    lookup = message(0, word(1))
    running = message(0, status_record(PPP_RUNNING, 125, 0, 1000, 200))
    idle = message(0, status_record(0))
    # The manager's round starts with a status query: lookup, then status.
    seed("manager-status", 0, lookup, running, lookup, idle, lookup, running)
    seed("manager-failures", 0, message(0, word(1) * 2), message(19, word(1)), lookup,
         message(0, b"\0" * 32), message(0), lookup, message(0, b"\0" * 40))
    seed("manager-connect", 3, lookup, message(0), lookup, message(19), message(0, word(4)))
    # Both clients read the whole stream; a start byte of 1 begins the
    # library's round with the count query.
    seed("library-by-service", 1, message(0, word(2)), message(0, word(7)),
         message(0, word(PPP_OPT_SERVICEID) + b"other"), message(0, word(8)),
         message(0, word(PPP_OPT_SERVICEID) + SERVICE))
    seed("library-short", 9, header(0, 0, 0, 12) + b"12345")
    seed("library-events", 8, message(0), message(0), header(PPP_EVENT, 0, 1, 0, cookie=PPP_RUNNING))
    seed("library-oversized", 10, header(0, 0, 0, (1 << 20) + 10) + b"\x11" * 64, message(0, word(4)))


def seeds_pppconfd():
    def seed(name, stream, controls):
        # The data provider takes control bytes from the end, last byte first.
        write("fuzz_pppconfd", name, stream + bytes(reversed(controls)))

    big = 0x3F  # a piece of 141 bytes from the first client
    requests = (message(PPP_GETNBLINKS, link=PPP_LINK_NONE)
                + message(PPP_GETLINKBYINDEX, word(0), link=PPP_LINK_NONE)
                + message(PPP_GETOPTION, word(PPP_OPT_SERVICEID), link=1)
                + message(PPP_LINKFORSERVICE, SERVICE, link=PPP_LINK_NONE)
                + message(PPP_LINKFORIFNAME, b"ppp1", link=PPP_LINK_NONE)
                + message(PPP_STATUS, link=2))
    seed("queries", requests, [big, big, 0x01, big])
    session = (message(PPP_ENABLE_EVENT, link=0) + message(PPP_CONNECT, link=1)
               + message(PPP_STATUS, link=1) + message(PPP_SETOPTION, word(3) + b"value", link=1)
               + message(PPP_GETOPTION, word(3), link=1) + message(PPP_DISCONNECT, link=1)
               + message(PPP_DISABLE_EVENT, link=2))
    seed("events", session, [0x02, big, 0x00, 0x38, 0x01, 0x7F, big, 0x00])
    # One byte at a time, then a request the controller refuses.
    seed("bytewise", message(PPP_STATUS, link=3) + header(PPP_STATUS, flags=1),
         [0x03] * 20 + [big])
    seed("too-large", header(PPP_SETOPTION, link=1, length=5000), [big])
    seed("unknown", message(99, link=1) + message(PPP_GETOPTION, word(1), link=9), [big])


def main():
    if os.path.isdir(CORPUS) and "--keep" not in sys.argv:
        for target in os.listdir(CORPUS):
            shutil.rmtree(os.path.join(CORPUS, target))
    seeds_plist()
    seeds_history()
    seeds_netconfig()
    seeds_ppp_replies()
    seeds_pppconfd()


if __name__ == "__main__":
    main()

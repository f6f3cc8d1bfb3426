#!/usr/bin/env python3
"""Writes the seed corpus for the mount record fuzzer into fuzz/corpus/record, and
the inputs found by hand that once broke the reader into fuzz/crashes/record.

The seeds imitate what `hdiutil attach -plist` prints (partition scheme first, then
the volumes), with and without an image's licence text around it, in XML and in the
binary format, plus damaged and hostile variants.  Run it again after changing it;
the files are kept in git.
"""
import os
import plistlib
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "record")
CRASHES = os.path.join(HERE, "crashes", "record")

GUID = {"content-hint": "GUID_partition_scheme", "dev-entry": "/dev/disk4",
        "potentially-mountable": False, "unmapped-content-hint": "GUID_partition_scheme"}
HFS = {"content-hint": "Apple_HFS", "dev-entry": "/dev/disk4s1", "mount-point": "/Volumes/Transmission",
       "potentially-mountable": True, "unmapped-content-hint": "48465300-0000-11AA-AA11-00306543ECAC",
       "volume-kind": "hfs"}
APFS_CONTAINER = {"content-hint": "Apple_APFS", "dev-entry": "/dev/disk4s1", "potentially-mountable": False,
                  "unmapped-content-hint": "7C3457EF-0000-11AA-AA11-00306543ECAC"}
APFS_VOLUME = {"content-hint": "41504653-0000-11AA-AA11-00306543ECAC", "dev-entry": "/dev/disk5s1",
               "mount-point": "/Volumes/container-apfs", "potentially-mountable": True,
               "unmapped-content-hint": "41504653-0000-11AA-AA11-00306543ECAC", "volume-kind": "apfs"}

LICENCE = (b"SOFTWARE LICENSE AGREEMENT\n\nPLEASE READ THIS LICENSE CARE-\nFULLY BEFORE USING THE SOFTWARE."
           b" <c> 2024 Example & Co.\n\nAgree Y/N? ")


def xml(value):
    return plistlib.dumps(value, fmt=plistlib.FMT_XML)


def binary(value):
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY)


def nested_binary(levels, fan):
    """Arrays nested `levels` deep; each refers `fan` times to the next one."""
    ref = 4
    objects = [bytes([0xA0 | fan]) + b"".join((i + 1).to_bytes(ref, "big") for _ in range(fan))
               for i in range(levels - 1)] + [b"\x09"]
    return assemble_binary(objects, ref)


def assemble_binary(objects, ref, count=None, table_at=None, offsets=None):
    data = b"bplist00"
    positions = []
    for obj in objects:
        positions.append(len(data))
        data += obj
    table = len(data)
    for position in (offsets if offsets is not None else positions):
        data += position.to_bytes(4, "big")
    n = len(objects) if count is None else count
    data += bytes(6) + bytes([4, ref]) + struct.pack(">QQQ", n, 0, table if table_at is None else table_at)
    return data


def main():
    hfs = {"system-entities": [GUID, HFS]}
    apfs = {"system-entities": [GUID, APFS_CONTAINER, APFS_VOLUME]}
    odd = {"system-entities": [{"mount-point": "/Volumes/My \"$(Disk)\" `x` \\ 'é'"}, {"mount-point": ""}]}
    elsewhere = {"system-entities": [{"dev-entry": "/dev/disk9", "mount-point": "/private/tmp/elsewhere"}]}
    deep = b"<plist>" + b"<array>" * 1000 + b"</array>" * 1000 + b"</plist>"
    seeds = {
        "hdiutil-hfs.plist": xml(hfs),
        "hdiutil-apfs.plist": xml(apfs),
        "hdiutil-hfs.bplist": binary(hfs),
        "hdiutil-apfs.bplist": binary(apfs),
        "licence-before.txt": LICENCE + xml(hfs),
        "licence-around.txt": LICENCE + xml(apfs) + b"\r\n \t\n",
        # A licence that quotes a record of its own, whole or in part: hdiutil's comes last.
        "licence-quotes-list.txt": b"SOFTWARE LICENSE AGREEMENT\n" + xml(elsewhere) + b"Agree Y/N? " + xml(hfs),
        "licence-quotes-half.txt": LICENCE + xml(elsewhere).split(b"\t</array>")[0] + xml(hfs),
        "licence-quotes-close.txt": b"Nothing may follow </plist>.\nAgree Y/N? " + xml(hfs),
        "text-after-record.txt": LICENCE + xml(apfs) + b"\nThank you.\n",
        "licence-plist-only.txt": LICENCE + xml(hfs).split(b"?>", 1)[1].split(b"\n", 2)[2],
        "odd-mount-points.plist": xml(odd),
        "no-mount-point.plist": xml({"system-entities": [GUID, APFS_CONTAINER]}),
        "mount-point-not-string.plist": xml({"system-entities": [{"mount-point": 7}, {"mount-point": [1]}]}),
        "entities-dict.plist": xml({"system-entities": {"a": GUID}}),
        "entity-string.plist": xml({"system-entities": [GUID, "HFS"]}),
        "entities-empty.plist": xml({"system-entities": []}),
        "top-empty.plist": xml({}),
        "top-array.plist": xml([hfs]),
        "no-entities-key.plist": xml({"system-entity": [HFS]}),
        "truncated.plist": xml(hfs)[:300],
        "text.txt": b"hdiutil: attach failed - image not recognized\n",
        "empty": b"",
        "deep-xml.plist": deep,
        "deep-dict.plist": b"<plist>" + b"<dict><key>k</key>" * 1000 + b"<true/>" + b"</dict>" * 1000 + b"</plist>",
        "deep-binary.bplist": nested_binary(1000, 1),
        "shared-binary.bplist": nested_binary(40, 2),
        "binary-offset-past-end.bplist": assemble_binary([b"\xA1\x00\x00\x00\x01", b"\x09"], 4,
                                                         offsets=[8, 1 << 30]),
        "binary-huge-count.bplist": assemble_binary([b"\x09"], 4, count=(1 << 62)),
        "binary-huge-array.bplist": assemble_binary([b"\xAF\x13" + (1 << 60).to_bytes(8, "big"), b"\x09"], 4),
        "binary-cycle.bplist": assemble_binary([b"\xA1\x00\x00\x00\x01", b"\xA1\x00\x00\x00\x00"], 4),
        "binary-table-past-end.bplist": assemble_binary([b"\x09"], 4, table_at=(1 << 40)),
    }
    # Inputs that once broke the reader: closing tags that libplist takes as part of
    # the markup before them, which made the XML scan's depth fall below the tree's.
    broke = {
        "scan-dtd-subset.plist": b'<array><!DOCTYPE x [ <!-- ] --> </array> ]><array></array></array>',
        "scan-quoted-pi.plist": b'<array><?xml a="?>" </array> ?><array></array></array>',
    }
    for folder, files in ((OUT, seeds), (CRASHES, broke)):
        os.makedirs(folder, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes base.hive: the smallest regf hive the hive-import tests start from.

libhivex edits hives but cannot make one from nothing, so this script lays one out from the
published regf format: a 4 KiB base block, then one 4 KiB bin holding a security (sk) record, the
root key (nk), its subkey list (lh) and one subkey "Classed" with the class "VexClass" and a fixed
last-write time, which libhivex cannot set. The tests add the rest of their keys and values with
libhivex's write calls. Run it from this directory to make the file again.
"""
import struct

BIN_SIZE = 4096
CLASSED_TIME = 132_000_000_000_000_000  # a FILETIME in 2019
ROOT_TIME = CLASSED_TIME + 10_000_000


class Bin:
    """Cells of one bin, at offsets relative to the first bin, as records refer to them."""

    def __init__(self):
        self.data = bytearray()
        self.next = 0x20  # after the bin header

    def cell(self, body):
        size = (4 + len(body) + 7) // 8 * 8
        offset = self.next
        self.data += struct.pack("<i", -size) + body + bytes(size - 4 - len(body))
        self.next += size
        return offset


def key_record(flags, time, parent, subkeys, subkey_list, security, class_offset, class_bytes, name,
               longest_subkey_name=0):
    fixed = struct.pack("<2sHQ15IHH", b"nk", flags, time, 0, parent, subkeys, 0, subkey_list, 0xFFFFFFFF, 0,
                        0xFFFFFFFF, security, class_offset, longest_subkey_name * 2, 0, 0, 0, 0, len(name),
                        class_bytes)
    return fixed + name


def name_hash(name):
    value = 0
    for char in name.upper():
        value = (value * 37 + ord(char)) & 0xFFFFFFFF
    return value


def main():
    cells = Bin()
    # A self-relative descriptor without owner, group or DACL (a null DACL).
    descriptor = struct.pack("<BBHIIII", 1, 0, 0x8000, 0, 0, 0, 0)
    sk_offset = 0x20
    cells.cell(struct.pack("<2sHIIII", b"sk", 0, sk_offset, sk_offset, 2, len(descriptor)) + descriptor)
    class_name = "VexClass".encode("utf-16-le")
    class_offset = cells.cell(class_name)
    # The root refers to its list and the list to the subkey: their offsets are known in advance
    # because every cell's size depends only on its own content.
    root_offset = cells.next
    root_size = (4 + 0x4C + len(b"ROOT") + 7) // 8 * 8
    list_offset = root_offset + root_size
    child_offset = list_offset + 16
    flags_root, flags_compressed_name = 0x2C, 0x20
    cells.cell(key_record(flags_root, ROOT_TIME, 0xFFFFFFFF, 1, list_offset, sk_offset, 0xFFFFFFFF, 0, b"ROOT",
                          len("Classed")))
    cells.cell(struct.pack("<2sHII", b"lh", 1, child_offset, name_hash("Classed")))
    cells.cell(key_record(flags_compressed_name, CLASSED_TIME, root_offset, 0, 0xFFFFFFFF, sk_offset, class_offset,
                          len(class_name), b"Classed"))
    free = BIN_SIZE - cells.next
    hbin = struct.pack("<4sII8sQI", b"hbin", 0, BIN_SIZE, bytes(8), ROOT_TIME, 0) + cells.data
    hbin += struct.pack("<i", free) + bytes(free - 4)
    assert len(hbin) == BIN_SIZE

    base = bytearray(4096)
    struct.pack_into("<4sIIQIIIIIII", base, 0, b"regf", 1, 1, ROOT_TIME, 1, 5, 0, 1, root_offset, BIN_SIZE, 1)
    base[0x30:0x30 + 16] = "base.hive".encode("utf-16-le")[:16]
    checksum = 0
    for (word,) in struct.iter_unpack("<I", bytes(base[:0x1FC])):
        checksum ^= word
    struct.pack_into("<I", base, 0x1FC, checksum)

    with open("base.hive", "wb") as out:
        out.write(bytes(base) + bytes(hbin))


if __name__ == "__main__":
    main()

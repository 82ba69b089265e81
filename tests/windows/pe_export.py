#!/usr/bin/env python3
"""pe_export.py EXE NAME: prints how many times a PE32+ executable's export table names NAME,
then, for each, the section that holds it and the little-endian 32-bit value stored there."""
import struct
import sys


def read_pe(path):
    with open(path, "rb") as stream:
        data = stream.read()
    if data[:2] != b"MZ":
        sys.exit(f"{path}: not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: no PE signature")
    sections_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        sys.exit(f"{path}: not PE32+")
    export_rva, export_size = struct.unpack_from("<II", data, optional + 112)
    sections = []
    for index in range(sections_count):
        offset = optional + optional_size + 40 * index
        name = data[offset:offset + 8].rstrip(b"\0").decode()
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, offset + 8)
        sections.append((name, rva, max(virtual_size, raw_size), raw_offset, raw_size))
    return data, export_rva, export_size, sections


def locate(sections, rva):
    for name, start, size, raw_offset, raw_size in sections:
        if start <= rva < start + size:
            return name, raw_offset + (rva - start) if rva - start < raw_size else None
    return None, None


def main(path, wanted):
    data, export_rva, export_size, sections = read_pe(path)
    if export_rva == 0:
        print(0)
        return
    _, directory = locate(sections, export_rva)
    (functions_count, names_count, functions_rva, names_rva,
     ordinals_rva) = struct.unpack_from("<IIIII", data, directory + 20)
    _, functions = locate(sections, functions_rva)
    _, names = locate(sections, names_rva)
    _, ordinals = locate(sections, ordinals_rva)
    found = []
    for index in range(names_count):
        _, name_offset = locate(sections, struct.unpack_from("<I", data, names + 4 * index)[0])
        name = data[name_offset:data.index(b"\0", name_offset)].decode()
        if name == wanted:
            ordinal = struct.unpack_from("<H", data, ordinals + 2 * index)[0]
            found.append(struct.unpack_from("<I", data, functions + 4 * ordinal)[0])
    print(len(found))
    for rva in found:
        section, offset = locate(sections, rva)
        value = "none" if offset is None else struct.unpack_from("<i", data, offset)[0]
        print(f"{section} {value}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])

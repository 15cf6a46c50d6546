"""Every native extension depends dynamically on the C library alone (with
glibc's companions that older releases keep apart: libpthread, libdl, libm,
librt, and the dynamic loader), and exports nothing but its init function."""

import os
import pathlib
import struct
import sys

import pytest

import dravik_observe

ALLOWED = ("libc.so.", "ld-linux", "libpthread.so.", "libdl.so.", "libm.so.", "librt.so.")


def needed_libraries(path):
    """DT_NEEDED entries of an ELF64 little-endian shared object."""
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "expected ELF64 little-endian"
    e_phoff, = struct.unpack_from("<Q", data, 0x20)
    e_phentsize, e_phnum = struct.unpack_from("<HH", data, 0x36)
    loads, dynamic = [], None
    for i in range(e_phnum):
        p_type, _, p_offset, p_vaddr, _, p_filesz = struct.unpack_from("<IIQQQQ", data, e_phoff + i * e_phentsize)
        if p_type == 1:  # PT_LOAD
            loads.append((p_vaddr, p_offset, p_filesz))
        elif p_type == 2:  # PT_DYNAMIC
            dynamic = (p_offset, p_filesz)
    assert dynamic is not None

    def file_offset(vaddr):
        for start, offset, size in loads:
            if start <= vaddr < start + size:
                return vaddr - start + offset
        raise AssertionError("address outside the loaded segments")

    entries, strtab = [], None
    for pos in range(dynamic[0], dynamic[0] + dynamic[1], 16):
        tag, value = struct.unpack_from("<qQ", data, pos)
        if tag == 0:
            break
        if tag == 1:
            entries.append(value)
        elif tag == 5:
            strtab = file_offset(value)
    names = []
    for offset in entries:
        end = data.index(b"\0", strtab + offset)
        names.append(data[strtab + offset:end].decode())
    return names


def exported_symbols(path):
    """Names of the global or weak symbols an ELF64 object defines in its
    dynamic symbol table."""
    data = path.read_bytes()
    e_shoff, = struct.unpack_from("<Q", data, 0x28)
    e_shentsize, e_shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, e_shoff + i * e_shentsize) for i in range(e_shnum)]
    names = []
    for _, sh_type, _, _, offset, size, link, _, _, entsize in sections:
        if sh_type != 11:  # SHT_DYNSYM
            continue
        strtab = sections[link][4]
        for pos in range(offset, offset + size, entsize):
            st_name, st_info, _, st_shndx = struct.unpack_from("<IBBH", data, pos)
            if st_shndx != 0 and (st_info >> 4) in (1, 2):  # defined, STB_GLOBAL or STB_WEAK
                end = data.index(b"\0", strtab + st_name)
                names.append(data[strtab + st_name:end].decode())
    return names


@pytest.mark.skipif(os.environ.get("DRAVIK_SANITIZED") == "1", reason="sanitizer builds link their runtimes")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF shared objects on Linux only")
def test_extensions_need_only_libc():
    root = pathlib.Path(dravik_observe.__file__).parent
    extensions = sorted(root.rglob("*.so"))
    assert {p.name.split(".")[0] for p in extensions} >= {"cost", "_pelrow"}
    for path in extensions:
        needed = needed_libraries(path)
        assert any(n.startswith("libc.so.") for n in needed), (path.name, needed)
        assert all(n.startswith(ALLOWED) for n in needed), (path.name, needed)
        assert exported_symbols(path) == ["PyInit_" + path.name.split(".")[0]], path.name

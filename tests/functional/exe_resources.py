"""The executable itself: what it imports and the manifest it carries."""

import struct

from wine_harness import EXE

RT_MANIFEST = 24
SYSTEM_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "USER32.DLL", "WSOCK32.DLL", "MSVCRT.DLL"}


class PeImage:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "expected PE32+"
        self.directories = optional + 112
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raw))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raw
        raise ValueError(f"RVA {rva:#x} outside every section")

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def imported_dlls(self):
        rva, _ = self.directory(1)
        dlls, at = [], self.offset(rva)
        while True:
            name_rva = struct.unpack_from("<I", self.data, at + 12)[0]
            if name_rva == 0:
                return dlls
            dlls.append(self.cstring(name_rva))
            at += 20

    def resource(self, type_id, name_id):
        base_rva, _ = self.directory(2)
        base = self.offset(base_rva)

        def entries(table):
            named, ids = struct.unpack_from("<12xHH", self.data, table)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, table + 16 + 8 * i)

        def child(table, wanted):
            for ident, target in entries(table):
                if ident == wanted:
                    return target
            raise KeyError(wanted)

        names = base + (child(base, type_id) & 0x7FFFFFFF)
        languages = base + (child(names, name_id) & 0x7FFFFFFF)
        _, leaf = next(entries(languages))
        data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
        start = self.offset(data_rva)
        return self.data[start:start + size]


def test_imports_only_system_dlls():
    dlls = {name.upper() for name in PeImage(EXE.read_bytes()).imported_dlls()}
    assert dlls <= SYSTEM_DLLS, dlls - SYSTEM_DLLS
    assert "WSOCK32.DLL" in dlls


def test_manifest_requires_administrator_without_ui_access():
    manifest = PeImage(EXE.read_bytes()).resource(RT_MANIFEST, 1).decode("utf-8")
    assert 'level="requireAdministrator"' in manifest
    assert 'uiAccess="false"' in manifest

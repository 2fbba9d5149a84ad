"""The executables themselves: what varnick.exe imports and the manifest it
carries, and the release zip: its checksum, the version resources, and both
programs run from it."""

import hashlib
import re
import struct
import zipfile

import pytest

from wine_harness import BUILD_DIR, EXE, run_captured

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


RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def fixed_file_version(image):
    """The file version that the version resource's fixed part gives, as text."""
    info = image.resource(RT_VERSION, 1)
    at = info.index(struct.pack("<I", FIXED_FILE_INFO_SIGNATURE))
    most, least = struct.unpack_from("<II", info, at + 8)
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}"


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """The release zip, checked against its checksum file and unpacked:
    (version, the folder that holds the executables)."""
    [package] = BUILD_DIR.glob("varnick-*-win64.zip")
    version = re.fullmatch(r"varnick-(\d+\.\d+\.\d+)-win64\.zip", package.name).group(1)
    checksum = package.with_name(package.name + ".sha256").read_text().split()
    assert checksum == [hashlib.sha256(package.read_bytes()).hexdigest(), package.name]
    unpacked = tmp_path_factory.mktemp("release")
    with zipfile.ZipFile(package) as archive:
        archive.extractall(unpacked)
    return version, unpacked / package.stem


@pytest.mark.parametrize("exe", ["varnick.exe", "varnick-session.exe"])
def test_release_holds_both_programs_with_the_zips_version(release, exe):
    version, folder = release
    assert fixed_file_version(PeImage((folder / exe).read_bytes())) == version
    assert (folder / "README.md").exists() and (folder / "docs" / "protocol.md").exists()


def test_programs_from_the_release_run(release, varnick):
    version, folder = release
    shown = run_captured(["wine", str(folder / "varnick-session.exe"), "--version"], 60,
                         env=varnick.env())
    assert shown.returncode == 0 and shown.stdout.strip() == f"varnick-session {version}".encode()
    added = run_captured(["wine", str(folder / "varnick.exe"), "add", "10.0.0.1 release.test"], 60,
                         cwd=varnick.work_dir, env=varnick.env())
    assert added.returncode == 0, added
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 release.test"

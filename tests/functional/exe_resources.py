"""The executables themselves: what they import (and that a DLL planted
beside varnick.exe never loads) and the manifest varnick.exe carries; the release zip: its checksum, the version resources, and both
programs run from it; and the winget and Scoop manifests made with the zip:
every field their formats require, the zip's version, hash, URL, layout and
build date, and the notes that tell users how to install and remove Varnick."""

import collections
import datetime
import hashlib
import os
import shutil
import subprocess
import json
import re
import struct
import tarfile
import zipfile

import pytest
import yaml

from wine_harness import BUILD_DIR, EXE, PREFIX, ROOT, run_captured, win_path, wine_env

RT_MANIFEST = 24
# Windows' KnownDLLs that the programs may import: the loader takes these from
# System32 whatever lies beside the program.
KNOWN_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "USER32.DLL", "MSVCRT.DLL", "WS2_32.DLL"}


class PeImage:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        sections, self.time_stamp, self.symbol_table, self.symbols, optional_size = \
            struct.unpack_from("<HIIIH", data, pe + 6)
        optional = pe + 24
        assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "expected PE32+"
        self.directories = optional + 112
        self.sections = []
        self.section_names = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raw))
            self.section_names.append(name.rstrip(b"\0").decode())

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


@pytest.mark.parametrize("program", [EXE, BUILD_DIR / "varnick-session.exe"])
def test_imports_only_known_dlls(program):
    data = program.read_bytes()
    dlls = {name.upper() for name in PeImage(data).imported_dlls()}
    assert dlls <= KNOWN_DLLS, dlls - KNOWN_DLLS
    # WSOCK32.dll is no KnownDLL: varnick.exe names it only for the delayed
    # load at its first Winsock call, once wmain has limited the search to
    # System32 (mingw's delay imports leave the data directory's entry empty,
    # so the name is looked for in the file).
    assert (b"WSOCK32.dll" in data) == (program == EXE)


def test_a_wsock32_dll_planted_beside_varnick_never_loads(varnick, tmp_path):
    """Windows prefers a DLL that is no KnownDLL from the program's folder, as
    Wine does with a native one preferred; one in System32 is loaded."""
    folder = tmp_path / "unpacked"
    folder.mkdir()
    shutil.copy(EXE, folder)
    planted = BUILD_DIR / "planted" / "wsock32.dll"
    shutil.copy(planted, folder)
    marker = tmp_path / "loaded"
    env = varnick.env(WINEDLLOVERRIDES="mscoree,mshtml=;wsock32=n,b",
                      PLANTED_DLL_MARKER=win_path(marker))

    def add():
        return run_captured(["wine", str(folder / "varnick.exe"), "add", "10.0.0.1 a.test"], 60,
                            cwd=varnick.work_dir, env=env)
    result = add()
    assert result.returncode == 0, result
    assert not marker.exists()
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 a.test"
    system32 = PREFIX / "drive_c" / "windows" / "system32" / "wsock32.dll"
    saved = system32.read_bytes()
    try:
        shutil.copy(planted, system32)
        result = add()
    finally:
        system32.write_bytes(saved)
    assert marker.exists()
    assert (result.returncode, result.stdout) == (1, b"The Winsock dll not found!\r\n"), result
    os.remove(marker)


@pytest.mark.parametrize("program, level", [(EXE, "requireAdministrator"),
                                            (BUILD_DIR / "varnick-session.exe", "asInvoker")])
def test_manifest_asks_for_the_rights_each_program_needs(program, level):
    manifest = PeImage(program.read_bytes()).resource(RT_MANIFEST, 1).decode("utf-8")
    assert f'level="{level}"' in manifest
    assert 'uiAccess="false"' in manifest


RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def fixed_file_version(image):
    """The file version that the version resource's fixed part gives, as text."""
    info = image.resource(RT_VERSION, 1)
    at = info.index(struct.pack("<I", FIXED_FILE_INFO_SIGNATURE))
    most, least = struct.unpack_from("<II", info, at + 8)
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}"


Package = collections.namedtuple("Package", "path version sha256 names")


@pytest.fixture(scope="module")
def package():
    """The release zip, checked against its checksum file: its path, version,
    SHA-256 (lower-case hex) and the names of its entries."""
    [path] = BUILD_DIR.glob("varnick-*-win64.zip")
    version = re.fullmatch(r"varnick-(\d+\.\d+\.\d+)-win64\.zip", path.name).group(1)
    sha256 = hashlib.sha256(path.read_bytes()).hexdigest()
    assert path.with_name(path.name + ".sha256").read_text().split() == [sha256, path.name]
    with zipfile.ZipFile(path) as archive:
        names = set(archive.namelist())
    return Package(path, version, sha256, names)


@pytest.fixture(scope="module")
def release(package, tmp_path_factory):
    """The release zip unpacked: (version, the folder that holds the executables)."""
    unpacked = tmp_path_factory.mktemp("release")
    with zipfile.ZipFile(package.path) as archive:
        archive.extractall(unpacked)
    return package.version, unpacked / package.path.stem


@pytest.mark.parametrize("exe", ["varnick.exe", "varnick-session.exe"])
def test_release_holds_both_programs_stripped_with_the_zips_version(release, exe):
    version, folder = release
    image = PeImage((folder / exe).read_bytes())
    assert fixed_file_version(image) == version
    assert (image.symbol_table, image.symbols) == (0, 0)
    assert [name for name in image.section_names if name.startswith((".debug", "/"))] == []
    for shipped in ["README.md", "LICENSE", "docs/protocol.md"]:
        assert (folder / shipped).exists(), shipped


def test_no_shipped_file_holds_the_build_or_source_folder(package):
    """Neither the zip nor the npm tarballs name where they were built."""
    shipped = {}
    with zipfile.ZipFile(package.path) as archive:
        shipped.update((name, archive.read(name)) for name in archive.namelist())
    for tarball in BUILD_DIR.glob("varnick-session-*.tgz"):
        with tarfile.open(tarball) as archive:
            shipped.update((f"{tarball.name}:{member.name}", archive.extractfile(member).read())
                           for member in archive.getmembers() if member.isfile())
    assert len(shipped) > 10, sorted(shipped)
    folders = {str(BUILD_DIR).encode(), str(ROOT).encode()}
    assert [name for name, data in shipped.items() if any(f in data for f in folders)] == []


def test_programs_from_the_release_run(release, varnick):
    version, folder = release
    shown = run_captured(["wine", str(folder / "varnick-session.exe"), "--version"], 60,
                         env=varnick.env())
    assert shown.returncode == 0 and shown.stdout.strip() == f"varnick-session {version}".encode()
    added = run_captured(["wine", str(folder / "varnick.exe"), "add", "10.0.0.1 release.test"], 60,
                         cwd=varnick.work_dir, env=varnick.env())
    assert added.returncode == 0, added
    assert varnick.hosts == varnick.DEFAULT_HOSTS + b"\r\n10.0.0.1 release.test"


MANIFESTS = BUILD_DIR / "manifests"
WINGET_MANIFEST_VERSION = "1.12.0"
# The fields that each winget manifest type must have, and each of its installers.
WINGET_REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType",
                "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType",
                  "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                      "PackageName", "License", "ShortDescription", "ManifestType",
                      "ManifestVersion"],
}
WINGET_INSTALLER_REQUIRED = ["Architecture", "InstallerUrl", "InstallerSha256"]
# A winget identifier: two to eight dot-separated parts without spaces or path characters.
WINGET_IDENTIFIER_PART = r'[^.\s\\/:*?"<>|\x01-\x1f]{1,32}'
WINGET_IDENTIFIER = re.compile(rf"{WINGET_IDENTIFIER_PART}(\.{WINGET_IDENTIFIER_PART}){{1,7}}")
# What a Scoop manifest needs to install the zip and to follow later releases.
SCOOP_REQUIRED = ["version", "description", "homepage", "license", "url", "hash", "extract_dir",
                  "bin", "checkver", "autoupdate"]
PROGRAMS = ["varnick.exe", "varnick-session.exe"]
# What the notes shown after an install must name, for each package manager:
# the install for all users, the way past the check that a per-user install
# trips, and what to run before uninstalling.
INSTALL_NOTES_NAME = {
    "winget": ["winget install --scope machine", "--trust-varnick-folder",
               "varnick-session --clean", "winget uninstall"],
    "scoop": ["scoop install --global", "--trust-varnick-folder", "varnick-session --clean",
              "scoop uninstall varnick"],
}


def missing(manifest, keys):
    return [key for key in keys if manifest.get(key) in (None, "", [], {})]


def assert_downloads(url, package):
    assert url.startswith("https://"), url
    assert url.endswith(f"/v{package.version}/{package.path.name}"), url


@pytest.fixture(scope="module")
def winget():
    """The winget manifests by type: {ManifestType: (file name, first line, fields)}."""
    manifests = {}
    for path in (MANIFESTS / "winget").glob("*.yaml"):
        text = path.read_text(encoding="utf-8")
        fields = yaml.safe_load(text)
        manifests[fields.get("ManifestType")] = (path.name, text.splitlines()[0], fields)
    assert sorted(manifests) == sorted(WINGET_REQUIRED)
    return manifests


@pytest.fixture(scope="module")
def scoop():
    return json.loads((MANIFESTS / "scoop" / "varnick.json").read_text(encoding="utf-8"))


@pytest.mark.parametrize("manifest_type,file_suffix", [
    ("version", ".yaml"),
    ("installer", ".installer.yaml"),
    ("defaultLocale", ".locale.en-US.yaml"),
])
def test_winget_manifest_has_its_required_fields(winget, package, manifest_type, file_suffix):
    name, first_line, fields = winget[manifest_type]
    assert first_line == ("# yaml-language-server: $schema=https://aka.ms/winget-manifest."
                          f"{manifest_type}.{WINGET_MANIFEST_VERSION}.schema.json")
    assert missing(fields, WINGET_REQUIRED[manifest_type]) == []
    assert fields["ManifestVersion"] == WINGET_MANIFEST_VERSION
    assert fields["PackageVersion"] == package.version
    identifier = winget["version"][2]["PackageIdentifier"]
    assert WINGET_IDENTIFIER.fullmatch(identifier), identifier
    assert fields["PackageIdentifier"] == identifier and name == identifier + file_suffix


def test_winget_default_locale_is_the_locale_manifests(winget, scoop):
    locale = winget["defaultLocale"][2]
    assert winget["version"][2]["DefaultLocale"] == locale["PackageLocale"]
    assert (locale["License"], scoop["license"]) == ("MIT", "MIT")
    assert locale["LicenseUrl"].endswith("/LICENSE"), locale


def test_winget_installs_both_programs_from_the_zip(winget, package):
    name, _, fields = winget["installer"]
    # The day of the source's last commit, which the programs' headers
    # carry too: a plain YYYY-MM-DD (YAML reads that alone as a date).
    released = fields["ReleaseDate"]
    assert type(released) is datetime.date, released
    stamped = PeImage(EXE.read_bytes()).time_stamp
    assert released == datetime.datetime.fromtimestamp(stamped, datetime.timezone.utc).date()
    assert (fields["InstallerType"], fields["NestedInstallerType"]) == ("zip", "portable")
    [installer] = fields["Installers"]
    assert missing(installer, WINGET_INSTALLER_REQUIRED) == []
    assert installer["Architecture"] == "x64"
    assert installer["InstallerSha256"] == package.sha256.upper()
    assert_downloads(installer["InstallerUrl"], package)
    # varnick-session starts the varnick.exe beside the name it was run by,
    # winget's link among them: each alias must be its program's own name.
    aliases = {entry["RelativeFilePath"].replace("\\", "/"): entry.get("PortableCommandAlias")
               for entry in fields["NestedInstallerFiles"]}
    assert aliases == {f"{package.path.stem}/{exe}": exe[:-len(".exe")] for exe in PROGRAMS}
    assert set(aliases) <= package.names


def test_scoop_manifest_installs_the_zip(scoop, package):
    assert missing(scoop, SCOOP_REQUIRED) == []
    assert scoop["version"] == package.version
    assert scoop["hash"].lower() == package.sha256
    assert_downloads(scoop["url"], package)
    folder = scoop["extract_dir"]
    assert all(name.startswith(folder + "/") for name in package.names)
    assert sorted(scoop["bin"]) == sorted(PROGRAMS)
    assert {f"{folder}/{exe}" for exe in scoop["bin"]} <= package.names


@pytest.mark.parametrize("manager", sorted(INSTALL_NOTES_NAME))
def test_install_notes_say_how_to_install_and_remove_varnick(winget, scoop, manager):
    notes = (winget["defaultLocale"][2].get("InstallationNotes") if manager == "winget"
             else scoop.get("notes"))
    if isinstance(notes, list):
        notes = " ".join(notes)
    assert isinstance(notes, str), notes
    words = " ".join(notes.split())
    assert [phrase for phrase in INSTALL_NOTES_NAME[manager] if phrase not in words] == []


@pytest.mark.parametrize("version", ["1.0.10", "12.3.0"])
def test_scoop_finds_and_names_a_release_by_its_version(scoop, package, version):
    """checkver reads a version from a zip's name; autoupdate builds the
    manifest of that version from this one."""
    zip_name = package.path.name.replace(package.version, version)
    found = re.search(scoop["checkver"]["regex"], f'<a href="v{version}/{zip_name}">')
    assert found and found.group(1) == version
    update = scoop["autoupdate"]
    url = update["url"].replace("$version", version)
    assert url == scoop["url"].replace(package.version, version)
    assert update["hash"]["url"].replace("$url", url) == url + ".sha256"
    assert update["extract_dir"].replace("$version", version) == scoop["extract_dir"].replace(
        package.version, version)


def test_the_package_signs_a_program_with_the_certificate_given(wine, tmp_path):
    """packaging/sign.cmake, which the package target runs on both programs
    when VARNICK_SIGN_PKCS12 is set, with a certificate made for the test."""
    key, cert, p12, password = (tmp_path / n for n in ("key.pem", "cert.pem", "cert.p12", "pw"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=Varnick test", "-keyout", key, "-out", cert], check=True,
                   capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", p12,
                    "-passout", "pass:throwaway"], check=True, capture_output=True)
    password.write_text("throwaway")
    program = tmp_path / "varnick.exe"
    shutil.copy(EXE, program)

    def verify():
        return subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", program],
                              capture_output=True, text=True)
    assert verify().returncode != 0
    subprocess.run(["cmake", f"-DPROGRAM={program}", f"-DPKCS12={p12}",
                    f"-DPASSWORD_FILE={password}", "-P", ROOT / "packaging" / "sign.cmake"],
                   check=True, capture_output=True)
    checked = verify()
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "Signature verification: ok" in checked.stdout
    # Still the same program, now signed.
    assert run_captured(["wine", str(program)], 30, cwd=tmp_path, env=wine_env()).returncode == 5


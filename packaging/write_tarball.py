#!/usr/bin/env python3
"""Writes a release tarball so that the same files give the same bytes:
members sorted by name, every time SOURCE_DATE_EPOCH, owned by root (0:0,
no names), modes 755 for folders and programs and 644 for the rest, and a
gzip header without a time or a file name. Beside it, <tarball>.sha256 in
the form sha256sum prints.

    write_tarball.py <tarball> <top folder name> <epoch> <file>...

The tarball holds one folder, <top folder name>, with the files in it by
their base names.
"""
import gzip
import hashlib
import io
import os
import sys
import tarfile


def member(name, mode, epoch, size=0, folder=False):
    info = tarfile.TarInfo(name)
    info.type = tarfile.DIRTYPE if folder else tarfile.REGTYPE
    info.mode = mode
    info.mtime = epoch
    info.size = size
    info.uid = info.gid = 0
    info.uname = info.gname = ""
    return info


def tar_bytes(top, epoch, files):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        archive.addfile(member(top, 0o755, epoch, folder=True))
        for path in sorted(files, key=os.path.basename):
            with open(path, "rb") as source:
                data = source.read()
            mode = 0o755 if os.access(path, os.X_OK) else 0o644
            archive.addfile(member(f"{top}/{os.path.basename(path)}", mode, epoch, len(data)),
                            io.BytesIO(data))
    return buffer.getvalue()


def write_tarball(path, top, epoch, files):
    packed = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=packed, mtime=0, compresslevel=9) as out:
        out.write(tar_bytes(top, epoch, files))
    data = packed.getvalue()
    with open(path + ".part", "wb") as out:
        out.write(data)
    os.replace(path + ".part", path)
    with open(path + ".sha256", "w") as sums:
        sums.write(f"{hashlib.sha256(data).hexdigest()}  {os.path.basename(path)}\n")


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    path, top, epoch, files = argv[1], argv[2], int(argv[3]), argv[4:]
    missing = [name for name in files if not os.path.isfile(name)]
    if missing:
        sys.exit(f"write_tarball: not files: {', '.join(missing)}")
    write_tarball(path, top, epoch, files)


if __name__ == "__main__":
    main(sys.argv)

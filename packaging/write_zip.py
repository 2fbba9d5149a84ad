#!/usr/bin/env python3
"""Writes the release zip from the staged folder so that the same files give
the same bytes: entries sorted by name, every time SOURCE_DATE_EPOCH, the
same attributes for every file and every folder, one compression level.

    write_zip.py <staged folder> <top folder name> <zip> <epoch>

The zip holds one folder, <top folder name>, with the staged files in it.
"""
import os
import sys
import time
import zipfile

FILE_MODE = 0o100644
FOLDER_MODE = 0o040755
# MS-DOS's directory bit, which Windows' own unzip reads.
DOS_DIRECTORY = 0x10
COMPRESSION_LEVEL = 9


def entry_names(staged):
    """Every folder (with a trailing /) and file under staged, relative, sorted."""
    names = []
    for folder, subfolders, files in os.walk(staged):
        relative = os.path.relpath(folder, staged)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        names += [prefix + name + "/" for name in subfolders]
        names += [prefix + name for name in files]
    return sorted(names)


def zip_time(epoch):
    """The zip's local time fields for epoch, read as UTC; the format starts in 1980."""
    return time.gmtime(max(epoch, 315532800))[:6]


def entry(name, date_time):
    info = zipfile.ZipInfo(name, date_time)
    info.create_system = 3  # Unix: the mode in the high bits counts
    if name.endswith("/"):
        info.external_attr = (FOLDER_MODE << 16) | DOS_DIRECTORY
    else:
        info.external_attr = FILE_MODE << 16
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def write_zip(staged, top, path, epoch):
    date_time = zip_time(epoch)
    written = path + ".part"
    with zipfile.ZipFile(written, "w") as archive:
        archive.writestr(entry(top + "/", date_time), b"")
        for name in entry_names(staged):
            info = entry(f"{top}/{name}", date_time)
            data = b""
            if not name.endswith("/"):
                with open(os.path.join(staged, name), "rb") as source:
                    data = source.read()
            archive.writestr(info, data, compresslevel=COMPRESSION_LEVEL)
    os.replace(written, path)


def main(argv):
    if len(argv) != 5:
        sys.exit(__doc__)
    staged, top, path, epoch = argv[1:]
    if not os.path.isdir(staged):
        sys.exit(f"write_zip: {staged} is not a folder")
    write_zip(staged, top, path, int(epoch))


if __name__ == "__main__":
    main(sys.argv)

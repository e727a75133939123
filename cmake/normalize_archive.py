#!/usr/bin/env python3
"""Rewrites a release archive so that two builds of one commit give the same
bytes: entries sorted by name, one fixed time, no owner names, no extra fields
that carry access or change times."""

import gzip
import io
import sys
import tarfile
import zipfile

FIXED_TIME = (1980, 1, 1, 0, 0, 0)
FIXED_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC


def normalize_zip(path):
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    with zipfile.ZipFile(path, "w") as target:
        for info, data in sorted(entries, key=lambda entry: entry[0].filename):
            clean = zipfile.ZipInfo(info.filename, date_time=FIXED_TIME)
            clean.external_attr = info.external_attr
            clean.create_system = 3
            clean.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(clean, data, compresslevel=9)


def normalize_tar_gz(path):
    with tarfile.open(path, "r:gz") as source:
        members = [(m, source.extractfile(m).read() if m.isfile() else None)
                   for m in source.getmembers()]
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as target:
        for member, data in sorted(members, key=lambda entry: entry[0].name):
            member.mtime = FIXED_EPOCH
            member.uid = member.gid = 0
            member.uname = member.gname = ""
            member.pax_headers = {}
            target.addfile(member, io.BytesIO(data) if data is not None else None)
    with open(path, "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0, compresslevel=9) as zipped:
            zipped.write(buffer.getvalue())


def main(paths):
    for path in paths:
        if path.endswith(".zip"):
            normalize_zip(path)
        elif path.endswith(".tar.gz"):
            normalize_tar_gz(path)


if __name__ == "__main__":
    main(sys.argv[1:])

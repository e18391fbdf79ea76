"""Rewrites a ZIP archive so that it depends only on the names and contents of its entries.

    deterministic_zip.py ARCHIVE EPOCH

Entries are written in name order, each with the time EPOCH (seconds since 1970, UTC; before
1980 gives 1980-01-01), regular-file or folder attributes, deflated at level 9, and no extra fields.
"""
import sys
import time
import zipfile


def main(archive, epoch):
    seconds = max(int(epoch), 315532800)
    stamp = time.gmtime(seconds)[:6]
    with zipfile.ZipFile(archive) as source:
        entries = [(info.filename, source.read(info)) for info in source.infolist()]
    entries.sort(key=lambda entry: entry[0])
    with zipfile.ZipFile(archive, "w") as target:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 3  # the attributes below are Unix modes
            if name.endswith("/"):
                info.external_attr = (0o40755 << 16) | 0x10
            else:
                info.external_attr = 0o100644 << 16
                info.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(info, data, compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: deterministic_zip.py ARCHIVE EPOCH")
    main(sys.argv[1], sys.argv[2])

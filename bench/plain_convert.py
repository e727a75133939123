#!/usr/bin/env python3
"""The plain-Python way to do the tool's scan, for comparison.

  plain_convert.py CACHE_FOLDER OUTPUT_FOLDER

Reads, finds, decodes, encodes and writes as the tool does, with the same
write discipline (a new file beside the target, renamed over it), and
prints one line per pair.
"""
import os
import sys

READ_BUFFER_SIZE = 204800


def convert(cache, name, output_folder):
    settings_path = os.path.join(cache, name)
    with open(os.path.join(cache, name[:-len("_sc.tmp")] + ".tmp"), "rb") as file:
        character = file.read()
    offset = 37 if character[0] == 19 else 29
    character_id = int.from_bytes(character[offset:offset + 8], "big", signed=True)
    with open(settings_path, "rb") as file:
        data = file.read()
    start = data.find(b"<ui>", 0, READ_BUFFER_SIZE)
    end = data.find(b"\0", start)
    block = data[start:] if end < 0 else data[start:end]
    output = b"\xff\xfe" + block.decode("utf-8").encode("utf-16-le")
    target = os.path.join(output_folder, f"ui.{character_id}.xml")
    with open(target + ".part", "wb") as file:
        file.write(output)
    os.replace(target + ".part", target)
    print(f'[SUCCESS] "{settings_path}" >> ".\\ui.{character_id}.xml".')


def main():
    cache, output_folder = sys.argv[1], sys.argv[2]
    names = sorted(name for name in os.listdir(cache) if name.endswith("_sc.tmp"))
    for name in names:
        convert(cache, name, output_folder)


if __name__ == "__main__":
    main()

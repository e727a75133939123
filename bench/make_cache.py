#!/usr/bin/env python3
"""Makes a synthetic cache folder of settings/character file pairs.

  make_cache.py FOLDER --pairs N [--block-kib K]

FOLDER gets home/Documents/Quellmoor/cache/ with N pairs, and expected.tsv
with one line per pair: settings file name, output file name, output size
and the SHA-256 of the output the tool must write. Settings files hold
binary bytes around a layout XML block (nested elements, attributes,
numbers, some CJK text) of about K KiB; every tenth is a large layout of
300 to 600 KiB, which runs far past the first 204800 bytes. The large
sizes come in a fixed order, the largest first, so that a scan of 10 pairs
holds the largest layout of any scan. Character files come in both layouts.
Every file is dated a day back: a real cache holds files the game wrote
long before, which the tool reads once, without waiting for them to hold
still. Their change time cannot be dated back, so the script returns only
once the newest file has aged past the tool's two seconds.

  make_cache.py FOLDER --pairs N --dated-ahead

dates every file a day ahead instead, as a machine whose clock runs ahead
would, and returns at once: the tool reads such a file twice, a settle
interval apart, for as long as its time lies ahead.
"""
import argparse
import hashlib
import os
import random
import time
from pathlib import Path

READ_BUFFER_SIZE = 204800
LONG_LAYOUT = 19
FIRST_ID = 4503599627370496  # 0x0010000000000000
BLOCK_VARIANTS = 8
LARGE_BLOCK_KIB = [600, 300, 400, 500]
# Past the tool's two seconds, with room for a file system's coarse clock.
CHANGE_AGE_SECONDS = 2.5

WINDOWS = ["MainBar", "ChatFrame", "Minimap", "TargetFrame", "PartyFrame", "BagSlots"]
LABELS = ["火球术", "治疗之光", "背包", "任务日志", "队伍", "设置", "商店", "冰霜新星"]
NOTES = ["Meet at the south gate at eight. ", "集合地点在主城南门。", "Need before greed. "]


def layout_block(rng, size):
    """A ui block of about `size` bytes, from "<ui>" to "</ui>"."""
    parts = ["<ui>\n"]
    length = len(parts[0])
    while length < size:
        window = [f"  <window name=\"{rng.choice(WINDOWS)}\" x=\"{rng.randrange(1920)}\" "
                  f"y=\"{rng.randrange(1080)}\" scale=\"0.{rng.randrange(50, 100)}\">\n"]
        for index in range(rng.randrange(2, 12)):
            label = f" label=\"{rng.choice(LABELS)}\"" if rng.randrange(6) == 0 else ""
            window.append(f"    <slot index=\"{index}\" action=\"skill:{rng.randrange(1000, 9999)}\""
                          f" hotkey=\"{rng.randrange(12)}\"{label}/>\n")
        if rng.randrange(3) == 0:
            window.append("    <note>" + "".join(rng.choice(NOTES) for _ in range(4)) + "</note>\n")
        window.append("  </window>\n")
        text = "".join(window)
        parts.append(text)
        length += len(text.encode())
    parts.append("</ui>")
    return "".join(parts).encode()


def binary_bytes(rng, size):
    """Bytes that look like the game's binary settings and never hold "<ui>"."""
    return bytes(rng.randrange(256) for _ in range(size)).replace(b"<ui>", b"<uj>")


def settings_file(rng, block):
    prefix = binary_bytes(rng, rng.randrange(64, 2048))
    return prefix + block + b"\0" + binary_bytes(rng, rng.randrange(16, 512))


def character_file(character_id, long_layout):
    offset = 37 if long_layout else 29
    data = bytearray(b"\x5a" * (offset + 8 + 19))
    data[0] = LONG_LAYOUT if long_layout else 2
    data[offset:offset + 8] = character_id.to_bytes(8, "big", signed=True)
    return bytes(data)


def expected_output(settings):
    start = settings.find(b"<ui>", 0, READ_BUFFER_SIZE)
    end = settings.find(b"\0", start)
    block = settings[start:] if end < 0 else settings[start:end]
    return b"\xff\xfe" + block.decode("utf-8").encode("utf-16-le")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--pairs", type=int, required=True)
    parser.add_argument("--block-kib", type=int, default=150)
    parser.add_argument("--dated-ahead", action="store_true",
                        help="date every file a day ahead instead of a day back")
    args = parser.parse_args()

    rng = random.Random(args.pairs)
    blocks = [layout_block(rng, args.block_kib * 1024 * rng.randrange(80, 121) // 100)
              for _ in range(BLOCK_VARIANTS)]
    large_blocks = [layout_block(rng, kib * 1024) for kib in LARGE_BLOCK_KIB]
    cache = args.folder / "home" / "Documents" / "Quellmoor" / "cache"
    cache.mkdir(parents=True, exist_ok=True)
    lines = []
    file_time = time.time() + (86400 if args.dated_ahead else -86400)
    written = time.time()
    for pair in range(args.pairs):
        name = f"Char{pair:05d}@Server{pair % 7}"
        character_id = FIRST_ID + pair
        if pair % 10 == 9:
            block = large_blocks[pair // 10 % len(large_blocks)]
        else:
            block = blocks[pair % BLOCK_VARIANTS]
        settings = settings_file(rng, block)
        (cache / f"{name}_sc.tmp").write_bytes(settings)
        (cache / f"{name}.tmp").write_bytes(character_file(character_id, pair % 2 == 1))
        for path in (cache / f"{name}_sc.tmp", cache / f"{name}.tmp"):
            os.utime(path, (file_time, file_time))
        written = time.time()
        output = expected_output(settings)
        lines.append(f"{name}_sc.tmp\tui.{character_id}.xml\t{len(output)}\t"
                     f"{hashlib.sha256(output).hexdigest()}\n")
    (args.folder / "expected.tsv").write_text("".join(lines))
    # The tool reads a file changed within the last two seconds twice; one
    # dated ahead it reads twice anyway.
    if not args.dated_ahead:
        time.sleep(max(0.0, written + CHANGE_AGE_SECONDS - time.time()))


if __name__ == "__main__":
    main()

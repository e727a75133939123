#!/usr/bin/env python3
"""Writes the sample cache folder: character and settings files as the game
client lays them out, with made-up characters. Run it again to recreate them."""

import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cache")


def character_file(character_id, long_layout):
    head = bytes([19 if long_layout else 2]) + bytes(range(1, 37 if long_layout else 29))
    return head + struct.pack(">q", character_id) + b"\x00" * 19


def settings_file(ui_block):
    prefix = b"QMSC\x01\x00\x00\x00" + bytes(range(256)) + b"<u\x00<window/>\x00"
    return prefix + ui_block.encode("utf-8") + b"\x00" + b"\xff\xee" * 64


def layout(title, windows):
    lines = ["<ui>", f'  <layout name="{title}" version="3">']
    for name, x, y, w, h in windows:
        lines.append(f'    <window id="{name}" x="{x}" y="{y}" width="{w}" height="{h}" visible="true"/>')
    lines += ["  </layout>", "</ui>"]
    return "\r\n".join(lines)


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(HERE, exist_ok=True)
    write("Alice@Quellmoor-EU.tmp", character_file(4503599627370497, long_layout=False))
    write("Alice@Quellmoor-EU_sc.tmp", settings_file(layout("Alice's raid", [
        ("minimap", 1620, 20, 280, 280), ("chat", 10, 780, 520, 280), ("skillbar", 660, 980, 600, 80)])))
    write("\u674e\u96f7@Quellmoor-CN.tmp", character_file(4503599627371000, long_layout=True))
    write("\u674e\u96f7@Quellmoor-CN_sc.tmp", settings_file(layout("\u674e\u96f7\u7684\u754c\u9762", [
        ("\u5c0f\u5730\u56fe", 1620, 20, 280, 280), ("\u804a\u5929", 10, 780, 520, 280)])))
    # A settings file whose character file is missing, as after a rename.
    write("Ghost@Quellmoor-EU_sc.tmp", settings_file(layout("Ghost", [("chat", 0, 0, 100, 100)])))


if __name__ == "__main__":
    main()

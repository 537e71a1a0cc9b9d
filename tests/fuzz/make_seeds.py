#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into DIR/<target>/small and DIR/<target>/large:
double-byte (GBK) text, lead bytes just before the end, separators in trail-byte position, and
(large) megabyte-long texts, each in the input layout of its target (see the comments at the top
of the fuzz_*.cpp files)."""
import os
import struct
import sys

GBK_TEXTS = [
    "跳转".encode("gbk"),
    "获取下载链接".encode("gbk"),
    "视频地址：http://cdn.example.test/电影/v.mp4；备用.flv".encode("gbk"),
    "数组成员引用下标超出定义范围".encode("gbk"),
]
TRICKY_TEXTS = [
    b"abc\x81",                  # a lead byte before the end
    b"\xcc\xf8\xd7",             # a whole character, then a lone lead
    b"\x81,b,c",                 # a comma in trail-byte position
    b"a\x81|b|c",
    b"\xb0a" b"a\xb0a",          # the letter a as a trail byte and as a character
    b"\x81\\\x81\\",             # backslash trails
    b"a,,b,",
    b",a",
    b"\xa3\xb1\xa3\xb2",         # full-width 1 and 2
]
LINKS = [
    b'<a href="media/v.mp4">v.mp4</a>',
    b'<a title="x" href="media/v.mp4">v.mp4</a>',
    b'<a href="media/v.mp4" target="_blank">v.mp4</a>',
    b'<a href="a;b.mp4">x</a>',
    b'<a href="">v.mp4</a>',
    b'<a href="="v.mp4">x</a>',
    b"<a href=\"v.mp4'>x</a>",
    b'<a href="v\x81">x.flv',            # a quote in trail position
    b'<a x\x81="y" href="v.m3u8">',      # an equals sign in trail position
    b'<a href="\x81;b;c.mp4">',          # a semicolon in trail position
    b'<a href="v.mp4\x81',               # a lead byte at the very end
    b'<a href="v.mp4?a=1&amp;b=2;&amp;c=&lt;&gt;&quot;&amp;">v</a>',  # as a browser writes it
    b'<a href="v.mp4?a&ampx&amp&amp;lt;">',                      # only looks like references
    b'<a href="v\x81&amp;x&quot">',     # an ampersand after a lead byte still starts a reference
    b'<a href="v.mp4?e=\x80&amp;x=1&nbsp;">',  # after 0x80 (the euro sign) too; "&nbsp;"
    b'<a href="http://cdn.example.test/' + "电影".encode("gbk") + b'.flv">' +
    "下载".encode("gbk") + b"</a>",
]
MEGABYTE = 1 << 20


def megabyte_texts():
    # Double-byte text with ASCII separators between the characters and in trail-byte position,
    # and a text that ends on a lone lead byte. Few of them: each run of a megabyte input costs
    # the fuzzer as much as thousands of small ones.
    unit = "视频，地址".encode("gbk") + b",\x81,;\xb0a|"
    yield "gbk", (unit * (MEGABYTE // len(unit) + 1))[:MEGABYTE]
    yield "lead-end", b"a" * (MEGABYTE - 1) + b"\x81"


def write(directory, name, data):
    kind = "large" if len(data) > 65536 else "small"
    os.makedirs(os.path.join(directory, kind), exist_ok=True)
    with open(os.path.join(directory, kind, name), "wb") as f:
        f.write(data)


def find_text(directory):
    def seed(name, flags, start, sub, text):
        write(directory, name, bytes([flags]) + struct.pack("<i", start) + bytes([len(sub)]) +
              sub + text)
    for i, text in enumerate(GBK_TEXTS + TRICKY_TEXTS):
        seed(f"small-{i}", 0, 0, text[-2:], text)
        seed(f"small-{i}-start", 2, 2, text[1:3], text)
        seed(f"small-{i}-case", 1, 0, b"A", text + b"a")
    seed("flv", 1, 0, b".FLV", b"abc.flv")
    for name, text in megabyte_texts():
        seed(f"mb-{name}", 2, MEGABYTE - 64, b"|", text)


def split_text(directory):
    def seed(name, flags, maximum, sep, text):
        write(directory, name, bytes([flags]) + struct.pack("<h", maximum) + bytes([len(sep)]) +
              sep + text)
    for i, text in enumerate(GBK_TEXTS + TRICKY_TEXTS):
        seed(f"small-{i}", 0, 0, b"", text)
        seed(f"small-{i}-bar", 1, 0, b"|", text)
        seed(f"small-{i}-max", 3, 2, b",", text)
    seed("quote-bracket", 1, 0, b'">', b'a">b">')
    seed("double-byte-sep", 1, 0, "，".encode("gbk"), "甲，乙，，丙".encode("gbk"))
    for name, text in megabyte_texts():
        seed(f"mb-{name}", 1, 0, b";", text)


def to_number(directory):
    numbers = [b"12", b"12abc", b"abc", b" \t-1.5e3", b"+.5E-2x", b"1e400", b"-1e-400", b"0x1A",
               b"inf", b"1e", b"1e+", b"\xa3\xb1\xa3\xb2", b"\xa1\xa1\xa3\xad\xa3\xb3\xa3\xae\xa3\xb5",
               b"12\x81", b"\x81\x31", b"4.9406564584124654e-324", b"123456789012345678901234567890"]
    for i, text in enumerate(numbers + GBK_TEXTS + TRICKY_TEXTS):
        write(directory, f"small-{i}", text)
    write(directory, "mb-fraction", b"0." + b"0" * (MEGABYTE - 8) + b"1e99999")
    write(directory, "mb-fullwidth", b"\xa3\xb1" * (MEGABYTE // 2))


def extract_link_address(directory):
    for i, text in enumerate(LINKS + GBK_TEXTS + TRICKY_TEXTS):
        write(directory, f"small-{i}", text)
    write(directory, "mb-semicolons", b'<a href="' + b"x;" * (MEGABYTE // 2) + b'.mp4">v</a>')
    write(directory, "mb-no-close", b'<a href="' + b"\xb0a" * (MEGABYTE // 2) + b".flv")


def page_link(directory):
    addresses = [b"http://m.test/a;b.mp4?x=1&amp;y=2", b'http://m.test/"><x="y">.mp4',
                 b"http://m.test/\xe8\xa7\x86 \t\x01%41&nbsp;"]
    for i, text in enumerate(addresses + LINKS + TRICKY_TEXTS):
        write(directory, f"small-{i}", text)
    write(directory, "mb-mixed", b'http://m.test/' + b';&"\xa0 ' * (MEGABYTE // 6))


def main():
    root = sys.argv[1]
    for target in (find_text, split_text, to_number, extract_link_address, page_link):
        directory = os.path.join(root, target.__name__)
        os.makedirs(directory, exist_ok=True)
        target(directory)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus in fuzz/corpus: exchanges as the tool really sees them.

fuzz_cmdline seeds are argument vectors from the tool's usage, words joined
by NUL. fuzz_reply seeds are everything a target sends in one transaction:
a first reply, a final one, and sometimes less or more.
"""
import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
IMAGE_SIZE = 300  # the image fuzz_reply streams
IMAGE = bytes((i * 37 + 11) & 0xFF for i in range(IMAGE_SIZE))
FLASH_ID = 0x0089


def reply(error=0, addr=0, size=0, crc=0, flash_id=FLASH_ID):
    return struct.pack(">HiIII", flash_id, error, addr, size, crc)


FIRST = reply()
CMDLINE = {
    "download": ["board", "image"],
    "download_at_address": ["-a", "0x10000", "board", "image"],
    "address_after_operands": ["board", "-a", "0x8000", "image"],
    "address_attached": ["-a0x100", "board", "image"],
    "two_addresses": ["-a", "0x8000", "-a", "0x100", "board", "image"],
    "compare": ["-c", "board", "image"],
    "nand": ["-n", "board", "image"],
    "grouped": ["-cn", "-a", "0x20000", "board", "image"],
    "start": ["-s", "board"],
    "start_with_file": ["-s", "board", "image"],
    "operand_after_dashes": ["board", "--", "-c"],
    "option_between_operands": ["board", "-c", "image"],
    "unknown_option": ["-x", "board", "image"],
    "extra_operands": ["board", "image", "more", "words"],
    "address_last": ["board", "image", "-a"],
    "address_is_dash_word": ["-a", "-c", "board", "image"],
    "octal_address": ["-a", "010", "board", "image"],
    "minus_one": ["-a", "-1", "board", "image"],
    "beyond_32_bits": ["-a", "4294967296", "board", "image"],
    "not_a_number": ["-a", "0x1g", "board", "image"],
    "blank_before_number": ["-a", " 12", "board", "image"],
    "dropped_dash_letter": ["-c-", "board", "image"],
    "long_option": ["--verbose", "board", "image"],
    "dash_alone": ["-", "image"],
}
REPLY = {
    "done": FIRST + reply(size=IMAGE_SIZE, crc=zlib.crc32(IMAGE)),
    "done_crc_differs": FIRST + reply(size=IMAGE_SIZE, crc=0x12345678),
    "compare_failed": FIRST + reply(error=4, addr=0x100, size=IMAGE_SIZE),
    "invalid_address_negative": FIRST + reply(error=-3, addr=0x10000, size=IMAGE_SIZE),
    "error_int32_min": FIRST + reply(error=-(2**31), addr=0xFFFFFFFF, size=IMAGE_SIZE),
    "unknown_error": FIRST + reply(error=7, size=IMAGE_SIZE),
    "first_reply_error": reply(error=6) + reply(size=IMAGE_SIZE, crc=zlib.crc32(IMAGE)),
    "nothing": b"",
    "short_first": FIRST[:10],
    "first_only": FIRST,
    "short_final": FIRST + reply(size=IMAGE_SIZE)[:7],
    "long": FIRST + reply(error=2, addr=0x8000, size=IMAGE_SIZE) + b"\xde\xad\xbe\xef" * 7,
}


def main():
    for name, words in CMDLINE.items():
        write("fuzz_cmdline", name, b"\0".join(w.encode() for w in words))
    for name, stream in REPLY.items():
        write("fuzz_reply", name, stream)


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus in fuzz/corpus: exchanges as the tool really sees them.

fuzz_cmdline seeds are argument vectors from the tool's usage, words joined
by NUL. fuzz_reply seeds are everything a target sends in one transaction:
a first reply, a final one, and sometimes less or more. fuzz_request seeds
are a mode byte and a fault parameter, then everything a client sends.
fuzz_crc32 seeds are a head (number of cuts, starting register, the cuts)
and the data to fold, cut where kesp and kesp-sim cut it.
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

# fuzz_request's devices and what they hold when a run starts.
NOR_SIZE = 64 * 1024
NOR_BLOCK = 4 * 1024
NAND_SIZE = 32 * 1024
NAND_BLOCK = 8 * 1024
NOR = bytes((i * 131 + 7) % 251 for i in range(NOR_SIZE - NOR_BLOCK))
CLIENT_CLOSES = 0x01  # mode bit: the client closes instead of shutting down sending
NO_NAND = 0x02  # mode bit: the target has no NAND device
FAULTS = ["none", "first_error", "final_error", "close_after", "reset_after",
          "no_final_reply", "cut_first", "cut_final"]  # mode bits 2..4
FLAG_NAND = 0x20000000
FLAG_ADDRESS = 0x40000000
FLAG_COMPARE = 0x80000000


def client(header, address=None, image=b"", mode=0, fault="none", param=0):
    control = struct.pack(">BH", mode | FAULTS.index(fault) << 2, param & 0xFFFF)
    words = struct.pack(">I", header)
    if address is not None:
        words += struct.pack(">I", address)
    return control + words + image

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

REQUEST = {
    "download": client(IMAGE_SIZE, image=IMAGE),
    "download_at_address": client(IMAGE_SIZE | FLAG_ADDRESS, 0x1F80, IMAGE),
    "download_to_a_block_end": client(0x80 | FLAG_ADDRESS, 0x1F80, IMAGE[:0x80]),
    "download_to_the_end": client(IMAGE_SIZE | FLAG_ADDRESS, NOR_SIZE - IMAGE_SIZE, IMAGE),
    "empty_download": client(FLAG_ADDRESS, 0x2000),
    "compare_equal": client(256 | FLAG_COMPARE | FLAG_ADDRESS, 0x100, NOR[0x100:0x200]),
    "compare_differs": client(256 | FLAG_COMPARE | FLAG_ADDRESS, 0x100,
                              NOR[0x100:0x180] + b"\0" + NOR[0x181:0x200]),
    "nand": client(IMAGE_SIZE | FLAG_NAND | FLAG_ADDRESS, 0x2000, IMAGE),
    "nand_compare": client(IMAGE_SIZE | FLAG_NAND | FLAG_ADDRESS | FLAG_COMPARE, 0, IMAGE),
    "nand_absent": client(IMAGE_SIZE | FLAG_NAND | FLAG_ADDRESS, 0, IMAGE, mode=NO_NAND),
    "start": client(0),
    "address_past_end": client(IMAGE_SIZE | FLAG_ADDRESS, NOR_SIZE, IMAGE),
    "nand_address_past_end": client(IMAGE_SIZE | FLAG_NAND | FLAG_ADDRESS, NAND_SIZE, IMAGE),
    "size_past_end": client(IMAGE_SIZE | FLAG_ADDRESS, NOR_SIZE - 256, IMAGE),
    "truncated_image": client(IMAGE_SIZE, image=IMAGE[:100]),
    "truncated_address": client(IMAGE_SIZE | FLAG_ADDRESS)[:-2],
    "short_header": client(IMAGE_SIZE)[:5],
    "client_closes": client(IMAGE_SIZE, image=IMAGE, mode=CLIENT_CLOSES),
    "first_error": client(IMAGE_SIZE, image=IMAGE, fault="first_error", param=1),
    "final_error": client(IMAGE_SIZE, image=IMAGE, fault="final_error", param=-2),
    "close_after": client(IMAGE_SIZE, image=IMAGE, fault="close_after", param=100),
    "reset_after": client(IMAGE_SIZE, image=IMAGE, fault="reset_after", param=256),
    "no_final_reply": client(IMAGE_SIZE, image=IMAGE, fault="no_final_reply"),
    "cut_first": client(IMAGE_SIZE, image=IMAGE, fault="cut_first", param=5),
    "cut_final": client(IMAGE_SIZE, image=IMAGE, fault="cut_final", param=12),
}


def crc_input(data, start=0, cuts=()):
    return struct.pack(">BI", len(cuts), start) + b"".join(struct.pack(">H", c) for c in cuts) + data


CRC_DATA = bytes((i * 131 + 7) % 251 for i in range(4096))
CRC = {
    "empty": b"",
    "check_value": crc_input(b"123456789"),
    "from_all_ones": crc_input(CRC_DATA[:300], start=0xFFFFFFFF, cuts=(7, 40)),
    "kesp_chunks": crc_input(CRC_DATA[:2048], cuts=tuple(256 * k for k in range(1, 8))),
    "odd_pieces": crc_input(CRC_DATA[:1000], start=0x12345678, cuts=(1, 17, 63, 64, 65, 999, 1000)),
    "zeros": crc_input(bytes(4000)),
}


def main():
    for name, words in CMDLINE.items():
        write("fuzz_cmdline", name, b"\0".join(w.encode() for w in words))
    for name, stream in REPLY.items():
        write("fuzz_reply", name, stream)
    for name, stream in REQUEST.items():
        write("fuzz_request", name, stream)
    for name, data in CRC.items():
        write("fuzz_crc32", name, data)


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()

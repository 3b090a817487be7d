#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/make_corpus.py [CORPUS_DIR]

corpus/doc_open/: inputs of doc_open_fuzzer, whose first byte picks the file name (the index into
kNames in doc_open_fuzzer.cpp) and whose rest is the file: small valid and nearly valid S-record
files and 6K containers.
corpus/record/: single S-record lines for record_fuzzer.
corpus/telnet/: what a serial server sends, for telnet_fuzzer, whose first byte picks how the
rest is cut into pieces: data with doubled 0xFF, option requests, COM-PORT answers, and
subnegotiations at and past the decoder's 256-byte bound.
"""

import os
import sys

# Indexes into kNames of doc_open_fuzzer.cpp.
LB1_4K, LB4KA, TILM1_4K, TILM4KA = 0, 1, 2, 3
LB6K_CTRL, LB6K_MPPT, LB6K, TILM6K_CTRL, TILM6K_MPPT, TILM6K = 4, 5, 6, 7, 8, 9
WRONG_CASE, SUB_LB6K = 10, 12

HEADER = "S00600004844521B"
END_S9 = "S9030000FC"
END_S8 = "S804000000FB"


BOM = "\xef\xbb\xbf"  # as latin-1 text, the bytes of the UTF-8 byte-order mark


def record(kind, address, data):
    address_bytes = {"1": 2, "2": 3}[kind]
    fields = [address_bytes + len(data) + 1]
    fields += [(address >> (8 * i)) & 0xFF for i in reversed(range(address_bytes))]
    fields += list(data)
    fields.append(~sum(fields) & 0xFF)
    return "S" + kind + "".join("%02X" % b for b in fields)


def s1(address, data):
    return record("1", address, data)


def s2(address, data):
    return record("2", address, data)


def count_record(kind, count):
    """An S5 (16-bit) or S6 (24-bit) record holding the number of data records before it."""
    field_bytes = {"5": 2, "6": 3}[kind]
    fields = [field_bytes + 1] + [(count >> (8 * i)) & 0xFF for i in reversed(range(field_bytes))]
    fields.append(~sum(fields) & 0xFF)
    return "S" + kind + "".join("%02X" % b for b in fields)


def ramp(count, first=0):
    return bytes((first + i) & 0xFF for i in range(count))


def text(lines, eol="\n"):
    return "".join(line + eol for line in lines)


def srec(lines, end=END_S9):
    return text([HEADER] + lines + [end])


def rows(count, base=0, kind="2"):
    return [record(kind, base + 16 * i, ramp(16, i)) for i in range(count)]


def container(control, control_count, mppt, mppt_count):
    out = ""
    if control is not None:
        out += "CTRL_BLOCK\n%d\n" % control_count + text(control)
    if mppt is not None:
        out += "MPPT_BLOCK\n%d\n" % mppt_count + text(mppt)
    return out


def padded(lines, count):
    """`lines` followed by blank lines up to `count` lines, so that a block is whole but small."""
    return lines + [""] * (count - len(lines))


def doc_open_seeds():
    plain = srec(rows(4))
    bad_sum = s2(0x10, ramp(16))
    bad_sum = bad_sum[:-2] + "%02X" % ((int(bad_sum[-2:], 16) + 1) & 0xFF)
    return {
        "plain_s2": (LB1_4K, plain),
        "plain_s1": (LB4KA, srec(rows(3, 0x40, "1"), END_S9)),
        "plain_crlf": (TILM1_4K, text([HEADER] + rows(2) + [END_S9], "\r\n")),
        "no_end_record": (TILM4KA, text([HEADER] + rows(3))),
        "late_records": (LB1_4K, srec([s2(0x40, ramp(16)), s2(0x00, ramp(16, 9)),
                                       s2(0x20, ramp(8)), s2(0x10, ramp(16, 3))])),
        "rows_split_and_gap": (LB4KA, srec([s2(0x04, ramp(20)), s2(0x18, ramp(4, 7)),
                                            s2(0x3E, ramp(5)), s2(0x100, ramp(3))])),
        "same_row_overlap": (LB1_4K, srec([s2(0x00, ramp(8)), s2(0x02, ramp(2, 0xA0)),
                                           s2(0x00, ramp(3, 0xB0))])),
        "long_record": (TILM1_4K, srec([s2(0x08, ramp(64)), s2(0x10, ramp(4))])),
        "address_limit": (LB1_4K, srec([s2(0x1FFF0, ramp(32)), s2(0x20010, ramp(16))])),
        "all_beyond_limit": (LB4KA, srec([s2(0x20000, ramp(16)), s2(0x3FFFF0, ramp(16))])),
        "empty_records": (LB1_4K, srec([s2(0x10, b""), s1(0x20, ramp(1))])),
        "count_and_other": (LB1_4K, text([HEADER, "S5030000FC"] + rows(2) + ["S3", "junk"])),
        "other_before_data": (LB1_4K, text([HEADER] + rows(1) + ["s2 lower case"] + rows(1, 0x20))),
        "checksum_error": (LB4KA, srec(rows(1) + [bad_sum])),
        "format_error": (TILM4KA, srec(rows(1) + [s2(0x10, ramp(16))[:-5] + "G"])),
        "wrong_case_name": (WRONG_CASE, plain),
        "ctrl_only": (LB6K_CTRL, container(padded(srec(rows(3)).split("\n")[:-1], 2000), 2000,
                                           None, 0)),
        "mppt_only": (LB6K_MPPT, container(None, 0, rows(2, 0x80), 2)),
        "mppt_negative_count": (TILM6K_MPPT, container(None, 0, rows(2), -1)),
        "both_blocks": (LB6K, container(padded([HEADER] + rows(3), 2000), 2000,
                                        rows(2, 0x100), 2)),
        "both_blocks_tilm": (TILM6K, container(padded(rows(2), 2001), 2001, padded(rows(1), 1500),
                                              1500)),
        "both_blocks_sub": (SUB_LB6K, container(padded(rows(1), 2000), 2000, rows(1), 1)),
        "ctrl_count_low": (TILM6K_CTRL, container(rows(3), 1999, None, 0)),
        "mppt_marker_missing": (LB6K, container(padded(rows(1), 2000), 2000, None, 0)
                                + "MPPT\n1\n" + rows(1)[0] + "\n"),
        "ctrl_count_text": (LB6K_CTRL, "CTRL_BLOCK\n  +2000x\n" + text(padded(rows(2), 2000))),
        # Line ends: a lone CR, and lines glued on with one between LF and CR LF ends.
        "plain_lone_cr": (LB4KA, text([HEADER] + rows(3) + [END_S9], "\r")),
        "plain_mixed_ends": (TILM1_4K, HEADER + "\r\n" + rows(1)[0] + "\r" + s2(0x10, ramp(16, 7))
                             + "\n" + s2(0x20, ramp(4)) + "\r" + END_S9 + "\r\n"),
        "container_lone_cr": (LB6K, container(padded(rows(2), 2000), 2000, rows(1), 1)
                              .replace("\n", "\r")),
        # What reading would otherwise drop: text after a checksum, S3 data after S1/S2 data.
        "trailing_garbage": (LB1_4K, srec(rows(1) + [s2(0x10, ramp(4)) + "x"])),
        "trailing_blanks": (LB4KA, srec([s2(0x10, ramp(4)) + " \t "])),
        "glued_records": (LB1_4K, srec([s2(0x00, ramp(4)) + s2(0x04, ramp(4))])),
        "s3_after_data": (TILM4KA, srec(rows(2) + ["S30900000040000102B3"])),
        # Records sharing a byte, or only a row.
        "overlap": (LB1_4K, srec([s2(0x00, ramp(16)), s2(0x40, ramp(8)), s2(0x0F, ramp(2))])),
        "overlap_beyond_limit": (LB4KA, srec([s2(0x10, ramp(4)), s2(0x30000, ramp(8)),
                                              s2(0x30004, ramp(8))])),
        "shared_row_no_overlap": (LB1_4K, srec([s2(0x04, ramp(4)), s2(0x00, ramp(4)),
                                                s2(0x08, b""), s2(0x08, ramp(8))])),
        # Count records, right and wrong; a record without data counts.
        "s5_count": (LB1_4K, srec(rows(2) + [s2(0x40, b""), count_record("5", 3)])),
        "s5_count_wrong": (LB4KA, srec(rows(2) + [count_record("5", 1)])),
        "s6_count": (TILM1_4K, srec([count_record("6", 0)] + rows(1) + [count_record("6", 1)])),
        # A plain file cut short, or stopped by a foreign line; a block needs no end record.
        "no_end_after_other": (LB1_4K, text([HEADER] + rows(2) + ["junk"])),
        "block_without_end": (LB6K_MPPT, container(None, 0, rows(2, 0x40), 2)),
        "block_short": (TILM6K_MPPT, container(None, 0, rows(2), 3)),
        # A UTF-8 byte-order mark opens a file's text only at its very start.
        "plain_bom": (LB4KA, BOM + plain),
        "container_bom": (LB6K, BOM + container(padded(rows(2), 2000), 2000, rows(1), 1)),
        "bom_not_at_start": (LB1_4K, HEADER + "\n" + BOM + srec(rows(2))),
        "block_bom": (LB6K_MPPT, "MPPT_BLOCK\n2\n" + BOM + text(rows(2))),
    }


def record_seeds():
    return {
        "s1": s1(0x1234, ramp(4)),
        "s2": s2(0x012340, ramp(16)),
        "s2_lower_hex": s2(0xABCDE0, ramp(8, 0xF0)).lower().replace("s2", "S2", 1),
        "s2_trailing": s2(0x10, ramp(2)) + "  ; note",
        "s2_no_data": s2(0x10, b""),
        "s2_short": s2(0x10, ramp(16))[:-3],
        "s2_bad_checksum": s2(0x10, ramp(3))[:-2] + "00",
        "s0": HEADER,
        "s5": "S5030004F8",
        "s9": END_S9,
        "s3": "S30900000000010203F0",
        "blank": " \t\r",
        "s1_trailing_blanks": s1(0x10, ramp(2)) + " \t",
        "s1_glued": s1(0x10, ramp(2)) + s1(0x12, ramp(2)),
        "s5_good": count_record("5", 0x1234),
        "s6_good": count_record("6", 0x012345),
        "s5_with_data": "S504000002F9",
    }


IAC, SB, SE, WILL, DO = 0xFF, 0xFA, 0xF0, 0xFB, 0xFD
COM_PORT = 44
SUB_LIMIT = 256  # the longest subnegotiation payload the decoder takes


def sub(option, payload):
    return bytes([IAC, SB, option]) + payload.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def telnet_seeds():
    answers = sub(COM_PORT, bytes([101, 0, 0, 0x25, 0x80])) + sub(COM_PORT, bytes([105, 8]))
    return {
        "data": bytes([0]) + b"\x00\x11\xff\xff\x41\xff\xff\xff\xff\x0d\x0a",
        "opening": bytes([3]) + bytes([IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3,
                                       IAC, DO, COM_PORT]),
        "answers": bytes([1]) + answers + b"\x11" + bytes([IAC, 0xF1]) + b"\x12",
        "answer_with_ff": bytes([7]) + sub(COM_PORT, bytes([105, 0xFF])),
        "sub_at_limit": bytes([5]) + sub(COM_PORT, ramp(SUB_LIMIT)) + b"\x11",
        "sub_past_limit": bytes([9]) + sub(COM_PORT, ramp(SUB_LIMIT + 1)) + b"\x11",
        "sub_unended": bytes([0]) + bytes([IAC, SB, COM_PORT]) + b"\x07" * 300,
        "requests": bytes([2]) + b"".join(bytes([IAC, DO, n % 256]) for n in range(200)),
        "short_subs": bytes([4]) + sub(COM_PORT, bytes([112])) * 40,
    }


def write_bytes(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)


def write(directory, seeds, binary):
    os.makedirs(directory, exist_ok=True)
    for name, value in sorted(seeds.items()):
        if binary:
            index, content = value
            data = bytes([index]) + content.encode("latin-1")
        else:
            data = value.encode("ascii")
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    write(os.path.join(corpus, "doc_open"), doc_open_seeds(), binary=True)
    write(os.path.join(corpus, "record"), record_seeds(), binary=False)
    write_bytes(os.path.join(corpus, "telnet"), telnet_seeds())


if __name__ == "__main__":
    main()

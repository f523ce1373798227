#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: a few meaningful inputs per target,
encoded the way the targets take them apart with FuzzedDataProvider (strings from the front,
numbers and choices from the back). Run it again after changing how a target reads its input."""
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


class Seed:
    """Front bytes (strings, the rest) and back values, in the order the target consumes them."""

    def __init__(self):
        self.front = b""
        self.back = []  # each entry: bytes in the order they are consumed

    def string(self, text, terminate=True):
        data = text.encode() if isinstance(text, str) else text
        self.front += data.replace(b"\\", b"\\\\") + (b"\\|" if terminate else b"")
        return self

    def rest(self, data):
        self.front += data.encode() if isinstance(data, str) else data
        return self

    def number(self, value, lo, hi):
        """ConsumeIntegralInRange(lo, hi) returning value."""
        span, wanted = hi - lo, value - lo
        count = 0
        while count < 8 and (span >> (8 * count)) > 0:
            count += 1
        # The first byte taken from the back is the most significant.
        self.back.append(wanted.to_bytes(count, "big") if count else b"")
        return self

    def int32(self, value):
        return self.number(value, -2**31, 2**31 - 1)

    def boolean(self, value):
        return self.number(1 if value else 0, 0, 255)

    def data(self):
        tail = b"".join(self.back)
        return self.front + tail[::-1]


def write(target, name, seed):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(seed.data())


def ini(name, content, read, default, write_at, value, long_value=False):
    seed = Seed().string(content).string(read[0]).string(read[1]).int32(default)
    seed.string(write_at[0]).string(write_at[1]).string(value).boolean(long_value)
    write("inifile", name, seed)


TOOLS = ("[Paths]\r\nSongPath=D:\\Songs\r\nMaster = \"D:\\KTV\\DataBase\\Total.mdb\"\r\n\r\n"
         "[Options]\r\nOnlyAdd=1\r\n")
ini("tools-crlf", TOOLS, ("paths", "SONGPATH"), 7, ("Options", "OnlyAdd"), "0")
ini("bom-comments-duplicates",
    "\xef\xbb\xbf; profile\n[A]\nx=0x1F\n;x=2\n[a]\nx=3\ny\n[B]\nz= 'q' \n",
    ("A", "x"), -1, ("B", "new"), "'kept in quotes'")
ini("new-section-no-final-newline", "[Only]\nkey=value", ("Only", "key"), 0,
    ("Added", " spaced key "), "  \"2047\"  ")
ini("value-past-the-cut", "[S]\nk=\xe4\xb8\xad\n", ("S", "k"), 0, ("S", "k"), "\xe4\xb8\xad\xe6\x96\x87", True)
ini("empty-file", "", ("S", "k"), 42, ("S", "k"), "-2147483648")
ini("rejected-names", "[S]\nk=1\n", ("S", "k"), 0, ("S]", "k=v"), "a\nb")


def cnn(name, mode_any, key_or_provider, text, mask=0, tail=False):
    seed = Seed().boolean(mode_any)
    if mode_any:
        seed.string(key_or_provider).rest(text)
    else:
        seed.string(key_or_provider).number(mask, 0, 65535).boolean(tail).rest(text)
    write("connectionstring", name, seed)


cnn("jet", True, "Data Source",
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=D:\\KTV\\Ktv.mdb;Persist Security Info=false;")
cnn("password-key", True, "jet oledb:database password",
    "Provider=X;Jet OLEDB:Database Password='Riva;Polte';Data Source=a.mdb")
cnn("repeated-key-and-blanks", True, " data source ", "data source=\t\"a b.mdb\" ;Data Source=b")
cnn("quoted-source", False, "Microsoft.Jet.OLEDB.4.0", "  \"D:\\My Songs\\Ktv.mdb\"  ", 0x5A5A, True)
cnn("single-quote-only", False, "P", "'", 0xFFFF)
cnn("chinese-path", False, "P", "D:\\\xe6\xad\x8c\xe6\x9b\xb2\\Ktv.mdb ", 0)


def cmd(name, mode, payload=None, value=None, zeros=0, plus=False):
    seed = Seed().number(mode, 0, 2)
    if mode == 2:
        seed.number(value, -2**63, 2**63 - 1).number(zeros, 0, 3)
        if value >= 0:
            seed.boolean(plus)
    else:
        seed.rest(payload)
    write("commandline", name, seed)


cmd("decimal", 0, "1234")
cmd("dollar-hex", 0, "$FFFFFFFF000004D2")
cmd("minus-0x", 0, "-0x4d2")
cmd("above-64-bits", 0, "99999999999999999999")
cmd("utf16-fullwidth-digits", 1, "\uff11\uff12\uff13".encode("utf-16-le"))
cmd("printed-min", 2, value=-2**63, zeros=1)
cmd("printed-handle", 2, value=0x12345678, zeros=0, plus=True)


# _2DB: each string is (kind, ...) as the target's MakeString reads it.
def host_string(seed, kind, text="", constant=False, refs=1, length=0, unit=0):
    seed.number(kind, 0, 15)
    if kind == 0:
        return
    if 1 <= kind <= 6:
        seed.string(text, terminate=len(text.encode()) < 24)
    elif 7 <= kind <= 12:
        units = text.encode("utf-16-le", "surrogatepass")
        seed.number(len(units) // 2, 0, 24)
        for i in range(0, len(units), 2):
            seed.number(struct.unpack("<H", units[i:i + 2])[0], 0, 65535)
    elif kind == 13:
        seed.number(unit, 0, 65535).number(length, 1, 70000)
    seed.boolean(constant)
    if not constant:
        seed.number(refs, 1, 1000)
    if kind == 15:
        seed.number(length, 1, 1 << 30)


def song(name, strings, ints=None, date=("special", 14), is_new=1, language=(0,), type_id=(0,)):
    """strings: dict of field name to host_string arguments; missing fields are null."""
    ints = ints or {}
    seed = Seed().int32(ints.get("FactoryCode", 0))
    for field in ("FactoryName", "VersionCode", "VersionName"):
        host_string(seed, *strings.get(field, (0,)))
    seed.int32(ints.get("SongID", 0))
    for field in ("SongNumber", "SongName", "FilePath", "SingerName", "PYCode"):
        host_string(seed, *strings.get(field, (0,)))
    seed.int32(ints.get("CharsCount", 0)).int32(ints.get("StrokesNumber", 0))
    seed.boolean(language[0] == 0)
    if language[0] != 0:
        seed.int32(language[0])
    host_string(seed, *strings.get("LanguageName", (0,)))
    seed.boolean(type_id[0] == 0)
    if type_id[0] != 0:
        seed.int32(type_id[0])
    host_string(seed, *strings.get("TypeName", (0,)))
    for field in ("SongTag", "MtvStyle", "MusicStyle"):
        host_string(seed, *strings.get(field, (0,)))
    if date[0] == "special":
        seed.boolean(True).number(date[1], 0, 15)
    else:
        seed.boolean(False).number(struct.unpack("<Q", struct.pack("<d", date[1]))[0], 0, 2**64 - 1)
    seed.int32(ints.get("Track", 0)).int32(ints.get("Sound", 0))
    host_string(seed, *strings.get("MediaType", (0,)))
    seed.int32(ints.get("FileSize", 0))
    host_string(seed, *strings.get("Special", (0,)))
    seed.number(is_new, 0, 255).int32(ints.get("DemandTimes", 0))
    write("2db", name, seed)


SAMPLE = {
    "SongNumber": (1, "K0001"), "SongName": (7, "\u6708\u4eae\u4ee3\u8868\u6211\u7684\u5fc3"),
    "FilePath": (1, "D:\\Songs\\00001.mpg"), "SingerName": (7, "\u9093\u4e3d\u541b"),
    "PYCode": (1, "YLDBWDX"), "LanguageName": (7, "\u56fd\u8bed"), "TypeName": (1, "Pop"),
    "MediaType": (1, "MPG"), "Special": (1, "S"), "FactoryName": (1, "Host", True),
}
SAMPLE_INTS = {"CharsCount": 7, "StrokesNumber": 42, "Track": 1, "Sound": 2, "FileSize": 123456789,
               "DemandTimes": 17, "SongID": 99, "FactoryCode": 3}
song("sample-lookups", SAMPLE, SAMPLE_INTS)
song("sample-ids-given", SAMPLE, SAMPLE_INTS, language=(3,), type_id=(4,), date=("bits", 45000.75))
song("generated-number", {**SAMPLE, "SongNumber": (0,)}, SAMPLE_INTS, date=("special", 7))
song("same-path-other-case", {**SAMPLE, "FilePath": (1, "d:\\songs\\00001.MPG")}, SAMPLE_INTS,
     is_new=0)
song("empty-name-not-null", {**SAMPLE, "SongName": (14,)}, SAMPLE_INTS)
song("nan-date", SAMPLE, SAMPLE_INTS, date=("special", 0))
song("date-below-range", SAMPLE, SAMPLE_INTS, date=("special", 10))
song("negative-length", {**SAMPLE, "SingerName": (15, "", False, 1, 5)}, SAMPLE_INTS)
song("long-strings", {**SAMPLE, "SongName": (13, "", True, 1, 5000, 0x6211),
                      "FilePath": (13, "", False, 2, 3000, 0x5c)},
     {"CharsCount": -2**31, "FileSize": 2**31 - 1, "Track": -1})
song("lone-surrogates", {**SAMPLE, "SongName": (7, "a\ud800b"), "FilePath": (7, "\udc00\ud83c\udfa4")},
     SAMPLE_INTS)

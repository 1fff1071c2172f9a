#!/usr/bin/env python3
"""Checks the built library's export table against api/kestrel.def, the one list of exports.

Windows: kestrel.dll exports exactly the enabled names, each at its ordinal (1..62 in ASCII
name order, counting the reserved lines, then the later Ex exports from 63 on), aliases at
the address of their implementation, and imports nothing but system DLLs. Linux: libkestrel.so defines exactly those names as
dynamic symbols and nothing else.
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "gdi32.dll",
               "comctl32.dll", "wsock32.dll", "ws2_32.dll", "shell32.dll", "ole32.dll",
               "secur32.dll", "crypt32.dll"}


def read_def(path):
    entries = []
    for line in open(path, encoding="ascii"):
        m = re.match(r"^(;-)?\s+(\w+)\s*=\s*(\w+)@(\d+)\s+@(\d+)", line)
        if m:
            entries.append({"enabled": m.group(1) is None, "name": m.group(2),
                            "target": m.group(3), "ordinal": int(m.group(5))})
    return entries


def fail(message):
    print("check_exports: " + message)
    sys.exit(1)


# The 64-bit queries came after the first 62 names, then the failure and handle calls; each
# group follows the ones before it (63 and up) so that no earlier ordinal moves.
LATER = ["KestrelGetArcCompressedSizeEx", "KestrelGetArcOriginalSizeEx", "KestrelGetCompressedSizeEx",
         "KestrelGetOriginalSizeEx", "KestrelGetWriteTimeEx",
         "KestrelGetErrorEx", "KestrelNewArchiveEx", "KestrelOpenArchiveEx", "KestrelSetOptionEx"]


def check_def(entries):
    names = [e["name"] for e in entries]
    if len(names) != 62 + len(LATER):
        fail("the table lists %d names, not 62 + %d" % (len(names), len(LATER)))
    first, later = names[:62], names[62:]
    if first != sorted(first):
        fail("the first 62 names are not in ASCII name order")
    if later != LATER:
        fail("the names from ordinal 63 on are %s, not %s" % (later, LATER))
    if [e["ordinal"] for e in entries] != list(range(1, 63 + len(LATER))):
        fail("ordinals are not 1..%d in table order" % (62 + len(LATER)))


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[pe + 4:pe + 6], "little")


def check_windows(entries, dll):
    x64 = pe_machine(dll) == 0x8664
    objdump = "x86_64-w64-mingw32-objdump" if x64 else "i686-w64-mingw32-objdump"
    dump = subprocess.run([objdump, "-p", dll], capture_output=True, text=True, check=True).stdout
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
    foreign = imports - SYSTEM_DLLS
    if foreign:
        fail("kestrel.dll imports non-system DLLs: %s" % sorted(foreign))
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    rva = {}
    for index, address in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA", dump):
        rva[int(index) + base] = address
    names = {}
    table = dump[dump.find("[Ordinal/Name Pointer] Table"):]
    table = table[:table.find("\n\n")]
    for index, name in re.findall(r"\[\s*(\d+)\] (\w+)", table):
        names[name] = int(index) + base
    enabled = [e for e in entries if e["enabled"]]
    if set(names) != {e["name"] for e in enabled}:
        fail("exported names differ: extra %s, missing %s" % (
            sorted(set(names) - {e["name"] for e in enabled}),
            sorted({e["name"] for e in enabled} - set(names))))
    by_name = {e["name"]: e for e in entries}
    for e in enabled:
        if names[e["name"]] != e["ordinal"]:
            fail("%s has ordinal %d, not %d" % (e["name"], names[e["name"]], e["ordinal"]))
        if e["target"] != e["name"]:
            target = by_name[e["target"]]
            if rva.get(e["ordinal"]) != rva.get(target["ordinal"]):
                fail("%s is not an alias of %s" % (e["name"], e["target"]))
    print("kestrel.dll (%s): %d exports at their ordinals, imports %s" % ("x64" if x64 else "x86", len(enabled),
                                                                  sorted(imports)))


def check_linux(entries, so):
    out = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True,
                         check=True).stdout
    defined = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TtWwDdBbRrVvi":
            defined.add(parts[2].split("@")[0])
    enabled = {e["name"] for e in entries if e["enabled"]}
    if defined != enabled:
        fail("libkestrel.so defines extra %s, lacks %s" % (sorted(defined - enabled),
                                                         sorted(enabled - defined)))
    print("libkestrel.so: exactly the %d enabled names" % len(enabled))


def main():
    def_file, library = sys.argv[1], sys.argv[2]
    entries = read_def(def_file)
    check_def(entries)
    if library.endswith(".dll"):
        check_windows(entries, library)
    else:
        check_linux(entries, library)


main()

#!/usr/bin/env python3
"""Reads the import and delay-load tables of PE images, without running them.

usage: check_imports.py [--updater] EXE_OR_FOLDER...

Every image: each import descriptor names a DLL inside the image and each of its entries is an
ordinal or a hint/name inside the image; each delay-load descriptor is RVA-based, and each of its
slots holds the address of code inside the image (the stub that loads the DLL), never 0 or an
address elsewhere. With --updater the images are the updater itself: it imports KnownDLLs only,
which Windows maps from System32 whatever lies beside the exe, and it delay-loads none but the
system DLLs that are no KnownDLLs. A folder stands for every exe in it, the updater's
("Quillor - Updater*.exe") under the updater's rule.
"""
import os
import struct
import sys

KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll",
              "ole32.dll", "oleaut32.dll"}
SYSTEM_DLLS = KNOWN_DLLS | {"wininet.dll", "bcrypt.dll", "gdiplus.dll", "oleacc.dll"}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
MAX_ENTRIES = 65536  # per DLL: more means a table without its end


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = self.u32(60)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        sections = self.u16(pe + 6)
        optional = pe + 24
        magic = self.u16(optional)
        if magic == 0x10B:
            self.wide, self.base, directories = False, self.u32(optional + 28), optional + 96
        elif magic == 0x20B:
            self.wide, self.base, directories = True, self.u64(optional + 24), optional + 112
        else:
            raise ValueError("optional header magic %#x" % magic)
        self.directories = directories
        self.count = self.u32(directories - 4)
        table = optional + self.u16(pe + 20)
        self.sections = []
        for i in range(sections):
            h = table + 40 * i
            name = self.data[h:h + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, rsize, raw = struct.unpack_from("<IIII", self.data, h + 8)
            flags = self.u32(h + 36)
            self.sections.append((name, rva, max(vsize, rsize), raw, rsize, flags))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def u64(self, offset):
        return struct.unpack_from("<Q", self.data, offset)[0]

    def section(self, rva):
        for s in self.sections:
            if s[1] <= rva < s[1] + s[2]:
                return s
        return None

    def offset(self, rva, what):
        s = self.section(rva)
        if s is None or rva - s[1] >= s[4]:
            raise ValueError("%s at RVA %#x lies outside the file's sections" % (what, rva))
        return rva - s[1] + s[3]

    def directory(self, index):
        if index >= self.count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def text(self, rva, what):
        start = self.offset(rva, what)
        end = self.data.find(b"\0", start, start + 512)
        if end < 0:
            raise ValueError("%s at RVA %#x has no end" % (what, rva))
        return self.data[start:end].decode("ascii", "replace")

    def pointer(self, offset):
        return self.u64(offset) if self.wide else self.u32(offset)

    def lookup_entries(self, rva, dll):
        """The names (or ordinals) of one lookup table, up to its empty entry."""
        size = 8 if self.wide else 4
        ordinal_flag = 1 << (size * 8 - 1)
        offset = self.offset(rva, dll + "'s lookup table")
        names = []
        for _ in range(MAX_ENTRIES):
            entry = self.pointer(offset)
            if entry == 0:
                return names
            if entry & ordinal_flag:
                names.append("#%d" % (entry & 0xFFFF))
            else:
                names.append(self.text((entry & 0x7FFFFFFF) + 2, dll + "'s hint/name"))
            offset += size
        raise ValueError("%s's lookup table has no end" % dll)


def imports(image):
    rva, _ = image.directory(1)
    dlls = []
    if rva == 0:
        return dlls
    offset = image.offset(rva, "the import directory")
    while any(image.data[offset:offset + 20]):
        lookup, _, _, name, first = struct.unpack_from("<IIIII", image.data, offset)
        dll = image.text(name, "an imported DLL's name")
        image.lookup_entries(lookup or first, dll)
        image.offset(first, dll + "'s import slots")
        dlls.append(dll)
        offset += 20
    return dlls


def delay_imports(image):
    rva, _ = image.directory(13)
    dlls = []
    if rva == 0:
        return dlls
    size = 8 if image.wide else 4
    offset = image.offset(rva, "the delay-load directory")
    while any(image.data[offset:offset + 32]):
        attributes, name, handle, slots, lookup = struct.unpack_from("<IIIII", image.data, offset)
        if not attributes & 1:
            raise ValueError("a delay-load descriptor is not RVA-based (attributes %#x)" % attributes)
        dll = image.text(name, "a delay-loaded DLL's name")
        image.offset(handle, dll + "'s module handle")
        names = image.lookup_entries(lookup, dll)
        slot = image.offset(slots, dll + "'s delay-load slots")
        for function in names:
            address = image.pointer(slot)
            target = image.section(address - image.base) if address >= image.base else None
            if target is None or not target[5] & IMAGE_SCN_MEM_EXECUTE:
                raise ValueError("the delay-load slot of %s!%s holds %#x, which leads to no code in the image"
                                 % (dll, function, address))
            slot += size
        dlls.append(dll)
        offset += 32
    return dlls


def main(argv):
    rule = "--updater" in argv
    images = []
    for argument in argv:
        if argument == "--updater":
            continue
        if os.path.isdir(argument):
            for name in sorted(os.listdir(argument)):
                if name.endswith(".exe"):
                    images.append((os.path.join(argument, name), name.startswith("Quillor - Updater")))
        else:
            images.append((argument, rule))
    if not images:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    failed = False
    for path, updater in images:
        name = os.path.basename(path)
        try:
            image = Image(path)
            ordinary, delayed = imports(image), delay_imports(image)
            if updater:
                for dll in ordinary:
                    if dll.lower() not in KNOWN_DLLS:
                        raise ValueError("imports %s, which is no KnownDLL" % dll)
                for dll in delayed:
                    if dll.lower() not in SYSTEM_DLLS:
                        raise ValueError("delay-loads %s, which is no system DLL" % dll)
            print("check_imports: %s: imports %s; delay-loads %s"
                  % (name, " ".join(ordinary) or "nothing", " ".join(delayed) or "nothing"))
        except (ValueError, struct.error, OSError) as error:
            print("check_imports: %s: %s" % (name, error), file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

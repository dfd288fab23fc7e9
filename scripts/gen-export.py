#!/usr/bin/env python3
"""Writes a registry export shaped like a real machine's HKEY_LOCAL_MACHINE\\SOFTWARE.

"Windows Registry Editor Version 5.00" text in UTF-16LE with a byte-order
mark, as regedit exports it: every key in tree order (a key before its
subkeys, subkeys by name), vendor\\product\\version paths with components,
settings and install keys below them, a Classes branch of CLSIDs and file
types, REG_SZ, dword:, hex:, hex(2): and hex(7): values, long hex data broken
into "\\" continuation lines. The same seed and scale give the same bytes.

At scale 1: 400,000 keys, about 1.4 million values, about 242 MB.

    scripts/gen-export.py OUT.reg [--scale S] [--seed N] [--ansi]

--ansi writes the same content as REGEDIT4 text in code page 1252.
"""

import argparse
import random
import sys

KEYS_AT_SCALE_1 = 400_000

WORDS = ("Acme Bright Cobalt Delta Ember Fjord Granite Harbor Indigo Juniper Kestrel Lumen Meridian Nimbus "
         "Onyx Pinnacle Quartz Raven Summit Tundra Umber Vertex Willow Xenon Yarrow Zephyr Aurora Beacon "
         "Cascade Dune Echo Falcon Glacier Horizon Iris Jade Keystone Lotus Mosaic Nova Orbit Prism").split()
NOUNS = ("Studio Suite Manager Tools Runtime Player Viewer Editor Server Client Agent Update Driver Framework "
         "Designer Reader Writer Sync Backup Monitor Toolkit Compiler Explorer Console").split()
SETTINGS = ("Display Network Proxy Fonts Toolbars Recent Security Printing Languages Plugins Cache Logging "
            "Window Options Profiles Sounds").split()
# Characters of code page 1252 beyond ASCII, as real product names carry.
ACCENTED = "éèüöäñçÉß©®™€"
EXTENSIONS = ("doc txt dat cfg log xml bin pak res ini db idx tmp bak img iso cab msi dll ocx tlb chm hlp "
              "pdf rtf csv").split()


class Writer:
    """Collects text and writes it encoded, a large piece at a time."""

    def __init__(self, out, encoding):
        self.out = out
        self.encoding = encoding
        self.parts = []
        self.size = 0
        self.keys = 0
        self.values = 0

    def put(self, text):
        self.parts.append(text)
        self.size += len(text)
        if self.size > 1 << 20:
            self.flush()

    def flush(self):
        self.out.write("".join(self.parts).encode(self.encoding))
        self.parts = []
        self.size = 0


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def hex_value(name, kind, data):
    """ "name"=hex(N):.. with regedit's line breaks: no line past 80 columns."""
    head = (quoted(name) if name else "@") + "=" + kind + ":"
    out = [head]
    column = len(head)
    for i, byte in enumerate(data):
        item = "%02x" % byte
        last = i + 1 == len(data)
        if not last:
            item += ","
        if column + len(item) > 78 and not last:
            out.append("\\\r\n  ")
            column = 2
        out.append(item)
        column += len(item)
    return "".join(out)


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


class Generator:
    def __init__(self, rng, writer, key_budget, unicode):
        self.rng = rng
        self.w = writer
        self.left = key_budget
        self.unicode = unicode

    def word(self):
        word = self.rng.choice(WORDS)
        if self.rng.random() < 0.03:
            word += self.rng.choice(ACCENTED)
        return word

    def guid(self):
        r = self.rng.getrandbits(128)
        h = "%032X" % r
        return "{%s-%s-%s-%s-%s}" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:])

    def path_text(self, vendor, product):
        return "C:\\Program Files\\%s\\%s\\%s.exe" % (vendor, product, product.replace(" ", ""))

    def key(self, path, values):
        if self.left <= 0:
            return False
        self.left -= 1
        self.w.keys += 1
        self.w.values += len(values)
        self.w.put("[" + path + "]\r\n" + "".join(v + "\r\n" for v in values) + "\r\n")
        return True

    def string_value(self, name, text):
        return (quoted(name) if name else "@") + "=" + quoted(text)

    def dword_value(self, name):
        r = self.rng.random()
        v = self.rng.choice((0, 1)) if r < 0.6 else self.rng.getrandbits(32 if r > 0.9 else 16)
        return quoted(name) + "=dword:%08x" % v

    def binary_value(self, name):
        n = self.rng.choice((4, 8, 16, 20, 32, 44, 64, 120))
        return hex_value(name, "hex", bytes(self.rng.getrandbits(8) for _ in range(n)))

    def text_data(self, text):
        # hex(2) and hex(7) hold UTF-16 in a version 5.00 file, bytes of the
        # code page in REGEDIT4.
        return utf16z(text) if self.unicode else text.encode("cp1252") + b"\0"

    def expand_value(self, name, text):
        return hex_value(name, "hex(2)", self.text_data(text))

    def multi_value(self, name, items):
        if self.unicode:
            data = b"".join(utf16z(i) for i in items) + b"\0\0"
        else:
            data = b"".join(i.encode("cp1252") + b"\0" for i in items) + b"\0"
        return hex_value(name, "hex(7)", data)

    def vendor(self, root, vendor):
        rng = self.rng
        base = root + "\\" + vendor
        if not self.key(base, [self.string_value("", vendor + " Software")] if rng.random() < 0.5 else []):
            return
        products = sorted({self.word() + " " + rng.choice(NOUNS) for _ in range(rng.randint(1, 6))}, key=str.lower)
        for product in products:
            pbase = base + "\\" + product
            exe = self.path_text(vendor, product)
            if not self.key(pbase, [self.string_value("InstallPath", exe.rsplit("\\", 1)[0]),
                                    self.string_value("CurrentVersion", "%d.%d" % (rng.randint(1, 12), rng.randint(0, 9))),
                                    self.dword_value("Installed"), self.dword_value("Language")]):
                return
            versions = sorted({"%d.%d.%d" % (rng.randint(1, 12), rng.randint(0, 9), rng.randint(0, 999))
                               for _ in range(rng.randint(1, 4))})
            for version in versions:
                if not self.version(pbase + "\\" + version, vendor, product, exe):
                    return

    def version(self, vbase, vendor, product, exe):
        rng = self.rng
        if not self.key(vbase, [self.string_value("Path", exe), self.string_value("Language", "1033"),
                                self.dword_value("Build"), self.binary_value("Signature"),
                                self.string_value("DisplayName", product + " " + vbase.rsplit("\\", 1)[1]),
                                self.string_value("Publisher", vendor), self.dword_value("EstimatedSize")]):
            return False
        # Subkeys by name, as an export lists them.
        children = []
        components = sorted((self.guid() for _ in range(rng.randint(0, 12))), key=str.lower)
        children.append(("Components", components))
        children.append(("Install", None))
        settings = sorted(rng.sample(SETTINGS, rng.randint(1, 5)), key=str.lower)
        children.append(("Settings", settings))
        for name, below in children:
            at = vbase + "\\" + name
            if name == "Components":
                if not self.key(at, [self.dword_value("Count"), self.binary_value("LastUpdate")]):
                    return False
                for guid in below:
                    if not self.key(at + "\\" + guid, [
                            self.string_value("", product + " component"),
                            self.string_value("File", exe.rsplit("\\", 1)[0] + "\\" + self.word().lower() + ".dll"),
                            self.dword_value("Version"), self.binary_value("Hash")]):
                        return False
            elif name == "Install":
                if not self.key(at, [
                        self.expand_value("Root", "%ProgramFiles%\\" + vendor + "\\" + product),
                        self.multi_value("Features", [self.word() for _ in range(rng.randint(1, 5))]),
                        self.string_value("InstallDate", "2026%02d%02d" % (rng.randint(1, 12), rng.randint(1, 28))),
                        self.dword_value("Flags")]):
                    return False
            else:
                if not self.key(at, []):
                    return False
                for setting in below:
                    values = [self.dword_value("Enabled"), self.string_value("Value", self.word() + " " + self.word()),
                              self.dword_value("Mode")]
                    if rng.random() < 0.3:
                        values.append(self.binary_value("State"))
                    values.append(self.dword_value("Level"))
                    if not self.key(at + "\\" + setting, values):
                        return False
        return True

    def classes(self, root, budget):
        """CLSID keys and file types, a fifth of a real SOFTWARE hive."""
        rng = self.rng
        stop = self.left - budget
        classes = root + "\\Classes"
        self.key(classes, [])
        for ext in sorted(EXTENSIONS):
            self.key(classes + "\\." + ext, [self.string_value("", ext + "file"),
                                             self.string_value("Content Type", "application/x-" + ext)])
        clsid = classes + "\\CLSID"
        self.key(clsid, [])
        guids = []
        while len(guids) * 3 < self.left - stop:
            guids.append(self.guid())
        guids.sort(key=str.lower)
        for guid in guids:
            at = clsid + "\\" + guid
            server = "C:\\Program Files\\" + self.word() + "\\" + self.word().lower() + ".dll"
            if not self.key(at, [self.string_value("", self.word() + " " + rng.choice(NOUNS) + " Class"),
                                 self.string_value("AppID", self.guid())]):
                return
            if not self.key(at + "\\InprocServer32", [self.string_value("", server),
                                                      self.string_value("ThreadingModel", "Apartment")]):
                return
            if not self.key(at + "\\ProgID", [self.string_value("", self.word() + "." + rng.choice(NOUNS) + ".1"),
                                                self.dword_value("Flags")]):
                return


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--ansi", action="store_true")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    keys = max(10, int(KEYS_AT_SCALE_1 * args.scale))
    with open(args.out, "wb") as out:
        unicode = not args.ansi
        if unicode:
            out.write(b"\xff\xfe")
        w = Writer(out, "utf-16-le" if unicode else "cp1252")
        w.put(("Windows Registry Editor Version 5.00" if unicode else "REGEDIT4") + "\r\n\r\n")
        g = Generator(rng, w, keys, unicode)
        root = "HKEY_LOCAL_MACHINE\\SOFTWARE"
        g.key(root, [])
        g.classes(root, keys // 5)
        vendors = set()
        while g.left > 0:
            # Vendors by name, as an export lists them; a batch at a time so
            # that the order holds without knowing the count beforehand.
            batch = sorted({g.word() + g.word() + str(rng.randint(0, 99)) for _ in range(64)} - vendors,
                           key=str.lower)
            if not batch:
                continue
            # Each batch sorts after the last: a letter prefix per batch.
            prefix = "V%05d" % len(vendors)
            for vendor in batch:
                vendors.add(vendor)
                g.vendor(root, prefix + vendor)
                if g.left <= 0:
                    break
        w.flush()
    print("%s: %d keys, %d values" % (args.out, w.keys, w.values), file=sys.stderr)


if __name__ == "__main__":
    main()

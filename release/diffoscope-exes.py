#!/usr/bin/python3
"""Usage: release/diffoscope-exes.py [OPTION...] FILE FILE: Debian 12's diffoscope, with objdump on
an x86 exe (PE32) too, each line named by its section: a difference placed in a section or field."""
import re, sys
from diffoscope.comparators import pe32
from diffoscope.main import main

def named(self, line):  # after "Disassembly of section .text:", ".text: " and the line
    if line.startswith(b"Disassembly of section "):
        self.section = line.removeprefix(b"Disassembly of section ").rstrip(b":\n") + b": "
    return b"" if line.startswith(self.path.encode()) else getattr(self, "section", b"") + line
pe32.Pe32PlusFile.FILE_TYPE_RE = re.compile(r"^PE32\b")  # file's "PE32 executable", "PE32+ ..."
pe32.Objdump.filter = named
main(sys.argv[1:])

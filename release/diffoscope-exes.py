#!/usr/bin/python3
"""Usage: release/diffoscope-exes.py [OPTION...] FILE FILE: Debian 12's diffoscope, reading an x86
exe (PE32) with objdump as it reads an x86-64 one, not as bytes alone, and naming the section of
each line of code or data, so that a difference in an exe is placed in a section or field."""
import re, sys
from diffoscope.comparators import pe32
from diffoscope.main import main

def named(self, line):  # after "Disassembly of section .text:", ".text: " and the line
    if line.startswith(b"Disassembly of section "):
        self.section = line.removeprefix(b"Disassembly of section ").rstrip(b":\n") + b": "
    return b"" if line.startswith(self.path.encode()) else getattr(self, "section", b"") + line
# "PE32 executable (console) Intel 80386 ...", as file says of the x86 exe, and "PE32+ ..."
pe32.Pe32PlusFile.FILE_TYPE_RE = re.compile(r"^PE32\b")
pe32.Objdump.filter = named
main(sys.argv[1:])

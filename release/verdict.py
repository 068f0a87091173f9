"""The release tooling's helpers raise a Failure for input refused or not judged; run() prints it
and exits with its status, as cmp and diffoscope do: 0 the same or accepted, 1 differs or refused,
2 could not judge. A fault in the tooling's own code is no Failure: it ends in a traceback."""
import subprocess, sys

DIFFERS, UNJUDGED = 1, 2

class Failure(Exception):
    def __init__(self, message, status=DIFFERS):
        super().__init__(message)
        self.status = status

def first_difference(one, other):
    """Where they first differ (the shorter's length if it begins the other); None if nowhere."""
    if one == other:
        return None
    for offset, (a, b) in enumerate(zip(one, other)):
        if a != b:
            return offset
    return min(len(one), len(other))

def amount(count):
    """count bytes, in words: "1 byte", "4 bytes"."""
    return "1 byte" if count == 1 else f"{count} bytes"

def at(offset):
    """An offset in a file, in words: "offset 1100 (0x44c)"."""
    return f"offset {offset} (0x{offset:x})"

def output(*command, input=None):
    """What command prints; a Failure (not judged) with its own words where it fails."""
    done = subprocess.run(command, input=input, capture_output=True, text=True,
                          errors="surrogateescape")  # bytes not UTF-8 kept: a binary file's diff
    if done.returncode:
        raise Failure(f"{' '.join(map(str, command))} failed: {done.stderr.strip()}", UNJUDGED)
    return done.stdout

def run(main):
    """The only exit: with main's status, or a Failure's, said (an OSError's: not judged)."""
    try:
        status = main(sys.argv[1:])
    except (Failure, OSError) as error:
        if isinstance(error, OSError):  # a file that cannot be read or written
            error = Failure(f"{sys.argv[0]}: {error}", UNJUDGED)
        sys.stdout.flush()  # what was said before it comes first
        print(error, file=sys.stderr)
        status = error.status
    sys.exit(status)

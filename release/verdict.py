"""What the release tooling says of what it checks. Its helpers raise a Failure, and only that,
for input that is refused or that cannot be judged, with the message that says why; only a
script's main() prints it and exits with its status, as cmp, diff and diffoscope use theirs: 0 the
same, or accepted (no Failure); 1 differs, or refused; 2 could not judge (bad input, a missing
file, a failed clone or build). A fault in the tooling's own code is no Failure: it ends in
Python's traceback."""
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
    if count == 1:
        return "1 byte"
    return f"{count} bytes"

def at(offset):
    """An offset in a file, in words: "offset 1100 (0x44c)"."""
    return f"offset {offset} (0x{offset:x})"

def output(*command, input=None):
    """What command prints; a Failure (not judged) with its own words where it fails. Its bytes
    that are not UTF-8 pass through as they are (git diff's of a binary file, say)."""
    done = subprocess.run(command, input=input, capture_output=True, text=True,
                          errors="surrogateescape")
    if done.returncode:
        raise Failure(f"{' '.join(map(str, command))} failed: {done.stderr.strip()}", UNJUDGED)
    return done.stdout

def run(main):
    """Exits with main(the command's arguments)'s status, or says a Failure's words and exits with
    its status; a file that cannot be read or written (OSError) is not judged. Only this exits."""
    try:
        status = main(sys.argv[1:])
    except Failure as failure:
        sys.stdout.flush()  # what was said before it comes first
        print(failure, file=sys.stderr)
        status = failure.status
    except OSError as error:
        sys.stdout.flush()
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        status = UNJUDGED
    sys.exit(status)

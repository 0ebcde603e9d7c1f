"""List the globals (module, name) that pickles import, read with pickletools only.

Nothing is unpickled: the opcodes are walked and GLOBAL / STACK_GLOBAL / INST / OBJ
references are resolved from the strings pushed before them (through the memo as well).
This is how the allow-list of the client's restricted unpickler was derived:

    python tests/tools/pickle_globals.py tests/data/*/*.pkl tests/data/pickles-corpus/*/*.pkl
"""

import pickletools
import sys
from collections import defaultdict

STRING_OPS = {"SHORT_BINUNICODE", "BINUNICODE", "BINUNICODE8", "UNICODE", "STRING",
              "BINSTRING", "SHORT_BINSTRING"}


def globals_of(data: bytes):
    found = []
    stack = []  # the values of string pushes; None for anything else
    memo = {}
    for op, arg, _pos in pickletools.genops(data):
        name = op.name
        if name in ("GLOBAL", "INST"):
            module, _, attr = arg.partition(" ")
            found.append((module, attr))
            stack.append(None)
        elif name == "STACK_GLOBAL":
            module, attr = stack[-2], stack[-1]
            found.append((module, attr))
            del stack[-2:]
            stack.append(None)
        elif name in STRING_OPS:
            stack.append(arg)
        elif name == "MEMOIZE":
            memo[len(memo)] = stack[-1] if stack else None
        elif name in ("PUT", "BINPUT", "LONG_BINPUT"):
            memo[arg] = stack[-1] if stack else None
        elif name in ("GET", "BINGET", "LONG_BINGET"):
            stack.append(memo.get(arg))
        else:
            stack.append(None)
    return found


def main(paths):
    users = defaultdict(set)
    for path in paths:
        with open(path, "rb") as f:
            for ref in globals_of(f.read()):
                users[ref].add(path.rsplit("/", 1)[-1])
    for (module, attr), files in sorted(users.items()):
        print(f"{module:45s} {attr:30s} {len(files):3d} files, e.g. {sorted(files)[0]}")
    print(f"{len(users)} globals", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1:])

"""Pickles as trees of objects, read and written without running anything.

`decode` walks the opcodes (pickletools only) and builds nodes: `Global` for an imported name,
`Call` for REDUCE / NEWOBJ / NEWOBJ_EX / INST / OBJ (with the states BUILD gave it), `Tuple`,
`List`, `Dict`, `Set`, `FrozenSet`; numbers, text, bytes, booleans and None stay Python values.
An object the memo hands out twice is one node reached twice, so sharing (and lists filled after
they were memoized) survives. `encode` writes a tree back as protocol-4 opcodes, memoizing what is
reached more than once. `TreeMutator` changes trees the way a forged value would: arguments
swapped, boundary constants, one known global for another, lazy ranges, shared lists, other
units, and sub-trees crossed between pickles.
"""

from __future__ import annotations

import _compat_pickle
import pickletools
import random
import re
import struct


class Node:
    __slots__ = ()


class Global(Node):
    __slots__ = ("module", "name")

    def __init__(self, module, name):
        self.module, self.name = module, name


class Call(Node):
    """func(*args) (kind "reduce"), cls.__new__(cls, *args[, **kwargs]) ("newobj"), then each
    state of `builds` given to BUILD."""
    __slots__ = ("func", "args", "kind", "kwargs", "builds")

    def __init__(self, func, args, kind="reduce", kwargs=None):
        self.func, self.args, self.kind, self.kwargs, self.builds = func, args, kind, kwargs, []


class Seq(Node):
    __slots__ = ("items",)

    def __init__(self, items=None):
        self.items = list(items or [])


class Tuple(Seq):
    __slots__ = ()


class List(Seq):
    __slots__ = ()


class Set(Seq):
    __slots__ = ()


class FrozenSet(Seq):
    __slots__ = ()


class Dict(Seq):
    """items: [key, value] pairs (lists, so a slot can be replaced in place)."""
    __slots__ = ()


class Unsupported(Exception):
    pass


def _python3_name(module, name, proto):
    """The name pickle.loads imports for (module, name) in a pickle of protocol `proto`."""
    if proto < 3:
        if (module, name) in _compat_pickle.NAME_MAPPING:
            return _compat_pickle.NAME_MAPPING[(module, name)]
        return _compat_pickle.IMPORT_MAPPING.get(module, module), name
    return module, name


def decode(data: bytes):
    """The tree of a pickle; names of Python 2 (protocols 0-2) given as pickle.loads reads them."""
    stack, marks, memo, proto = [], [], {}, 0

    def pop_mark():
        items = stack[marks[-1]:]
        del stack[marks.pop():]
        return items

    for op, arg, _pos in pickletools.genops(data):
        name = op.name
        if name == "PROTO":
            proto = arg
        if name in ("PROTO", "FRAME"):
            continue
        if name == "STOP":
            return stack.pop()
        if name == "MARK":
            marks.append(len(stack))
        elif name == "POP":
            stack.pop()
        elif name == "POP_MARK":
            pop_mark()
        elif name == "DUP":
            stack.append(stack[-1])
        elif name == "NONE":
            stack.append(None)
        elif name in ("NEWTRUE", "NEWFALSE"):
            stack.append(name == "NEWTRUE")
        elif name in ("INT", "BININT", "BININT1", "BININT2", "LONG", "LONG1", "LONG4", "BINFLOAT", "FLOAT",
                      "SHORT_BINUNICODE", "BINUNICODE", "BINUNICODE8", "UNICODE", "SHORT_BINBYTES",
                      "BINBYTES", "BINBYTES8"):
            stack.append(arg)
        elif name == "BYTEARRAY8":
            stack.append(bytearray(arg))
        elif name == "EMPTY_TUPLE":
            stack.append(Tuple())
        elif name in ("TUPLE1", "TUPLE2", "TUPLE3"):
            n = int(name[-1])
            items = stack[-n:]
            del stack[-n:]
            stack.append(Tuple(items))
        elif name == "TUPLE":
            stack.append(Tuple(pop_mark()))
        elif name == "EMPTY_LIST":
            stack.append(List())
        elif name == "LIST":
            stack.append(List(pop_mark()))
        elif name == "APPEND":
            stack[-2].items.append(stack.pop())
        elif name == "APPENDS":
            items = pop_mark()
            stack[-1].items.extend(items)
        elif name == "EMPTY_DICT":
            stack.append(Dict())
        elif name == "DICT":
            items = pop_mark()
            stack.append(Dict([[items[i], items[i + 1]] for i in range(0, len(items), 2)]))
        elif name == "SETITEM":
            value, key = stack.pop(), stack.pop()
            stack[-1].items.append([key, value])
        elif name == "SETITEMS":
            items = pop_mark()
            stack[-1].items.extend([items[i], items[i + 1]] for i in range(0, len(items), 2))
        elif name == "EMPTY_SET":
            stack.append(Set())
        elif name == "ADDITEMS":
            items = pop_mark()
            stack[-1].items.extend(items)
        elif name == "FROZENSET":
            stack.append(FrozenSet(pop_mark()))
        elif name in ("GLOBAL", "INST"):
            module, _, attr = arg.partition(" ")
            module, attr = _python3_name(module, attr, proto)
            if name == "GLOBAL":
                stack.append(Global(module, attr))
            else:
                stack.append(Call(Global(module, attr), Tuple(pop_mark())))
        elif name == "STACK_GLOBAL":
            attr, module = stack.pop(), stack.pop()
            stack.append(Global(*_python3_name(module, attr, proto)))
        elif name == "OBJ":
            items = pop_mark()
            stack.append(Call(items[0], Tuple(items[1:])))
        elif name == "REDUCE":
            args = stack.pop()
            stack[-1] = Call(stack[-1], args)
        elif name == "NEWOBJ":
            args = stack.pop()
            stack[-1] = Call(stack[-1], args, "newobj")
        elif name == "NEWOBJ_EX":
            kwargs, args = stack.pop(), stack.pop()
            stack[-1] = Call(stack[-1], args, "newobj", kwargs)
        elif name == "BUILD":
            state = stack.pop()
            if not isinstance(stack[-1], (Call, Global)):
                raise Unsupported("BUILD on a plain value")
            if isinstance(stack[-1], Global):
                stack[-1] = Call(stack[-1], None, "build-only")
            stack[-1].builds.append(state)
        elif name in ("PUT", "BINPUT", "LONG_BINPUT"):
            memo[arg] = stack[-1]
        elif name == "MEMOIZE":
            memo[len(memo)] = stack[-1]
        elif name in ("GET", "BINGET", "LONG_BINGET"):
            stack.append(memo[arg])
        else:
            raise Unsupported(name)
    raise Unsupported("no STOP")


def children(node):
    """The values a node holds, in writing order."""
    if isinstance(node, Call):
        out = [node.func] + ([node.args] if node.args is not None else [])
        return out + ([node.kwargs] if node.kwargs is not None else []) + node.builds
    if isinstance(node, Dict):
        return [x for pair in node.items for x in pair]
    if isinstance(node, Seq):
        return node.items
    return []


def walk(root):
    """Every node once, parents first."""
    seen, out, todo = set(), [], [root]
    while todo:
        node = todo.pop()
        if not isinstance(node, Node) or id(node) in seen:
            continue
        seen.add(id(node))
        out.append(node)
        todo.extend(reversed(children(node)))
    return out


def slots(root):
    """(holder, index) of every place that holds a value, in the order walk gives."""
    out = []
    for node in walk(root):
        if isinstance(node, Call):
            out.extend((node, i) for i in range(len(node.builds)))
        elif isinstance(node, Dict):
            out.extend((pair, i) for pair in node.items for i in (0, 1))
        elif isinstance(node, Seq):
            out.extend((node.items, i) for i in range(len(node.items)))
    return [(h.builds if isinstance(h, Call) else h, i) for h, i in out]


# -- writing -----------------------------------------------------------------------------------

class _Writer:
    def __init__(self, root):
        self.out = bytearray(b"\x80\x04")
        self.refs, self.memo, self.open = {}, {}, set()
        todo = [root]
        while todo:  # how often each node is reached: only those reached twice are memoized
            node = todo.pop()
            if isinstance(node, Node):
                self.refs[id(node)] = self.refs.get(id(node), 0) + 1
                if self.refs[id(node)] == 1:
                    todo.extend(children(node))
        self.write(root)
        self.out += b"."

    def put(self, node):
        index = self.memo[id(node)] = len(self.memo)
        self.out += b"q" + bytes([index]) if index < 256 else b"r" + struct.pack("<I", index)

    def write(self, x):
        out = self.out
        if isinstance(x, Node) and id(x) in self.memo:
            index = self.memo[id(x)]
            out += b"h" + bytes([index]) if index < 256 else b"j" + struct.pack("<I", index)
            return
        shared = isinstance(x, Node) and self.refs.get(id(x), 0) > 1
        if x is None:
            out += b"N"
        elif x is True or x is False:
            out += b"\x88" if x else b"\x89"
        elif isinstance(x, int):
            if 0 <= x < 256:
                out += b"K" + bytes([x])
            elif -2**31 <= x < 2**31:
                out += b"J" + struct.pack("<i", x)
            else:
                raw = x.to_bytes((x.bit_length() + 8) // 8, "little", signed=True)
                out += (b"\x8a" + bytes([len(raw)]) if len(raw) < 256 else b"\x8b" + struct.pack("<i", len(raw))) + raw
        elif isinstance(x, float):
            out += b"G" + struct.pack(">d", x)
        elif isinstance(x, str):
            raw = x.encode("utf-8", "surrogatepass")
            out += (b"\x8c" + bytes([len(raw)]) if len(raw) < 256 else b"X" + struct.pack("<I", len(raw))) + raw
        elif isinstance(x, bytearray):
            out += b"\x96" + struct.pack("<Q", len(x)) + x
        elif isinstance(x, bytes):
            out += (b"C" + bytes([len(x)]) if len(x) < 256 else b"B" + struct.pack("<I", len(x))) + x
        elif isinstance(x, Global):
            self.write(x.module)
            self.write(x.name)
            out += b"\x93"
        elif isinstance(x, List):
            out += b"]"
            self.put(x)
            self.batch(x.items, b"e")
            return
        elif isinstance(x, Dict):
            out += b"}"
            self.put(x)
            self.batch([v for pair in x.items for v in pair], b"u")
            return
        elif isinstance(x, Set):
            out += b"\x8f"
            self.put(x)
            self.batch(x.items, b"\x90")
            return
        elif isinstance(x, (Tuple, FrozenSet, Call)):
            if id(x) in self.open:
                raise Unsupported("a value holding itself through a tuple or call")
            self.open.add(id(x))
            if isinstance(x, Tuple):
                out += b"(" if x.items else b")"
                for item in x.items:
                    self.write(item)
                if x.items:
                    out += b"t"
            elif isinstance(x, FrozenSet):
                out += b"("
                for item in x.items:
                    self.write(item)
                out += b"\x91"
            else:
                self.write(x.func)
                if x.kind != "build-only":
                    self.write(x.args)
                    if x.kind == "reduce":
                        out += b"R"
                    elif x.kwargs is None:
                        out += b"\x81"
                    else:
                        self.write(x.kwargs)
                        out += b"\x92"
                self.open.discard(id(x))
                if shared:
                    self.put(x)
                for state in x.builds:
                    self.write(state)
                    out += b"b"
                return
            self.open.discard(id(x))
        else:
            raise Unsupported(type(x).__name__)
        if shared:
            self.put(x)

    def batch(self, items, op):
        for i in range(0, len(items), 1000):
            self.out += b"("
            for item in items[i:i + 1000]:
                self.write(item)
            self.out += op


def encode(root) -> bytes:
    return bytes(_Writer(root).out)


# -- mutating ----------------------------------------------------------------------------------

UNITS = ["ns", "us", "ms", "s", "D", "ps", "fs", "as", "Y", "W", "M", "m", "h", "generic"]
UNIT_TEXT = re.compile(r"^(.*\[)?(ns|us|ms|s|D|ps|fs|as|Y|W|M|m|h|generic)(\])?$")
BOUNDARY = [0, -1, 1, 2, 2**31 - 1, -2**31, 2**32, 2**63 - 1, -2**63, 2**64, 2**40, 2**28, 10**20000,
            float("nan"), float("inf"), -float("inf"), -0.0, 1e308, "", "\udcff", "\x00", "a" * 300,
            "D", "ps", "Y", "W", "M8[D]", "m8[ps]", "<M8[ns]", "O", "V8", "UTC", "right", "int8",
            b"", b"\x00" * 7, b"ns", b"D", True, False, None]
LAZY_LENGTHS = [2**31, 2**40, 2**63 - 1, 5 * 10**7, -2**63, 0]


def _name(node):
    return node.func.name if isinstance(node, Call) and isinstance(node.func, Global) else None


class TreeMutator:
    """Object-level mutations of the seeds (bytes that `decode` reads)."""

    def __init__(self, rng: random.Random, seeds, sample=150):
        self.rng, self.seeds = rng, list(seeds)
        self.globals = set()  # the globals the seeds name, gathered from a sample, then as seeds are read
        for data in rng.sample(self.seeds, min(sample, len(self.seeds))):
            self.read(data)

    def read(self, data):
        root = decode(data)
        self.globals.update((n.module, n.name) for n in walk(root) if isinstance(n, Global))
        return root

    def mutate(self) -> bytes:
        while True:
            try:
                root = self.read(self.rng.choice(self.seeds))
                for _ in range(self.rng.randint(1, 3)):
                    getattr(self, self.rng.choice(["swap_args", "boundary", "boundary", "other_global",
                                                   "cross_over", "cross_over", "lazy_range", "shared_lists",
                                                   "unit"]))(root)
                return encode(root)[: 1 << 20]
            except (Unsupported, RecursionError):
                continue

    def swap_args(self, root):
        calls = [n for n in walk(root) if isinstance(n, Call) and isinstance(n.args, Tuple) and len(n.args.items) > 1]
        tuples = calls and [c.args for c in calls] or [n for n in walk(root) if isinstance(n, Tuple) and len(n.items) > 1]
        if tuples:
            items = self.rng.choice(tuples).items
            a, b = self.rng.sample(range(len(items)), 2)
            items[a], items[b] = items[b], items[a]

    def _set_constant(self, root, choose):
        places = [(h, i) for h, i in slots(root) if not isinstance(h[i], Node)]
        if places:
            holder, i = self.rng.choice(places)
            holder[i] = choose(holder[i])

    def boundary(self, root):
        def choose(old):
            same = [v for v in BOUNDARY if type(v) is type(old)]
            return self.rng.choice(same if same and self.rng.random() < 0.7 else BOUNDARY)
        self._set_constant(root, choose)

    def unit(self, root):
        """A unit (in a dtype text like "M8[ns]", a bare "ns", or numpy's b"ns") for another."""
        places = [(h, i) for h, i in slots(root) if isinstance(h[i], (str, bytes))
                  and UNIT_TEXT.match(h[i] if isinstance(h[i], str) else h[i].decode("latin1"))]
        if places:
            holder, i = self.rng.choice(places)
            old = holder[i] if isinstance(holder[i], str) else holder[i].decode("latin1")
            m = UNIT_TEXT.match(old)
            new = (m.group(1) or "") + self.rng.choice(UNITS) + (m.group(3) or "")
            holder[i] = new if isinstance(holder[i], str) else new.encode("latin1")

    def other_global(self, root):
        names = [n for n in walk(root) if isinstance(n, Global)]
        if names and self.globals:
            node = self.rng.choice(names)
            node.module, node.name = self.rng.choice(sorted(self.globals))

    def _graft(self, root, pick):
        places = [(h, i) for h, i in slots(root)]
        if not places:
            return
        holder, i = self.rng.choice(places)
        donor = [n for n in walk(decode(self.rng.choice(self.seeds))) if isinstance(n, (Call, Seq))]
        like = [n for n in donor if pick(n, holder[i])]
        if like or donor:
            holder[i] = self.rng.choice(like or donor)

    def cross_over(self, root):
        """A sub-tree of another pickle in place of one of this one, of the same kind when there is one."""
        def same_kind(n, old):
            return type(n) is type(old) and _name(n) == _name(old)
        self._graft(root, same_kind if self.rng.random() < 0.7 else (lambda n, old: True))

    def lazy_range(self, root):
        """An Index (axis, categories, levels) replaced by a RangeIndex, or a range's bounds made huge."""
        ranges = [n for n in walk(root) if isinstance(n, Dict) and {"start", "stop", "step"} <= {p[0] for p in n.items if isinstance(p[0], str)}]
        ranges += [n.args for n in walk(root) if _name(n) == "range" and isinstance(n.args, Tuple)]
        if ranges and self.rng.random() < 0.5:
            node = self.rng.choice(ranges)
            pairs = node.items if isinstance(node, Dict) else [[None, v] for v in node.items]
            pair = self.rng.choice(pairs)
            pair[1] = self.rng.choice(LAZY_LENGTHS)
            if isinstance(node, Tuple):
                node.items = [p[1] for p in pairs]
            return
        indexes = [(h, i) for h, i in slots(root) if isinstance(h[i], Call) and _name(h[i]) == "_new_Index"]
        if not indexes:
            return
        for _ in range(20):  # a RangeIndex from any seed, its stop made long
            donor = [n for n in walk(decode(self.rng.choice(self.seeds)))
                     if _name(n) == "_new_Index" and any(isinstance(a, Global) and a.name == "RangeIndex"
                                                         for a in getattr(n.args, "items", []))]
            if donor:
                holder, i = self.rng.choice(indexes)
                holder[i] = node = self.rng.choice(donor)
                for pair in walk(node):
                    if isinstance(pair, Dict):
                        for p in pair.items:
                            if p[0] == "stop":
                                p[1] = self.rng.choice(LAZY_LENGTHS[:4])
                return

    def shared_lists(self, root):
        """A list or dict placed in a list again and again (itself included): many places, few bytes."""
        lists = [n for n in walk(root) if isinstance(n, List)]
        boxes = lists + [n for n in walk(root) if isinstance(n, Dict)]
        if lists:
            target = self.rng.choice(lists)
            target.items.extend([self.rng.choice(boxes)] * self.rng.choice([1, 2, 3, 50]))

"""`tarnwick check`: likely mistakes found in a script without running it.

Works on the syntax tree with positions (`tarnwick._native.syntax_tree`) and follows the language's
scoping: `let`, `const`, parameters and `for` variables are variables of the function (or main program)
that declares them, from the declaration on; every other name is a global. Functions and lambdas see their
own variables and globals only, so a top-level `let` is invisible to them.
"""
from __future__ import annotations

import difflib
from typing import Dict, Iterator, List, NamedTuple, Optional, Set

BUILTINS = frozenset((
    "print", "clock", "str", "int", "float", "len", "range", "typeof", "input", "sqrt", "abs", "min", "max",
    "pow", "round", "rand", "cos", "sin",
))
# Globals a host provides: the command line's script arguments.
HOST_GLOBALS = frozenset(("args",))

_USES = ("Index", "Member", "Call")
_ARITHMETIC = {"Add", "Sub", "Mul", "Div", "Mod", "Power", "Lt", "Lte", "Gt", "Gte"}


class Finding(NamedTuple):
    line: int
    column: Optional[int]
    message: str


def _children(node) -> Iterator[dict]:
    for key, value in node.items():
        if key in ("type", "line", "column"):
            continue
        if isinstance(value, dict):
            if "type" in value or key in ("default",):
                yield value
            elif key == "properties":
                yield from (v for v in value.values() if isinstance(v, dict))
        elif isinstance(value, list):
            for item in value:
                if isinstance(item, dict):
                    yield item


class _Unit:
    """The variables of one function, lambda or the main program, as scopes of names."""

    def __init__(self, kind: str, names=()):
        self.kind = kind
        self.scopes: List[Set[str]] = [set(names)]

    def declared(self, name: str) -> bool:
        return any(name in s for s in self.scopes)


class Checker:
    def __init__(self, tree: dict):
        self.tree = tree
        self.findings: List[Finding] = []
        self.globals: Set[str] = set()         # assigned as globals somewhere, or defined as functions/classes
        self.top_lets: Set[str] = set()
        self.functions: Dict[str, dict] = {}  # name -> FunctionDef, for names defined exactly once
        self.defined_twice: Set[str] = set()
        self.reads: List[tuple] = []          # (name, node, unit kind)
        self.classes: Dict[str, tuple] = {}   # name -> (parent name or None, method names)
        self.floats: Dict[str, dict] = {}     # variable of the unit being checked -> the '/' it holds

    # --- first pass: what is global ----------------------------------------------------------------------
    def collect(self) -> None:
        self._collect_block(self.tree["statements"], _Unit("main"), top=True)

    def _collect_block(self, stmts, unit: _Unit, top=False) -> None:
        for s in stmts:
            self._collect_stmt(s, unit, top)

    def _collect_stmt(self, s, unit: _Unit, top: bool) -> None:
        t = s["type"]
        if t == "VarDecl":
            if s.get("init"):
                self._collect_expr(s["init"], unit)
            unit.scopes[-1].add(s["name"])
            if top and unit.kind == "main":
                self.top_lets.add(s["name"])
        elif t == "FunctionDef":
            name = s["name"]
            if name in self.functions or name in self.defined_twice:
                self.functions.pop(name, None)
                self.defined_twice.add(name)
            else:
                self.functions[name] = s
            self.globals.add(name)
            inner = _Unit("function", [p["name"] for p in s["params"]])
            self._collect_block(s["body"], inner)
        elif t == "ClassDef":
            self.globals.add(s["name"])
            self.classes[s["name"]] = (s.get("extends"),
                                       {m["name"] for m in s["body"] if m["type"] == "FunctionDef"})
            for m in s["body"]:
                if m["type"] == "FunctionDef":
                    self._collect_block(m["body"], _Unit("function", [p["name"] for p in m["params"]]))
        elif t == "For":
            self._collect_expr(s["iter"], unit)
            unit.scopes[-1].add(s["target"])
            self._collect_block(s["body"], unit)
        elif t == "If":
            self._collect_expr(s["condition"], unit)
            self._collect_block(s["then_body"], unit, top)
            if s.get("else_body"):
                self._collect_block(s["else_body"], unit)
        else:
            for child in _children(s):
                self._collect_any(child, unit)

    def _collect_any(self, node, unit: _Unit) -> None:
        kind = node.get("type")
        if kind in _STMT_TYPES:
            self._collect_stmt(node, unit, False)
        elif kind is not None:
            self._collect_expr(node, unit)
        else:  # a switch case or a catch clause
            for child in _children(node):
                self._collect_any(child, unit)

    def _collect_expr(self, e, unit: _Unit) -> None:
        if e.get("type") == "BinaryOp" and e["op"] == "Assign" and e["left"]["type"] == "Identifier":
            name = e["left"]["name"]
            if not unit.declared(name):
                self.globals.add(name)
        if e.get("type") == "Lambda":
            return
        for child in _children(e):
            if "type" in child and child["type"] not in _STMT_TYPES:
                self._collect_expr(child, unit)

    # --- second pass: reads, calls, guards, dead code -------------------------------------------------------
    def check(self) -> List[Finding]:
        self.collect()
        self._block(self.tree["statements"], _Unit("main"))
        self.findings.sort(key=lambda f: (f.line, f.column or 0))
        return self.findings

    def add(self, node, message: str) -> None:
        self.findings.append(Finding(node.get("line", 0), node.get("column"), message))

    def _block(self, stmts, unit: _Unit, new_scope=False) -> None:
        if new_scope:
            unit.scopes.append(set())
        ended = None
        for s in stmts:
            if ended is not None:
                self.add(s, f"unreachable: this statement comes after '{ended}' and never runs")
                break
            self._stmt(s, unit)
            if s["type"] in ("Return", "Break", "Continue"):
                ended = s["type"].lower()
        if new_scope:
            unit.scopes.pop()

    def _stmt(self, s, unit: _Unit) -> None:
        t = s["type"]
        if t == "ExprStatement":
            self._expr(s["expression"], unit)
        elif t == "VarDecl":
            if s.get("init"):
                self._expr(s["init"], unit)
                self._holds(s["name"], s["init"])
            else:
                self.floats.pop(s["name"], None)
            unit.scopes[-1].add(s["name"])
        elif t == "FunctionDef":
            self._function_body(s)
        elif t == "ClassDef":
            for m in s["body"]:
                if m["type"] == "FunctionDef":
                    self._function_body(m)
        elif t == "If":
            self._expr(s["condition"], unit)
            self._block(s["then_body"], unit)  # not a scope of its own
            if s.get("else_body"):
                self._block(s["else_body"], unit, new_scope=True)
        elif t == "While":
            self._expr(s["condition"], unit)
            self._block(s["body"], unit, new_scope=True)
        elif t == "For":
            self._expr(s["iter"], unit)
            unit.scopes[-1].add(s["target"])
            self.floats.pop(s["target"], None)
            self._block(s["body"], unit, new_scope=True)
        elif t == "Return":
            if s.get("value"):
                self._expr(s["value"], unit)
        elif t == "Throw":
            self._expr(s["expr"], unit)
        elif t == "Switch":
            self._expr(s["expr"], unit)
            for case in s["cases"]:
                if case.get("expr"):
                    self._expr(case["expr"], unit)
                self._block(case["body"], unit, new_scope=True)
        elif t == "Try":
            self._block(s["body"], unit, new_scope=True)
            for clause in s["catch_clauses"]:
                unit.scopes.append({clause["exception"]})
                self._block(clause["body"], unit)
                unit.scopes.pop()
            if s.get("finally_body"):
                self._block(s["finally_body"], unit, new_scope=True)

    def _function_body(self, f) -> None:
        saved, self.floats = self.floats, {}
        self._block(f["body"], _Unit("function", [p["name"] for p in f["params"]]))
        self.floats = saved

    def _expr(self, e, unit: _Unit) -> None:
        t = e["type"]
        if t == "Identifier":
            self._read(e, unit)
            return
        if t == "Lambda":
            inner = _Unit("lambda", [p["name"] for p in e["params"]])
            saved, self.floats = self.floats, {}
            self._expr(e["body"], inner)
            self.floats = saved
            return
        if t == "BinaryOp":
            if e["op"] == "Assign" and e["left"]["type"] == "Identifier":
                self._expr(e["right"], unit)
                self._assigned(e, unit)
                return
            if e["op"] in ("And", "Or"):
                self._nil_guard(e)
        if t == "Ternary":
            self._assignment_in_condition(e)
        if t == "Member":
            self._class_member(e, unit)
        if t == "Call":
            self._call(e, unit)
        for child in _children(e):
            if "type" in child:
                self._expr(child, unit)

    def _read(self, e, unit: _Unit) -> None:
        name = e["name"]
        if unit.declared(name) or name in self.globals or name in BUILTINS or name in HOST_GLOBALS:
            return
        if unit.kind != "main" and name in self.top_lets:
            what = "function" if unit.kind == "function" else "lambda"
            self.add(e, f"'{name}' is declared by a top-level let, which a {what} cannot see: it reads nil "
                        f"here (assign it without let to make it a global, or pass it as an argument)")
            return
        candidates = set(self.globals) | BUILTINS | HOST_GLOBALS | set().union(*unit.scopes)
        close = difflib.get_close_matches(name, sorted(candidates), n=1, cutoff=0.7)
        hint = f" (did you mean '{close[0]}'?)" if close else ""
        self.add(e, f"'{name}' is never assigned: it reads nil{hint}")

    def _assigned(self, e, unit: _Unit) -> None:
        """An assignment `name = value`: a function assigning a top-level let makes a global of its own,
        and a variable given a '/' result holds a float from then on."""
        name = e["left"]["name"]
        if unit.kind != "main" and not unit.declared(name) and name in self.top_lets:
            self.add(e["left"], f"'{name}' is declared by a top-level let, which a {_unit_word(unit)} cannot "
                                f"see: this assigns a separate global '{name}', and the top level keeps its own "
                                f"(drop the let to share one variable, or return the new value)")
        self._holds(name, e["right"])

    def _holds(self, name: str, value) -> None:
        division = _division_in(value, self.floats)
        if division is not None:
            self.floats[name] = division
        else:
            self.floats.pop(name, None)

    def _assignment_in_condition(self, e) -> None:
        cond = e["condition"]
        if cond["type"] != "BinaryOp" or cond["op"] != "Assign":
            return
        target = _spelled(cond["left"])
        if cond["left"]["type"] == "Identifier":
            what = f"'{target}' gets the condition and the value of '? :' is dropped"
        else:
            what = (f"'{target}' gets the condition, and the assignment's value (the container) is what "
                    f"'?' tests, so the first branch always runs")
        self.add(cond, f"'=' binds before '? :': {what}; write {target} = (condition ? a : b)")

    def _class_member(self, e, unit: _Unit) -> None:
        obj = e["object"]
        if obj["type"] != "Identifier" or unit.declared(obj["name"]) or obj["name"] not in self.classes:
            return
        owner = self._method_owner(obj["name"], e["property"])
        if owner is None:
            return
        self.add(e, f"'{obj['name']}.{e['property']}' reads nil: a class's members are not its methods, so "
                    f"this cannot call {owner}'s method; call it on an object of that class (a copy of self "
                    f"with __class__ set to \"{owner}\"), or move the shared code into a plain function")

    def _method_owner(self, cls: str, method: str) -> Optional[str]:
        seen = set()
        while cls in self.classes and cls not in seen:
            seen.add(cls)
            parent, methods = self.classes[cls]
            if method in methods:
                return cls
            cls = parent
        return None

    def _call(self, e, unit: _Unit) -> None:
        callee = e["callee"]
        if callee["type"] != "Identifier" or unit.declared(callee["name"]):
            return
        name = callee["name"]
        if name == "range" and name not in self.globals:
            args = e["args"]
            if len(args) == 1 and not _negative_literal(args[0]):
                self.add(e, "range() with one argument counts from it up to 0, so range(n) is empty for a "
                            "positive n: write range(0, n)")
            for arg in args:
                if _is_division(arg):
                    self.add(arg, "'/' always gives a float, and range() with a float bound is empty or "
                                  "stops early; compute a whole-number bound instead")
                elif arg["type"] == "Identifier" and arg["name"] in self.floats:
                    at = self.floats[arg["name"]]
                    self.add(arg, f"'{arg['name']}' holds a '/' result (line {at.get('line', '?')}), which is "
                                  f"always a float, and range() with a float bound is empty or stops early; "
                                  f"compute a whole-number bound instead")
            return
        f = self.functions.get(name)
        if f is None:
            return
        params = f["params"]
        required = sum(1 for p in params if "default" not in p)
        n = len(e["args"])
        if n < required and all(_tests_for_nil(f, p["name"]) for p in params[n:]):
            required = n  # the function checks the missing parameters for nil: they are optional
        if n > len(params) or n < required:
            want = f"{len(params)}" if required == len(params) else f"{required} to {len(params)}"
            self.add(e, f"'{name}' takes {want} argument{'s' if len(params) != 1 else ''} but is given {n} "
                        f"(missing ones read nil, extra ones are dropped)")

    def _nil_guard(self, e) -> None:
        tested = _nil_tested(e["left"], e["op"])
        if tested is None:
            return
        use = _first_use(e["right"], tested)
        if use is not None:
            op = "and" if e["op"] == "And" else "or"
            self.add(use, f"'{op}' evaluates both sides: '{tested}' is used here even when the left side "
                          f"found it nil; nest an if instead")


_STMT_TYPES = {"ExprStatement", "VarDecl", "FunctionDef", "ClassDef", "If", "While", "For", "Switch",
               "Return", "Break", "Continue", "Throw", "Try"}


def _walk(node) -> Iterator[dict]:
    stack = [node]
    while stack:
        n = stack.pop()
        yield n
        stack.extend(_children(n))


def _tests_for_nil(function: dict, name: str) -> bool:
    """Whether the body compares `name` with nil somewhere (the parameter is meant to be optional)."""
    for n in _walk({"type": "Body", "body": function["body"]}):
        if n.get("type") == "BinaryOp" and n["op"] in ("Eq", "Neq"):
            a, b = n["left"], n["right"]
            if (_is_nil(a) and b["type"] == "Identifier" and b["name"] == name) or \
                    (_is_nil(b) and a["type"] == "Identifier" and a["name"] == name):
                return True
    return False


def _is_division(e) -> bool:
    if e["type"] != "BinaryOp":
        return False
    if e["op"] == "Div":
        return True
    if e["op"] in ("Add", "Sub", "Mul"):
        return _is_division(e["left"]) or _is_division(e["right"])
    return False


def _division_in(e, floats: Dict[str, dict]) -> Optional[dict]:
    """The '/' whose float result `e` gives (directly, through + - *, or through a variable that holds
    one), or None."""
    if e["type"] == "Identifier":
        return floats.get(e["name"])
    if e["type"] != "BinaryOp":
        return None
    if e["op"] == "Div":
        return e
    if e["op"] in ("Add", "Sub", "Mul"):
        return _division_in(e["left"], floats) or _division_in(e["right"], floats)
    return None


def _negative_literal(e) -> bool:
    return e["type"] == "UnaryOp" and e["op"] == "Neg" and e["operand"]["type"] == "Literal"


def _spelled(e) -> str:
    """An assignment target as it is written: x, o.k, a[i]."""
    t = e["type"]
    if t == "Identifier":
        return e["name"]
    if t == "Member":
        return f"{_spelled(e['object'])}.{e['property']}"
    if t == "Index":
        return f"{_spelled(e['object'])}[...]"
    return "..."


def _unit_word(unit: _Unit) -> str:
    return "function" if unit.kind == "function" else "lambda"


def _is_nil(e) -> bool:
    return e["type"] == "Literal" and e["value"] is None


def _nil_tested(left, op: str) -> Optional[str]:
    """The variable that `left` checks against nil, in the sense that makes the right side run with it
    nil anyway: `x != nil and ...`, `x and ...`, `x == nil or ...`, `not x or ...`."""
    if left["type"] == "BinaryOp" and left["op"] in ("Neq", "Eq"):
        wanted = "Neq" if op == "And" else "Eq"
        if left["op"] != wanted:
            return None
        a, b = left["left"], left["right"]
        if _is_nil(b) and a["type"] == "Identifier":
            return a["name"]
        if _is_nil(a) and b["type"] == "Identifier":
            return b["name"]
        return None
    if op == "And" and left["type"] == "Identifier":
        return left["name"]
    if op == "Or" and left["type"] == "UnaryOp" and left["op"] == "Not" and left["operand"]["type"] == "Identifier":
        return left["operand"]["name"]
    return None


def _first_use(e, name: str):
    """The first place in `e` that fails on a nil `name`: indexing it, reading a member, calling it, or
    arithmetic and ordering with it."""
    def is_name(x):
        return x["type"] == "Identifier" and x["name"] == name
    t = e["type"]
    if t in ("Index", "Member") and is_name(e["object"]):
        return e
    if t == "Call" and is_name(e["callee"]):
        return e
    if t == "BinaryOp" and e["op"] in _ARITHMETIC and (is_name(e["left"]) or is_name(e["right"])):
        return e
    if t == "Lambda":
        return None
    for child in _children(e):
        if "type" in child:
            found = _first_use(child, name)
            if found is not None:
                return found
    return None


def check(source: str) -> List[Finding]:
    """The findings for `source`, in source order; raises SyntaxError when it does not parse."""
    from tarnwick.runtime import _native
    return Checker(_native.syntax_tree(source)).check()

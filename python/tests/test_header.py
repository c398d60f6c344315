"""The ctypes prototypes and records cannot drift from include/kepra/kepra.h.

The header is preprocessed by the C compiler (with stand-ins for the two standard headers) and
parsed with pycparser; record layouts come from the compiler itself, through a probe program
that prints sizeof and offsetof of every field.
"""

from __future__ import annotations

import ctypes
import re
import shutil
import subprocess
from pathlib import Path
from typing import Dict, List, Tuple

import pytest
from pycparser import c_ast, c_parser

from kepra import _lib, errors

from conftest import HEADER

CC = shutil.which("gcc") or shutil.which("cc")
pytestmark = pytest.mark.skipif(CC is None, reason="needs a C compiler to preprocess the header")

FAKE_STDDEF = "typedef unsigned long size_t;\n#define offsetof(t, m) __builtin_offsetof(t, m)\n"
FAKE_STDINT = "".join(
    f"typedef {c} {name};\n"
    for name, c in [
        ("int8_t", "signed char"),
        ("uint8_t", "unsigned char"),
        ("int16_t", "short"),
        ("uint16_t", "unsigned short"),
        ("int32_t", "int"),
        ("uint32_t", "unsigned int"),
        ("int64_t", "long long"),
        ("uint64_t", "unsigned long long"),
        ("intptr_t", "long"),
        ("uintptr_t", "unsigned long"),
    ]
)
FIXED_WIDTH = {"int8_t", "uint8_t", "int16_t", "uint16_t", "int32_t", "uint32_t", "int64_t", "uint64_t"}

CTYPES_NAMES = {
    ctypes.c_uint8: "uint8_t",
    ctypes.c_uint16: "uint16_t",
    ctypes.c_uint32: "uint32_t",
    ctypes.c_uint64: "uint64_t",
    ctypes.c_int32: "int32_t",
    ctypes.c_double: "double",
    ctypes.c_char: "char",
}


@pytest.fixture(scope="module")
def parsed(tmp_path_factory) -> c_ast.FileAST:
    include = tmp_path_factory.mktemp("fakeinc")
    (include / "stddef.h").write_text(FAKE_STDDEF)
    (include / "stdint.h").write_text(FAKE_STDINT)
    text = subprocess.run(
        [CC, "-E", "-P", "-nostdinc", f"-I{include}", "-D__attribute__(x)=",
         "-DKEPRA_STATIC_ASSERT(c,m)=", str(HEADER)],
        check=True, capture_output=True, text=True,
    ).stdout
    # The stand-in typedefs are the parser's, not the header's.
    return c_parser.CParser().parse(text, filename=str(HEADER))


def header_typedefs(ast: c_ast.FileAST) -> Dict[str, c_ast.Node]:
    return {n.name: n.type for n in ast.ext if isinstance(n, c_ast.Typedef)}


def canonical(node: c_ast.Node, typedefs: Dict[str, c_ast.Node]) -> str:
    """A type as text: fixed-width names kept, other typedefs resolved, qualifiers dropped."""
    if isinstance(node, c_ast.TypeDecl):
        return canonical(node.type, typedefs)
    if isinstance(node, c_ast.PtrDecl):
        return f"ptr({canonical(node.type, typedefs)})"
    if isinstance(node, c_ast.ArrayDecl):
        return f"{canonical(node.type, typedefs)}[{node.dim.value}]"
    if isinstance(node, c_ast.IdentifierType):
        name = " ".join(node.names)
        if name in FIXED_WIDTH or name not in typedefs:
            return name
        target = typedefs[name]
        if isinstance(target, c_ast.TypeDecl) and isinstance(target.type, c_ast.Struct):
            return name  # a record: known by its typedef name
        return canonical(target, typedefs)
    if isinstance(node, c_ast.Struct):
        return node.name
    if isinstance(node, c_ast.FuncDecl):
        params = node.args.params if node.args else []
        args = [canonical(p.type, typedefs) for p in params]
        return f"func({canonical(node.type, typedefs)};{','.join(a for a in args if a != 'void')})"
    raise AssertionError(f"unexpected type node {node}")


def ctypes_canonical(kind) -> str:
    if kind is None:
        return "void"
    if kind is ctypes.c_void_p:
        return "ptr(void)"
    if kind is ctypes.c_char_p:
        return "ptr(char)"
    if kind in CTYPES_NAMES:
        return CTYPES_NAMES[kind]
    if isinstance(kind, type) and issubclass(kind, ctypes.Array):
        return f"{ctypes_canonical(kind._type_)}[{kind._length_}]"
    if isinstance(kind, type) and issubclass(kind, ctypes._Pointer):
        return f"ptr({ctypes_canonical(kind._type_)})"
    if isinstance(kind, type) and issubclass(kind, ctypes.Structure):
        return kind.__name__
    if isinstance(kind, type) and issubclass(kind, ctypes._CFuncPtr):  # a function pointer
        args = ",".join(ctypes_canonical(a) for a in kind._argtypes_)
        return f"ptr(func({ctypes_canonical(kind._restype_)};{args}))"
    raise AssertionError(f"unexpected ctypes type {kind}")


def functions(ast: c_ast.FileAST) -> Dict[str, Tuple[str, List[str]]]:
    typedefs = header_typedefs(ast)
    found = {}
    for node in ast.ext:
        if isinstance(node, c_ast.Decl) and isinstance(node.type, c_ast.FuncDecl):
            func = node.type
            params = func.args.params if func.args else []
            args = [canonical(p.type, typedefs) for p in params]
            if args == ["void"]:
                args = []
            found[node.name] = (canonical(func.type, typedefs), args)
    return found


def records(ast: c_ast.FileAST) -> Dict[str, List[Tuple[str, str]]]:
    typedefs = header_typedefs(ast)
    found = {}
    for name, node in typedefs.items():
        if isinstance(node, c_ast.TypeDecl) and isinstance(node.type, c_ast.Struct):
            if node.type.decls is not None:
                found[name] = [(d.name, canonical(d.type, typedefs)) for d in node.type.decls]
    return found


def test_every_export_has_a_prototype_of_the_same_types(parsed):
    exports = functions(parsed)
    assert len(exports) > 80  # the parse saw the whole header
    assert sorted(exports) == sorted(_lib.PROTOTYPES)
    for name, (result, args) in exports.items():
        restype, argtypes = _lib.PROTOTYPES[name]
        assert ctypes_canonical(restype) == result, name
        assert [ctypes_canonical(a) for a in argtypes] == args, name


def test_every_record_has_a_structure_with_the_same_fields(parsed):
    declared = records(parsed)
    assert sorted(declared) == sorted(_lib.RECORDS)
    for name, fields in declared.items():
        structure = _lib.RECORDS[name]
        mirrored = [(f[0], ctypes_canonical(f[1])) for f in structure._fields_]
        assert mirrored == fields, name


def test_record_sizes_and_offsets_are_the_compilers(parsed, tmp_path):
    declared = records(parsed)
    lines = ['#include <stdio.h>', f'#include "{HEADER}"', "int main(void) {"]
    for name, fields in declared.items():
        lines.append(f'  printf("{name} %zu\\n", sizeof({name}));')
        for field, _ in fields:
            lines.append(f'  printf("{name}.{field} %zu\\n", offsetof({name}, {field}));')
    lines += ["  return 0;", "}"]
    source = tmp_path / "probe.c"
    source.write_text("\n".join(lines) + "\n")
    subprocess.run([CC, "-std=c11", "-o", str(tmp_path / "probe"), str(source)], check=True)
    output = subprocess.run([str(tmp_path / "probe")], check=True, capture_output=True, text=True).stdout
    layout = dict(line.rsplit(" ", 1) for line in output.splitlines())
    assert len(layout) == sum(len(f) + 1 for f in declared.values())
    for name, fields in declared.items():
        structure = _lib.RECORDS[name]
        assert ctypes.sizeof(structure) == int(layout[name]), name
        for field, _ in fields:
            assert getattr(structure, field).offset == int(layout[f"{name}.{field}"]), f"{name}.{field}"


def defines() -> Dict[str, int]:
    found = {}
    for match in re.finditer(r"^#define (KEPRA_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b", HEADER.read_text(), re.M):
        found[match.group(1)] = int(match.group(2), 0)
    return found


def test_constants_match_the_header():
    values = defines()
    mirrored = {name: getattr(_lib, name[len("KEPRA_"):]) for name in values if hasattr(_lib, name[len("KEPRA_"):])}
    assert len(mirrored) >= 12
    for name, value in mirrored.items():
        assert value == values[name], name
    assert _lib.FRAME_INFO_SIZE == 4096


def test_every_documented_error_code_has_its_name():
    codes = {n: v for n, v in defines().items() if n.startswith(("KEPRA_ERROR_", "KEPRA_STATUS_"))}
    assert len(codes) >= 9
    for name, value in codes.items():
        assert errors.error_text(value).startswith(name[len("KEPRA_"):] + ":"), name

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
from typing import Dict, List, Tuple

import pytest
from pycparser import c_ast, parse_file

from kepra import _lib, errors

from conftest import HEADER

CC = shutil.which("gcc") or shutil.which("cc")
pytestmark = pytest.mark.skipif(CC is None, reason="needs a C compiler to preprocess the header")

STDINT = {"int8_t": "signed char", "uint8_t": "unsigned char", "int16_t": "short",
          "uint16_t": "unsigned short", "int32_t": "int", "uint32_t": "unsigned int", "int64_t": "long long",
          "uint64_t": "unsigned long long", "intptr_t": "long", "uintptr_t": "unsigned long"}
FIXED_WIDTH = {name for name in STDINT if "ptr" not in name}
CTYPES_NAMES = {getattr(ctypes, f"c_{name[:-2]}"): name for name in FIXED_WIDTH}
CTYPES_NAMES.update({ctypes.c_double: "double", ctypes.c_char: "char", ctypes.c_void_p: "ptr(void)",
                     ctypes.c_char_p: "ptr(char)", None: "void"})


@pytest.fixture(scope="module")
def declared(tmp_path_factory) -> Tuple[Dict[str, Tuple[str, List[str]]], Dict[str, List[Tuple[str, str]]]]:
    """The header's functions (result, arguments) and records (fields), types as text."""
    include = tmp_path_factory.mktemp("fakeinc")
    (include / "stddef.h").write_text(
        "typedef unsigned long size_t;\n#define offsetof(t, m) __builtin_offsetof(t, m)\n")
    (include / "stdint.h").write_text("".join(f"typedef {c} {name};\n" for name, c in STDINT.items()))
    ast = parse_file(str(HEADER), use_cpp=True, cpp_path=CC, cpp_args=[
        "-E", "-P", "-nostdinc", f"-I{include}", "-D__attribute__(x)=", "-DKEPRA_STATIC_ASSERT(c,m)="])
    typedefs = {n.name: n.type for n in ast.ext if isinstance(n, c_ast.Typedef)}

    def canonical(node: c_ast.Node) -> str:
        """Fixed-width names kept, other typedefs resolved, records by name, qualifiers dropped."""
        if isinstance(node, c_ast.TypeDecl):
            return canonical(node.type)
        if isinstance(node, c_ast.PtrDecl):
            return f"ptr({canonical(node.type)})"
        if isinstance(node, c_ast.ArrayDecl):
            return f"{canonical(node.type)}[{node.dim.value}]"
        if isinstance(node, c_ast.Struct):
            return node.name
        if isinstance(node, c_ast.FuncDecl):
            args = [canonical(p.type) for p in node.args.params] if node.args else []
            return f"func({canonical(node.type)};{','.join(a for a in args if a != 'void')})"
        name = " ".join(node.names)
        target = typedefs.get(name)
        if name in FIXED_WIDTH or target is None:
            return name
        return name if isinstance(getattr(target, "type", None), c_ast.Struct) else canonical(target)

    functions = {}
    for n in ast.ext:
        if isinstance(n, c_ast.Decl) and isinstance(n.type, c_ast.FuncDecl):
            args = [canonical(p.type) for p in n.type.args.params]
            functions[n.name] = (canonical(n.type.type), [a for a in args if a != "void"])
    records = {
        name: [(d.name, canonical(d.type)) for d in node.type.decls]
        for name, node in typedefs.items()
        if isinstance(node, c_ast.TypeDecl) and isinstance(node.type, c_ast.Struct) and node.type.decls
    }
    return functions, records


def ctypes_canonical(kind) -> str:
    if kind in CTYPES_NAMES:
        return CTYPES_NAMES[kind]
    if issubclass(kind, ctypes.Array):
        return f"{ctypes_canonical(kind._type_)}[{kind._length_}]"
    if issubclass(kind, ctypes._Pointer):
        return f"ptr({ctypes_canonical(kind._type_)})"
    if issubclass(kind, ctypes.Structure):
        return kind.__name__
    args = ",".join(ctypes_canonical(a) for a in kind._argtypes_)  # a function pointer
    return f"ptr(func({ctypes_canonical(kind._restype_)};{args}))"


def test_every_export_has_a_prototype_of_the_same_types(declared):
    exports = declared[0]
    assert len(exports) > 80  # the parse saw the whole header
    assert sorted(exports) == sorted(_lib.PROTOTYPES)
    for name, (result, args) in exports.items():
        restype, argtypes = _lib.PROTOTYPES[name]
        assert (ctypes_canonical(restype), [ctypes_canonical(a) for a in argtypes]) == (result, args), name


def test_every_record_has_a_structure_of_the_compilers_layout(declared, tmp_path):
    records = declared[1]
    assert sorted(records) == sorted(_lib.RECORDS)
    lines = ["#include <stdio.h>", f'#include "{HEADER}"', "int main(void) {"]
    for name, fields in records.items():
        mirrored = [(f[0], ctypes_canonical(f[1])) for f in _lib.RECORDS[name]._fields_]
        assert mirrored == fields, name
        lines.append(f'  printf("{name} %zu\\n", sizeof({name}));')
        lines += [f'  printf("{name}.{f} %zu\\n", offsetof({name}, {f}));' for f, _ in fields]
    (tmp_path / "probe.c").write_text("\n".join(lines + ["  return 0;", "}"]) + "\n")
    subprocess.run([CC, "-std=c11", "-o", str(tmp_path / "probe"), str(tmp_path / "probe.c")], check=True)
    output = subprocess.run([str(tmp_path / "probe")], check=True, capture_output=True, text=True).stdout
    layout = dict(line.rsplit(" ", 1) for line in output.splitlines())
    assert len(layout) == sum(len(f) + 1 for f in records.values())
    for name, fields in records.items():
        structure = _lib.RECORDS[name]
        assert ctypes.sizeof(structure) == int(layout[name]), name
        for field, _ in fields:
            assert getattr(structure, field).offset == int(layout[f"{name}.{field}"]), f"{name}.{field}"


def test_constants_and_error_names_match_the_header():
    values = {m[1]: int(m[2], 0) for m in re.finditer(r"^#define (KEPRA_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b",
                                                      HEADER.read_text(), re.M)}
    mirrored = {name: getattr(_lib, name[6:]) for name in values if hasattr(_lib, name[6:])}
    assert len(mirrored) >= 12 and all(value == values[name] for name, value in mirrored.items())
    assert _lib.FRAME_INFO_SIZE == 4096
    codes = {n: v for n, v in values.items() if n.startswith(("KEPRA_ERROR_", "KEPRA_STATUS_"))}
    assert len(codes) >= 9
    for name, value in codes.items():
        assert errors.error_text(value).startswith(name[6:] + ":"), name

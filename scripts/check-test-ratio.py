#!/usr/bin/env python3
"""Non-blank, non-comment lines of the tests (tests/, fuzz/) against those of the code.

    scripts/check-test-ratio.py [ROOT] [-v] [--max RATIO]

-v lists the test files by size; --max fails (exit 1) when the ratio is above RATIO."""
import os, re, sys
args = [a for a in sys.argv[1:] if not a.startswith('-')]
limit = float(sys.argv[sys.argv.index('--max') + 1]) if '--max' in sys.argv else None
if limit is not None: args.remove(sys.argv[sys.argv.index('--max') + 1])
root = args[0] if args else '.'
EXT = {'.c', '.cpp', '.h', '.hpp', '.cc', '.py', '.sh', '.mjs', '.js', '.cmake', '.css', '.html'}
SKIP = {'node_modules', 'build', '_build', '.git', 'corpus', '__pycache__'}
def count(path):
    ext = os.path.splitext(path)[1]
    n = 0; block = False
    cstyle = ext in {'.c', '.cpp', '.h', '.hpp', '.cc', '.mjs', '.js', '.css'}
    for line in open(path, errors='replace'):
        s = line.strip()
        if cstyle:
            if block:
                if '*/' in s: block = False; s = s.split('*/', 1)[1].strip()
                else: continue
            if s.startswith('/*'):
                if '*/' not in s: block = True; continue
                s = s.split('*/', 1)[1].strip()
            if not s or s.startswith('//'): continue
        elif ext == '.html':
            if not s or s.startswith('<!--'): continue
        else:
            if not s or (s.startswith('#') and not s.startswith('#!')): continue
        n += 1
    return n
def tree(top):
    total = 0; per = {}
    for d, dirs, files in os.walk(os.path.join(root, top)):
        dirs[:] = [x for x in dirs if x not in SKIP and not x.startswith('build')]
        for f in files:
            if os.path.splitext(f)[1] in EXT or f == 'CMakeLists.txt':
                c = count(os.path.join(d, f)); total += c
                per[os.path.relpath(os.path.join(d, f), root)] = c
    return total, per
tests = sum(tree(t)[0] for t in ['tests', 'fuzz'])
code_dirs = ['src', 'include', 'virtcam', 'tools', 'examples', 'bench', 'python']
code = sum(tree(t)[0] for t in code_dirs)
pyt = tree('python/tests')[0]
print(f'tests+fuzz {tests}  code {code}  ratio {tests/code:.3f}')
print(f'(python/tests {pyt} counted as code; as tests: {(tests+pyt)/(code-pyt):.3f})')
if '-v' in sys.argv:
    for t in ['tests', 'fuzz']:
        for k, v in sorted(tree(t)[1].items(), key=lambda kv: -kv[1]): print(v, k)
if limit is not None and tests / code > limit: sys.exit(1)

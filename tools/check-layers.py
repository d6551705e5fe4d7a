#!/usr/bin/env python3
"""Checks that no include climbs the layers of the house and that no widget-free
folder includes a Qt Widgets or Qt Gui header. Prints each offending line and
exits 1 if there is one. Run from anywhere: python3 tools/check-layers.py"""
import os, re, subprocess, sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Each folder and the folders its sources may include from (itself included).
# Tests of a folder (its tests/) may also use the test support of any folder and
# the simulators in tools/.
LAYERS = {
    'core': ['core'],
    'dbase': ['core', 'dbase'],
    'pg': ['core', 'pg'],
    'register': ['core', 'dbase', 'pg', 'register'],
    'keys': ['core', 'keys'],
    'link': ['core', 'link'],
    'image': ['core', 'keys', 'image'],
    'register/ui': ['core', 'dbase', 'register', 'register/ui'],
    'keys/ui': ['core', 'dbase', 'register', 'register/ui', 'keys', 'keys/ui', 'link'],
    'image/ui': ['core', 'dbase', 'register', 'keys', 'image', 'image/ui'],
    'transfer': ['core', 'dbase', 'register', 'keys', 'transfer'],
    'transfer/ui': ['core', 'dbase', 'register', 'keys', 'transfer', 'transfer/ui'],
    'backup': ['core', 'dbase', 'register', 'backup'],
    'shell': ['core', 'dbase', 'register', 'register/ui', 'keys', 'keys/ui', 'link', 'image',
              'image/ui', 'transfer', 'transfer/ui', 'backup', 'shell', 'pg'],
    'tools': ['core', 'dbase', 'register', 'link', 'transfer', 'backup', 'tools', 'pg'],
    'fuzz': ['core', 'dbase', 'register', 'keys', 'link', 'image', 'transfer', 'backup', 'tools', 'fuzz', 'pg'],
    'bench': ['core', 'dbase', 'register', 'register/ui', 'keys', 'link', 'image', 'transfer', 'backup', 'tools', 'bench', 'pg'],
}
WIDGET_FREE = {'core', 'dbase', 'pg', 'register', 'keys', 'link', 'image', 'transfer', 'backup', 'tools', 'fuzz'}

qt_root = '/usr/include/x86_64-linux-gnu/qt6'
gui_headers = set()
for module in ('QtWidgets', 'QtGui'):
    d = os.path.join(qt_root, module)
    if os.path.isdir(d):
        gui_headers.update(os.listdir(d))
    else:
        sys.exit(f'check-layers: {d} not found: install qt6-base-dev')


def folder_of(path):
    """The layer folder a path belongs to, and whether it is a test."""
    parts = path.split('/')
    is_test = 'tests' in parts
    parts = [p for p in parts[:-1] if p != 'tests']
    for n in (2, 1):
        key = '/'.join(parts[:n])
        if key in LAYERS:
            return key, is_test
    return None, is_test


files = subprocess.check_output(['git', 'ls-files', '*.cpp', '*.h'], cwd=root, text=True).split()
files += subprocess.check_output(['git', 'ls-files', '--others', '--exclude-standard', '*.cpp', '*.h'],
                                 cwd=root, text=True).split()
quoted = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
angled = re.compile(r'^\s*#\s*include\s+<([^>]+)>')
bad = 0
for f in sorted(set(files)):
    own, is_test = folder_of(f)
    if own is None:
        print(f'{f}: not in any folder of the house (add it to tools/check-layers.py)')
        bad += 1
        continue
    allowed = set(LAYERS[own])
    if is_test:
        allowed |= {'tools'}
    with open(os.path.join(root, f), encoding='utf-8') as fh:
        for n, line in enumerate(fh, 1):
            m = quoted.match(line)
            if m:
                target = m.group(1)
                if target.endswith('.moc') or target.startswith('moc_'):
                    continue
                if not os.path.exists(os.path.join(root, target)):
                    print(f'{f}:{n}: "{target}" is not a path from the project root')
                    bad += 1
                    continue
                their, their_test = folder_of(target)
                if their_test and is_test:
                    continue  # test support is shared between tests
                if their not in allowed or (their_test and not is_test):
                    print(f'{f}:{n}: {own} may not include {target}')
                    bad += 1
            m = angled.match(line)
            if m and own in WIDGET_FREE:
                name = m.group(1).split('/')[-1]
                module = m.group(1).split('/')[0] if '/' in m.group(1) else ''
                if module in ('QtWidgets', 'QtGui') or (not module and name in gui_headers
                                                         and name.startswith('Q')):
                    print(f'{f}:{n}: widget-free {own} includes <{m.group(1)}>')
                    bad += 1
sys.exit(1 if bad else 0)

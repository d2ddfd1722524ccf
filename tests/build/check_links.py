#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the platform seam in the table of targets CMake wrote: the program links no source of
the macOS folder, no target of that folder links a Linux-only library or adapter, and a file of a
Linux library includes from another one only what it links. Usage: check_links.py TSV SRC_DIR"""
import os
import re
import sys

LINUX_ONLY = ('X11::', 'PkgConfig::XCB', 'PkgConfig::WAYLAND', 'Qt6::DBus')


def names(links):
    return [re.sub(r'^\$<LINK_ONLY:(.*)>$', r'\1', l) for l in links.split(';') if l]


def own_files(sources):
    """A target's C++ files in the tree, with the header beside each of its sources."""
    files = {p for p in sources if p.endswith(('.cpp', '.hpp'))}
    files |= {p[:-4] + '.hpp' for p in files if p.endswith('.cpp')}
    return {p for p in files if os.path.isfile(p)}


def linux_includes(path):
    with open(path) as source:
        return re.findall(r'^\s*#\s*include\s+"(Platform/Linux/[^"]+)"', source.read(), re.M)


def main(table_path, src):
    src = os.path.abspath(src)
    targets = {}
    with open(table_path) as table:
        for row in table.read().splitlines():
            name, folder, sources, links, interface = row.split('\t')
            if folder == 'alias':
                targets[name] = {'alias': links}
                continue
            paths = {os.path.normpath(os.path.join(folder, s)) for s in sources.split(';') if s}
            # What a static library passes on only for linking is what it links all the same.
            targets[name] = {'folder': os.path.normpath(folder), 'sources': paths,
                             'links': names(links), 'interface': names(interface)}

    def real(name):
        return targets[name]['alias'] if 'alias' in targets.get(name, {}) else name

    def closure(name):
        seen, todo = set(), [name]
        while todo:
            current = real(todo.pop())
            if current in seen:
                continue
            seen.add(current)
            if current in targets:
                todo += targets[current]['links'] + targets[current]['interface']
        return seen

    def sources_in(names, folder):
        prefix = os.path.join(src, 'Platform', folder) + os.sep
        return sorted(p for n in names for p in targets.get(n, {}).get('sources', ())
                      if p.startswith(prefix))

    def linux_only(links):
        return [l for l in links if l.startswith(LINUX_ONLY) or sources_in([real(l)], 'Linux')]

    faults, crossing = [], False
    linux = os.path.join(src, 'Platform', 'Linux')
    for name, target in targets.items():
        if not target.get('folder', '').startswith(linux):
            continue
        folders = {targets[n]['folder'] for n in closure(name) if 'folder' in targets.get(n, {})}
        for path in sorted(own_files(target['sources'])):
            for include in linux_includes(path):
                folder = os.path.dirname(os.path.join(src, include))
                crossing |= folder != target['folder']
                if folder not in folders:
                    faults.append(f'{os.path.relpath(path, src)} ({name}) includes {include}, '
                                  'from a folder its library does not link')
    if not crossing:
        faults.append('no Linux library includes another one\'s header: is the layout still the '
                      'one checked?')
    program = closure('quenlark-companion')
    faults += [f'the program links the macOS file {p}' for p in sources_in(program, 'Mac')]
    # Positive control: the same walk does find the Linux adapters and their libraries.
    if not sources_in(program, 'Linux') or not linux_only(program):
        faults.append('the program links no Linux adapter or library: the walk is broken')
    mac = [n for n in targets if sources_in([n], 'Mac')]
    if not mac:
        faults.append('no target builds the macOS folder')
    for name in mac:
        faults += [f'{name} links {l}, which is Linux-only' for l in linux_only(
            sorted(set(targets[name]['links'] + targets[name]['interface'])))]
    print('\n'.join(faults) or f'the program links {len(program)} targets, none from the macOS '
          f'folder; {len(mac)} macOS targets link nothing Linux-only')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))

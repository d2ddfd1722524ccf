#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the project's own includes layer by layer: Models <- Core <- ViewModels <- Views <- the
assembly, with the ports (Platform/*.hpp) under Core and the adapters (Platform/<kind>/) seen only
by other adapters, the helper programs and the assembly. Usage: check_layers.py SRC_DIR"""
import pathlib
import re
import sys

# What each layer may include, besides the generated BuildConfig.hpp.
ALLOWED = {
    'Models': {'Models'},
    'ports': {'Models', 'ports', 'Core'},
    'Core': {'Models', 'ports', 'Core'},
    'ViewModels': {'Models', 'ports', 'Core', 'ViewModels'},
    'Views': {'Models', 'ports', 'Core', 'ViewModels', 'Views'},
    'adapters': {'Models', 'ports', 'Core', 'adapters'},
    'Helpers': {'Models', 'ports', 'Core', 'adapters'},
    'assembly': {'Models', 'ports', 'Core', 'ViewModels', 'Views', 'assembly'},
}


def layer(path):
    parts = pathlib.PurePosixPath(path).parts
    if len(parts) == 1:
        return 'assembly'
    if parts[0] == 'Platform':
        return 'ports' if len(parts) == 2 else 'adapters'
    return parts[0]


def main(src):
    src = pathlib.Path(src)
    faults, seen = [], set()
    for file in sorted(p for p in src.rglob('*') if p.suffix in {'.hpp', '.cpp'}):
        own = layer(file.relative_to(src).as_posix())
        for number, line in enumerate(file.read_text().splitlines(), 1):
            match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            # Generated files (the build's constants, moc's and wayland-scanner's output) are not
            # in the tree.
            if not match or not (src / match.group(1)).is_file():
                continue
            target = layer(match.group(1))
            seen.add((own, target))
            if target not in ALLOWED[own]:
                faults.append(f'{file.relative_to(src)}:{number}: {own} includes {target}: '
                              f'{match.group(1)}')
    # The check means nothing unless every layer was found using the one below it.
    expected = {('Core', 'Models'), ('Core', 'ports'), ('ViewModels', 'Core'),
                ('Views', 'ViewModels'), ('assembly', 'Views'), ('adapters', 'ports')}
    faults += [f'no file of {a} includes {b}: is the layout still the one checked?'
               for a, b in sorted(expected - seen)]
    print('\n'.join(faults) or f'{len(seen)} pairs of layers, all allowed')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))

#!/usr/bin/python3
"""The real-kernel suite reads the program's windows by their texts (guest/texts.py): each of
them must be a text of the program, as a string literal of its C++ sources or a text of its
.ui files, or the suite waits in vain for a text that a change of the program reworded.
  texts_test.py SOURCE_DIR"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), 'guest'))
import texts  # noqa: E402

NOT_THE_PROGRAM = {'tests', 'bench', 'fuzz', 'dist', 'cmake', 'scripts'}  # and the build folders


def main(root):
    sources = []
    for top, folders, files in os.walk(root):
        if top == root:
            folders[:] = [f for f in folders if f not in NOT_THE_PROGRAM and not f.startswith(('.', 'build'))]
        for name in sorted(files):
            if name.endswith(('.cpp', '.h', '.ui')):
                with open(os.path.join(top, name), encoding='utf-8') as source:
                    sources.append(source.read())
    program = '\n'.join(sources)
    wanted = {name: value for name, value in vars(texts).items() if name.isupper() and isinstance(value, str)}
    missing = [f'{name} = {value!r}' for name, value in sorted(wanted.items())
               if f'"{value}"' not in program and f'>{value}<' not in program]
    for line in missing:
        print(f'not a text of the program: texts.{line}')
    print(f'{len(wanted) - len(missing)} of {len(wanted)} texts found in the program\'s sources')
    return 1 if missing else 0


if __name__ == '__main__':
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))

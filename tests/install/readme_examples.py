#!/usr/bin/env python3
"""Runs the README's C and Python examples as written, against an installed
prefix, the way the README tells a user to: the C one compiled with
`cc example.c -ltolvane` and the flags pkg-config gives, both run with
LD_LIBRARY_PATH naming the prefix's library directory.

usage: readme_examples.py README.md PREFIX C_COMPILER
"""
import os
import re
import subprocess
import sys
import tempfile


def blocks(readme, language):
    return re.findall(r"```" + language + r"\n(.*?)```", readme, re.S)


def main():
    readme_path, prefix, compiler = sys.argv[1:4]
    readme = open(readme_path, encoding="utf-8").read()
    c_blocks = [b for b in blocks(readme, "c") if "int main" in b]
    py_blocks = [b for b in blocks(readme, "python") if "ctypes" in b]
    if len(c_blocks) != 1 or len(py_blocks) != 1:
        sys.exit("expected one C and one Python example in the README, found %d and %d"
                 % (len(c_blocks), len(py_blocks)))
    libdirs = [os.path.dirname(os.path.join(root, f))
               for root, _, files in os.walk(prefix) for f in files if f == "libtolvane.so.1"]
    if len(libdirs) != 1:
        sys.exit("expected one libtolvane.so.1 under %s" % prefix)
    env = dict(os.environ, LD_LIBRARY_PATH=libdirs[0],
               PKG_CONFIG_PATH=os.path.join(libdirs[0], "pkgconfig"))
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "tolvane"], env=env,
                           capture_output=True, text=True, check=True).stdout.split()
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, "example.c")
        open(source, "w").write(c_blocks[0])
        program = os.path.join(work, "example")
        subprocess.run([compiler, "-std=c99", "-Wall", "-Werror", source, *flags, "-o", program],
                       check=True)
        c_out = subprocess.run([program], cwd=work, env=env, capture_output=True, text=True)
        script = os.path.join(work, "example.py")
        open(script, "w").write(py_blocks[0])
        py_out = subprocess.run([sys.executable, script], cwd=work, env=env, capture_output=True,
                                text=True)
    failed = False
    for name, result in (("C", c_out), ("Python", py_out)):
        lines = result.stdout.split()
        print("%s example: exit %d, printed %s" % (name, result.returncode, lines))
        if result.returncode != 0 or lines != ["999", "SOS"]:
            print(result.stderr, file=sys.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

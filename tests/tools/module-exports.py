#!/usr/bin/env python3
"""What the program shows its modules and what it links: vum exports the
runtime's vum:: symbols and nothing of its own else (what remains are the C
and C++ libraries' data that the program copies in: environ, stdin ...);
every runtime symbol the view module leaves for the program to resolve is
among them, so the module loads; and the program names no GUI library
among its own dependencies.

    module-exports.py --program build/vum --module build/libvum-view.so
        [--linked build/libvum-windows.so ...]

--linked names our other modules the module links itself (the window
system): what they define is not the program's to give.
"""
import argparse
import re
import subprocess
import sys

GUI_LIBRARIES = ["libcairo", "libpango", "libSDL2", "libX11", "libfontconfig", "libfreetype",
                 "libharfbuzz", "libgobject", "libglib"]
RUNTIME_FORMS = re.compile(r"^(?:vum::|(?:vtable|typeinfo|typeinfo name|guard variable) for vum::)")
# Symbols the C and C++ libraries or the linker put in any program: data
# copied in from a shared library (with -static-libstdc++ only the C
# library's; a sanitized build links the C++ library's shared form, and
# the sanitizers' runtime copies two flags in).
C_RUNTIME = re.compile(r"^(?:.+@(?:GLIBC|GLIBCXX|CXXABI)_[\d.]+|_IO_stdin_used|__data_start|data_start|_edata|_end"
                       r"|__bss_start|__(?:asan|ubsan|lsan)_\w+)$")


def dynamic_symbols(path, which):
    out = subprocess.run(["nm", "-D", "-C", which, path], capture_output=True, text=True, check=True).stdout
    symbols = []
    for line in out.splitlines():
        # "ADDRESS TYPE NAME" for defined ones, "         U NAME" for undefined
        parts = line.split(None, 2) if which == "--defined-only" else line.split(None, 1)
        if len(parts) >= 2:
            symbols.append(parts[-1])
    return symbols


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--module", required=True)
    ap.add_argument("--linked", nargs="*", default=[])
    args = ap.parse_args()
    failures = []

    exported = dynamic_symbols(args.program, "--defined-only")
    if not any(s.startswith("vum::") for s in exported):
        failures.append("the program exports no vum:: symbol")
    stray = [s for s in exported if not RUNTIME_FORMS.match(s) and not C_RUNTIME.match(s)]
    if stray:
        failures.append(f"{len(stray)} exported outside vum::, e.g. " + "; ".join(stray[:8]))

    plain = set(exported)
    for library in args.linked:
        plain.update(dynamic_symbols(library, "--defined-only"))
    wanted = [s for s in dynamic_symbols(args.module, "--undefined-only") if RUNTIME_FORMS.match(s)]
    missing = [s for s in wanted if s not in plain]
    if missing:
        failures.append(f"{len(missing)} runtime symbols the module needs are not exported, e.g. "
                        + "; ".join(missing[:8]))
    if not wanted:
        failures.append("the module leaves no runtime symbol to the program: is it linked with the runtime?")

    needed = subprocess.run(["ldd", args.program], capture_output=True, text=True, check=True).stdout
    gui = sorted({lib for lib in GUI_LIBRARIES if lib in needed})
    if gui:
        failures.append("the program links " + ", ".join(gui))

    for f in failures:
        print("FAIL:", f)
    print(f"{len(exported)} exported, {len(wanted)} resolved for the module" if not failures
          else f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

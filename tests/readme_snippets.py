#!/usr/bin/env python3
"""Runs every README snippet marked as runnable, as printed.

A fenced block right after a line `<!-- runnable -->` is taken whole:
  ```sh       run by bash -e in the source tree, zorfb on the PATH, PREFIX set
              to the installed copy (a recipe reads ${PREFIX:-...})
  ```cpp      a complete program: compiled with `pkg-config --cflags --libs
              zor_feedback` of the installed copy, run in the source tree
  ```python   run by this interpreter in the source tree, the installed
              module on PYTHONPATH
Each must exit with 0. A block after the marker in another language, or a
marker without a block, fails the run, so that no snippet is skipped silently.

Usage: readme_snippets.py --readme README.md --source DIR --prefix PREFIX
       --libdir lib --zorfb-dir DIR --work DIR [--cxx c++] [--pkg-config pkg-config]
       [--python]   (the Python module is installed; without it the Python
                    snippets are reported as not run)
"""

import argparse
import glob
import os
import re
import subprocess
import sys

MARK = "<!-- runnable -->"


def snippets(readme):
    lines = open(readme, encoding="utf-8").read().split("\n")
    out = []
    for n, line in enumerate(lines):
        if line.strip() != MARK:
            continue
        fence = lines[n + 1] if n + 1 < len(lines) else ""
        m = re.match(r"^```(\w+)\s*$", fence)
        if not m:
            raise SystemExit(f"{readme}:{n + 1}: '{MARK}' is not followed by a fenced block")
        body = []
        k = n + 2
        while k < len(lines) and lines[k] != "```":
            body.append(lines[k])
            k += 1
        out.append((n + 2, m.group(1), "\n".join(body) + "\n"))
    return out


def run(cmd, what, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        print(f"FAILED ({r.returncode}): {what}\n{r.stdout}{r.stderr}")
    return r.returncode == 0


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("--readme", "--source", "--prefix", "--libdir", "--zorfb-dir", "--work"):
        p.add_argument(name, required=True)
    p.add_argument("--cxx", default="c++")
    p.add_argument("--pkg-config", default="pkg-config")
    p.add_argument("--python", action="store_true")
    a = p.parse_args()

    os.makedirs(a.work, exist_ok=True)
    env = dict(os.environ)
    env["PATH"] = a.zorfb_dir + os.pathsep + env.get("PATH", "")
    env["PREFIX"] = a.prefix
    env["TMPDIR"] = a.work
    env["PKG_CONFIG_PATH"] = os.path.join(a.prefix, a.libdir, "pkgconfig")
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    modules = glob.glob(os.path.join(a.prefix, "**", "zor_feedback.cpython-*.so"), recursive=True)
    if modules:
        env["PYTHONPATH"] = os.path.dirname(modules[0])
    env["MPLBACKEND"] = "Agg"

    found = snippets(a.readme)
    if not found:
        raise SystemExit(f"no snippet in {a.readme} is marked '{MARK}'")
    ok, ran, skipped = True, 0, 0
    for line, lang, body in found:
        what = f"README.md:{line} ({lang})"
        if lang == "sh":
            good = run(["bash", "-e", "-c", body], what, cwd=a.source, env=env)
        elif lang == "cpp":
            src = os.path.join(a.work, f"snippet_{line}.cc")
            exe = src[:-3]
            open(src, "w").write(body)
            flags = subprocess.run([a.pkg_config, "--cflags", "--libs", "zor_feedback"], capture_output=True,
                                   text=True, env=env, check=True).stdout.split()
            good = run([a.cxx, "-std=c++17", "-Wall", "-Werror", src, "-o", exe] + flags, what + " compile", env=env)
            # No LD_LIBRARY_PATH: the pkg-config module's rpath finds the library.
            good = good and run([exe], what, cwd=a.source, env=env)
        elif lang == "python":
            if not a.python:
                print(f"not run (no Python module): {what}")
                skipped += 1
                continue
            if not modules:
                raise SystemExit(f"the Python module is not installed under {a.prefix}")
            good = run([sys.executable, "-c", body], what, cwd=a.source, env=env)
        else:
            raise SystemExit(f"{what}: a runnable block must be sh, cpp or python")
        print(("ok     " if good else "FAILED ") + what)
        ok = ok and good
        ran += 1
    print(f"{ran} snippets run, {skipped} not run")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

"""Run every command block of the README and of every page of docs/ and check its exit
status.

    readme_examples.py SOURCE_DIR BUILD_DIR WORK_DIR

Blocks fenced as ```sh or ```bash run with bash -e -o pipefail, ```python blocks with
this interpreter; other blocks (C fragments, sample output) are not commands. A block
whose fence is directly preceded by the line

    <!-- not run: REASON -->

is skipped (e.g. ./run itself, or commands that need root). Each block runs in a fresh
directory of WORK_DIR that holds links to the source tree's top-level entries (except
./run), with `build` pointing to BUILD_DIR, so paths read as in a checkout and files the
examples write stay out of the tree.
"""
import os
import re
import shutil
import subprocess
import sys

SHELLS = {"sh", "bash", "shell"}
SKIP = re.compile(r"^<!--\s*not run:.*-->\s*$")
TIMEOUT = 300


def blocks(readme):
    """(line number, language, text, skipped) of every fenced block."""
    lines = open(readme, encoding="utf-8").read().splitlines()
    i = 0
    while i < len(lines):
        m = re.match(r"^(`{3,})\s*([\w+-]*)", lines[i])
        if not m:
            i += 1
            continue
        fence, lang, start = m.group(1), m.group(2).lower(), i
        skipped = i > 0 and SKIP.match(lines[i - 1].strip()) is not None
        i += 1
        body = []
        while i < len(lines) and not lines[i].startswith(fence):
            body.append(lines[i])
            i += 1
        i += 1
        yield start + 1, lang, "\n".join(body) + "\n", skipped


def workspace(root, n, source, build):
    work = os.path.join(root, f"block-{n}")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # Not ./run: a block that calls it unmarked fails instead of building and
    # installing packages from inside the test.
    for entry in os.listdir(source):
        if entry.startswith((".", "build")) or entry in {"out", "run"}:
            continue
        os.symlink(os.path.join(source, entry), os.path.join(work, entry))
    os.symlink(build, os.path.join(work, "build"))
    return work


def documents(source):
    docs = os.path.join(source, "docs")
    pages = sorted(os.path.join(docs, f) for f in os.listdir(docs) if f.endswith(".md")) \
        if os.path.isdir(docs) else []
    return [os.path.join(source, "README.md")] + pages


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    source, build, root = (os.path.abspath(a) for a in argv)
    os.makedirs(root, exist_ok=True)
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    ran = skipped = 0
    failed = []
    for doc, line, lang, text, skip in ((d, *b) for d in documents(source) for b in blocks(d)):
        where = os.path.relpath(doc, source) + f":{line}"
        if lang in SHELLS:
            command = ["bash", "-e", "-o", "pipefail", "-c", text]
        elif lang == "python":
            command = [sys.executable, "-c", text]
        else:
            continue
        if skip:
            skipped += 1
            print(f"{where}: not run (marked)")
            continue
        ran += 1
        work = workspace(root, where.replace("/", "_").replace(":", "-"), source, build)
        try:
            result = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True,
                                    timeout=TIMEOUT)
            status, output = result.returncode, result.stdout[-2000:] + result.stderr[-2000:]
        except subprocess.TimeoutExpired:
            status, output = "timeout", f"no result after {TIMEOUT} s"
        if status == 0:
            print(f"{where}: {lang} block ok")
        else:
            failed.append(where)
            print(f"{where}: {lang} block failed ({status}):\n{text}{output}")
    print(f"{ran} blocks run, {skipped} marked not to run, {len(failed)} failed")
    if ran == 0:
        sys.exit("no command block found in the README or docs/")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(sys.argv[1:])

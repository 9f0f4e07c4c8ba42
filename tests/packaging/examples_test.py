#!/usr/bin/env python3
"""Every command line that the README, the manual pages and the AppStream screenshot show, run as
a user would run it, in a home of its own holding a few photos and log files, followed by the
check written beside it in the document (<!-- check: ... --> after a README block, .\\" check:
after a manual page's example), which says in shell what the text says the line does. The
manual pages are read as man shows them, so what runs is what a reader copies; they must format
without a warning. The example of --help must be one of those run.
    examples_test.py WENDRIX_RUN SOURCE_DIR
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

run, src = (os.path.realpath(arg) for arg in sys.argv[1:3])
failures = []
work = tempfile.mkdtemp()
tools = os.path.join(work, "bin")
os.mkdir(tools)
os.symlink(run, os.path.join(tools, "wendrix-run"))
if not shutil.which("convert"):  # a stand-in that copies the image
    with open(os.path.join(tools, "convert"), "w") as f:
        f.write('#!/bin/sh\nfor a; do last=$a; done\ncp "$1" "$last"\n')
    os.chmod(os.path.join(tools, "convert"), 0o755)
env = dict(os.environ, PATH=tools + ":" + os.environ["PATH"], LC_ALL="C.UTF-8")
# half SOURCE COPY: the copy is the image at half its width (only that it exists, without
# ImageMagick).
HELPERS = """half() {
  [ -f "$2" ] || return 1
  command -v identify >/dev/null || return 0
  [ $(($(identify -format %w "$1") / 2)) -eq "$(identify -format %w "$2")" ]
}
"""
HOME = """mkdir -p photos/2024/summer logs/old
for f in photos/a.jpg photos/2024/b.jpg photos/2024/summer/c.JPG; do
  convert -size 40x20 xc:red "$f" 2>/dev/null || echo image >"$f"
done
echo notes >photos/notes.txt; printf '1\\n2\\n' >logs/app.log
printf '1\\n2\\n3\\n' >logs/old/db.log; echo keep >logs/keep.txt
"""


def shell(script, home, **kwargs):
    return subprocess.run(["bash", "-e", "-c", script], cwd=home, env=dict(env, HOME=home),
                          stdin=subprocess.DEVNULL, **kwargs)


def attempt(where, script, check):
    """Runs script in a new home (its output in "out" there), then the check."""
    if not check:
        failures.append(f"{where}: no check follows the example\n{script}")
        return
    home = tempfile.mkdtemp(dir=work)
    shell(HOME, home, check=True)
    with open(os.path.join(home, "out"), "w") as out:
        ran = shell(script, home, stdout=out, stderr=subprocess.PIPE, text=True)
    if ran.returncode != 0:
        failures.append(f"{where} ended with {ran.returncode}:\n{script}\n{ran.stderr}")
    elif shell(HELPERS + check, home).returncode != 0:
        with open(os.path.join(home, "out")) as out:
            shown = out.read()[:2000]
        failures.append(f"{where} did not do what the text says ({check}):\n{script}\n{shown}")


def readme_examples():
    lines = open(os.path.join(src, "README.md")).read().split("\n")
    i = 0
    while i < len(lines):
        if not lines[i].startswith("    "):
            i += 1
            continue
        block = []
        while i < len(lines) and lines[i].startswith("    "):
            block.append(lines[i][4:])
            i += 1
        text = "\n".join(block)
        if "wendrix-run " in text and "[OPTIONS]" not in text:
            found = re.fullmatch(r"<!-- check: (.*) -->", lines[i]) if i < len(lines) else None
            yield "README.md", text, found and found.group(1)


def man_examples(page):
    name = os.path.basename(page)
    shown = subprocess.run(["man", "-l", page], env=dict(env, MANWIDTH="200"),
                           capture_output=True, text=True).stdout
    section = re.split(r"\n(?=\S)", shown.split("\nEXAMPLES\n", 1)[-1], 1)[0]
    blocks = [re.sub(r"^ {14}", "", b, flags=re.M).rstrip("\n")
              for b in re.findall(r"(?:^ {14}.*\n?)+", section, re.M)]
    checks = re.findall(r'^\.\\" check: (.*)$', open(page).read(), re.M)
    if len(blocks) != len(checks) or len(blocks) < 6:
        failures.append(f"{name}: {len(blocks)} examples shown, {len(checks)} checks (6 or more)")
    for block, check in zip(blocks, checks):
        yield name, block, check


def flat(text):
    return " ".join(text.replace("\\\n", " ").split())


examples = list(readme_examples())
pages = sorted(glob.glob(os.path.join(src, "packaging", "man", "*.1")))
for page in pages:
    warnings = subprocess.run(["man", "--warnings", "-l", page], env=env, text=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr
    if warnings:
        failures.append(f"man --warnings {os.path.basename(page)}:\n{warnings}")
    if "\n.SH EXAMPLES" in open(page).read():
        examples += man_examples(page)
for where, script, check in examples:
    attempt(where, script, check)

# The screenshot shows the window filled from this file; its caption says it makes a half-size
# copy of every JPEG image of a folder tree.
attempt("the AppStream screenshot",
        "mkdir small\nwendrix-run --path ~/photos --destination ~/small "
        + os.path.join(src, "packaging", "screenshots", "main-window.ini"),
        "half photos/a.jpg small/a.jpg && half photos/2024/summer/c.JPG small/2024/summer/c.JPG")

help_text = subprocess.run([run, "--help"], capture_output=True, text=True).stdout
shown = flat(re.sub(r"^Example: ", "", help_text.split("\nExample: ", 1)[-1]).split("\nExit")[0])
if not shown.startswith("wendrix-run ") or not any(shown in flat(s) for _, s, _ in examples):
    failures.append(f"--help's example is none of the documents' examples: {shown}")

shutil.rmtree(work)
for failure in failures:
    print("FAILED:", failure)
print(f"examples: {len(examples) + 1} run, {len(failures)} failures")
sys.exit(1 if failures else 0)

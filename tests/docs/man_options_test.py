#!/usr/bin/env python3
"""Every option a program's --help shows is listed in its man page.

    man_options_test.py BUILD_DIR SOURCE_DIR

For every man/NAME.1.in of the source tree, runs BUILD_DIR/NAME --help and
takes the option tokens (-x, --long) of its usage lines ("Usage: NAME
[--once] ...", with their indented continuations) and of its option lines:
lines that start with spaces and then an option, as in
"  -s, --store DIR   ...", "  --once" or "  -h,--help". Each of them must
appear in the page's OPTIONS section (up to the next .SH, its .SS
subsections included). Exit status 0 when every page lists every option,
1 otherwise.
"""
import pathlib
import re
import subprocess
import sys

# An option token: -x or --long-name, not part of a longer word.
OPTION = re.compile(r"(?<![\w-])(--[A-Za-z0-9][A-Za-z0-9_-]*|-[A-Za-z0-9])(?![\w-])")
# An option line of --help: indented, then an option.
OPTION_LINE = re.compile(r"^[ \t]+-")


def help_options(text, name):
    """The option tokens of the usage and option lines of a --help text."""
    found = []
    in_usage = False
    for line in text.splitlines():
        stripped = line.strip()
        if re.match(r"usage:", stripped, re.IGNORECASE):
            in_usage = True
        elif in_usage and line[:1].isspace() and (stripped.startswith("[") or stripped.split(" ")[0].endswith(name)):
            pass  # the usage goes on
        else:
            in_usage = False
        if in_usage:
            part = stripped
        elif OPTION_LINE.match(line):
            # The option column ends where two spaces or a tab part it from
            # its description; a line with no description is all options.
            part = re.split(r"\s{2,}|\t", stripped, maxsplit=1)[0]
        else:
            continue
        for token in OPTION.findall(part):
            if token not in found:
                found.append(token)
    return found


def man_text(source):
    """The man page source as its words read: escapes and fonts removed."""
    lines = []
    for line in source.splitlines():
        if line.startswith('.\\"') or line.startswith("'\\\""):
            continue
        line = re.sub(r"\\f(\[[^\]]*\]|\(..|.)", "", line)  # font changes
        line = line.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")
        lines.append(line)
    return lines


def options_section(lines):
    """The lines from .SH OPTIONS up to the next .SH, or None."""
    start = None
    for i, line in enumerate(lines):
        if re.match(r'^\.SH\s+"?OPTIONS"?\s*$', line):
            start = i + 1
        elif start is not None and line.startswith(".SH"):
            return lines[start:i]
    return lines[start:] if start is not None else None


def main():
    if len(sys.argv) != 3:
        print("usage: man_options_test.py BUILD_DIR SOURCE_DIR", file=sys.stderr)
        return 2
    build, source = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    pages = sorted((source / "man").glob("*.1.in"))
    if not pages:
        print(f"no man pages in {source / 'man'}")
        return 1
    failures = 0
    checked = 0
    for page in pages:
        name = page.name[: -len(".1.in")]
        program = build / name
        if not program.exists():
            print(f"{name}: not built in {build}, not checked")
            continue
        try:
            run = subprocess.run([str(program), "--help"], capture_output=True, text=True, timeout=20)
        except subprocess.TimeoutExpired:
            print(f"{name}: --help did not end within 20 s")
            failures += 1
            continue
        if not run.stdout.strip():
            print(f"{name}: --help (status {run.returncode}) printed nothing on standard output:\n{run.stderr}")
            failures += 1
            continue
        shown = help_options(run.stdout, name)
        if not shown:
            print(f"{name}: --help shows no options, nothing to compare")
            checked += 1
            continue
        section = options_section(man_text(page.read_text(encoding="utf-8")))
        if section is None:
            print(f"{name}: {page.relative_to(source)} has no OPTIONS section")
            failures += 1
            continue
        listed = set(OPTION.findall("\n".join(section)))
        missing = [token for token in shown if token not in listed]
        checked += 1
        if missing:
            print(f"{name}: --help shows {' '.join(missing)}, which the OPTIONS section of "
                  f"{page.relative_to(source)} does not list")
            failures += 1
        else:
            print(f"{name}: {len(shown)} options, all in the man page")
    if checked == 0 and failures == 0:
        print("no program was built: nothing checked")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

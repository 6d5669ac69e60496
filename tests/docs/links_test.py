#!/usr/bin/env python3
"""Every relative link of README.md and docs/*.md leads somewhere.

    links_test.py [BUILD_DIR] SOURCE_DIR

Checks the inline links and pictures ([text](target), ![alt](target)) and
reference definitions ([name]: target) outside code: a relative target must
be a file or folder of the source tree, and an #anchor (alone, or after a
Markdown file) must be the slug GitHub makes of one of that file's headings.
Links with a scheme (https:, mailto:) are not followed. Exit status 0 when
every link holds, 1 otherwise.
"""
import pathlib
import re
import sys
import urllib.parse

INLINE = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
FENCE = re.compile(r"^\s*(`{3,}|~{3,})")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)=\"([^\"]+)\"")


def prose_lines(text):
    """The lines outside fenced code blocks, with their numbers."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        match = FENCE.match(line)
        if fence is None and match:
            fence = match.group(1)[0] * 3
            continue
        if fence is not None:
            if line.strip().startswith(fence):
                fence = None
            continue
        yield number, line


def without_code_spans(line):
    return re.sub(r"(`+)(?:(?!\1).)+?\1", "", line)


def slug(heading):
    """GitHub's anchor of a heading: its text, lower case, punctuation
    dropped, spaces made hyphens."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # links read as their text
    text = re.sub(r"<[^>]+>", "", text)  # inline HTML
    text = text.lower()
    text = re.sub(r"[^\w\- ]", "", text)  # \w keeps letters of every script, digits and _
    return text.replace(" ", "-")


def anchors(path, cache={}):
    """The anchors a Markdown file's headings make, with GitHub's -1, -2
    for repeated ones."""
    if path not in cache:
        found, seen = set(), {}
        text = path.read_text(encoding="utf-8")
        for _, line in prose_lines(text):
            found.update(HTML_ANCHOR.findall(line))
            match = HEADING.match(line)
            if not match:
                continue
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        cache[path] = found
    return cache[path]


def targets(text):
    for number, line in prose_lines(text):
        line = without_code_spans(line)
        for match in INLINE.finditer(line):
            yield number, match.group(1)
        match = REFERENCE.match(line)
        if match:
            yield number, match.group(1)


def check(source, document):
    problems = []
    where = document.relative_to(source)
    for number, target in targets(document.read_text(encoding="utf-8")):
        if not target or re.match(r"^[A-Za-z][A-Za-z0-9+.-]*:", target) or target.startswith("//"):
            continue  # a URL with a scheme, not a file of ours
        path_part, _, anchor = target.partition("#")
        path_part = urllib.parse.unquote(path_part)
        if path_part.startswith("/"):
            problems.append(f"{where}:{number}: {target}: an absolute path; links are relative to the file")
            continue
        file = (document.parent / path_part).resolve() if path_part else document
        if not file.exists():
            problems.append(f"{where}:{number}: {target}: no such file or folder")
            continue
        try:
            file.relative_to(source.resolve())
        except ValueError:
            problems.append(f"{where}:{number}: {target}: outside the source tree")
            continue
        if not anchor:
            continue
        if file.suffix.lower() != ".md":
            problems.append(f"{where}:{number}: {target}: an anchor into a file that is not Markdown")
        elif urllib.parse.unquote(anchor) not in anchors(file):
            problems.append(f"{where}:{number}: {target}: {file.name} has no heading with the anchor #{anchor}")
    return problems


def main():
    if len(sys.argv) not in (2, 3):
        print("usage: links_test.py [BUILD_DIR] SOURCE_DIR", file=sys.stderr)
        return 2
    source = pathlib.Path(sys.argv[-1]).resolve()
    documents = [source / "README.md"] + sorted((source / "docs").glob("*.md"))
    problems, links = [], 0
    for document in documents:
        if not document.exists():
            problems.append(f"{document.relative_to(source)}: missing")
            continue
        links += sum(1 for _ in targets(document.read_text(encoding="utf-8")))
        problems += check(source, document)
    for problem in problems:
        print(problem)
    print(f"{len(documents)} documents, {links} links, {len(problems)} broken")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the manual pages against the programs they describe.

  check_man_pages.py options PROGRAM PAGE [PROGRAM PAGE ...]
      The options in PROGRAM --help ("-x, --long" or "--long" at the start
      of an indented line) and the tags of the page's OPTIONS section must
      be the same set, and every variable under "Environment:" in --help
      must have an entry in the page's ENVIRONMENT section.

  check_man_pages.py render PAGE [PAGE ...]
      groff must format each page without a single warning. Exits 77 (a
      skipped test for CTest) when groff is not installed.
"""

import re
import shutil
import subprocess
import sys

HELP_OPTION = re.compile(r"^ {1,4}((?:-[A-Za-z], )?--[a-z][a-z-]*)(?:\s|$)")
HELP_VARIABLE = re.compile(r"^ {1,4}([A-Z][A-Z0-9_]*)\s")
TAG_OPTION = re.compile(r"^(?:-[A-Za-z], )?--[a-z][a-z-]*$")


def roff_text(line):
    """The text a roff line of the man macros shows, without fonts."""
    if line.startswith("."):
        macro, _, rest = line[1:].partition(" ")
        if macro in ("B", "I", "R", "SM", "SB"):
            line = rest.strip('"')
        elif macro in ("BR", "RB", "IR", "RI", "BI", "IB"):
            # Alternating fonts: the arguments are joined without spaces.
            line = "".join(a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', rest))
        else:
            return ""
    line = re.sub(r"\\f(\[[^]]*\]|.)", "", line)
    return line.replace("\\-", "-").replace("\\&", "").strip()


def sections(page):
    """Maps each .SH name to its lines."""
    found, name = {}, None
    for line in page.splitlines():
        if line.startswith(".SH "):
            name = line[4:].strip().strip('"')
            found[name] = []
        elif name is not None:
            found[name].append(line)
    return found


def tags(lines):
    """The tag (the line after each .TP) of a section's entries, as text."""
    return [roff_text(lines[i + 1]) for i, line in enumerate(lines[:-1])
            if line.strip() == ".TP"]


def help_entries(text):
    options, variables, in_environment = set(), set(), False
    for line in text.splitlines():
        if not line.startswith(" "):
            in_environment = line.startswith("Environment:")
            continue
        if in_environment:
            match = HELP_VARIABLE.match(line)
            if match:
                variables.add(match.group(1))
        else:
            match = HELP_OPTION.match(line)
            if match:
                options.add(match.group(1))
    return options, variables


def check_options(program, page_path):
    problems = []
    result = subprocess.run([program, "--help"], capture_output=True, text=True,
                            timeout=60, check=False)
    if result.returncode != 0:
        return [f"{program} --help exited with status {result.returncode}"]
    help_options, help_variables = help_entries(result.stdout)
    if not help_options:
        problems.append(f"{program} --help lists no options")
    with open(page_path, encoding="utf-8") as f:
        page = sections(f.read())
    page_options = {t for t in tags(page.get("OPTIONS", [])) if TAG_OPTION.match(t)}
    page_variables = set()
    for t in tags(page.get("ENVIRONMENT", [])):
        page_variables.update(v.strip() for v in t.split(","))
    for option in sorted(help_options - page_options):
        problems.append(f"{page_path}: OPTIONS lacks '{option}' from {program} --help")
    for option in sorted(page_options - help_options):
        problems.append(f"{program} --help lacks '{option}' from OPTIONS in {page_path}")
    for variable in sorted(help_variables - page_variables):
        problems.append(f"{page_path}: ENVIRONMENT lacks {variable} from {program} --help")
    return problems


def check_render(page_path):
    result = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8", page_path],
                            capture_output=True, text=True, timeout=60, check=False)
    if result.returncode != 0 or result.stderr:
        return [f"{page_path}: groff says: {result.stderr.strip() or result.returncode}"]
    return []


def main(argv):
    if len(argv) >= 4 and argv[1] == "options" and len(argv) % 2 == 0:
        problems = []
        for program, page in zip(argv[2::2], argv[3::2]):
            problems += check_options(program, page)
    elif len(argv) >= 3 and argv[1] == "render":
        if shutil.which("groff") is None:
            print("groff is not installed; the pages' rendering is not checked")
            return 77
        problems = [p for page in argv[2:] for p in check_render(page)]
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

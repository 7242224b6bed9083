#!/usr/bin/env python3
"""scripts/docgen.py: man pages and bash completion made from the programs' own help texts,
so they cannot drift from what the programs accept.

  docgen.py man PROGRAM VERSION "one-line summary" OUT.1.gz
      PROGRAM --help, and for each command it lists (a program with commands: an indented
      line starting with a lower-case word) PROGRAM COMMAND --help, as a section-1 page.
  docgen.py completion PROGRAM OUT
      a bash completion script: the commands, each command's options, the values an option
      lists (a|b|c), file names after an option whose value is FILE, the ports present
      (PROGRAM ports) for the rest.
"""
import gzip
import os
import re
import subprocess
import sys

OPTION = re.compile(r"^\s+(?:-\w, )?(--[a-z][\w-]*)(?:[ =](\S+))?", re.M)


def run_help(program, *args):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = subprocess.run([program, *args, "--help"], capture_output=True, text=True, env=env, timeout=60)
    if out.returncode != 0:
        sys.exit(f"{program} {' '.join(args)} --help failed: {out.stderr}")
    return out.stdout


def commands(overview):
    """The commands an overview lists: indented lines that start with a lower-case word."""
    found = []
    for line in overview.splitlines():
        m = re.match(r"^  ([a-z][a-z-]*)\b", line)
        if m and m.group(1) not in found:
            found.append(m.group(1))
    return found


def roff(text):
    lines = []
    for line in text.rstrip("\n").splitlines():
        line = line.replace("\\", "\\e").replace("-", "\\-")
        if line.startswith((".", "'")):
            line = "\\&" + line
        lines.append(line)
    return ".nf\n" + "\n".join(lines) + "\n.fi\n"


def man(program, version, summary, out):
    name = os.path.basename(program)
    overview = run_help(program)
    page = [f'.TH {name.upper()} 1 "" "{name} {version}" "User Commands"',
            ".SH NAME", f"{name} \\- {summary}", ".SH DESCRIPTION", roff(overview)]
    cmds = commands(overview)
    if cmds:
        page.append(".SH COMMANDS")
        for c in cmds:
            page += [f".SS {c}", roff(run_help(program, c))]
    others = [p for p in ("qvcomm", "qvbarcode") if p != name]
    page += [".SH SEE ALSO", ", ".join(f"\\fB{p}\\fR(1)" for p in others)]
    with gzip.GzipFile(out, "wb", mtime=0) as f:  # reproducible: no time stamp
        f.write(("\n".join(page) + "\n").encode())


def completion(program, out):
    name = os.path.basename(program)
    cmds = commands(run_help(program))
    cases, files, choices = [], set(), {}
    for c in cmds:
        opts = []
        for opt, value in OPTION.findall(run_help(program, c)):
            if opt not in opts:
                opts.append(opt)
            if value == "FILE":
                files.add(opt)
            elif value and "|" in value:
                choices[opt] = value.strip("[]").replace("|", " ")
        cases.append(f'    {c}) opts="{" ".join(opts + ["--help"])}" ;;')
    choice_cases = "\n".join(f'    {o}) COMPREPLY=($(compgen -W "{v}" -- "$cur")); return ;;'
                             for o, v in sorted(choices.items()))
    script = f"""# bash completion for {name}, made from its help texts (scripts/docgen.py)
_{name}() {{
  local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}} opts=""
  if ((COMP_CWORD == 1)); then
    COMPREPLY=($(compgen -W "{" ".join(cmds)} --help" -- "$cur"))
    return
  fi
  case $prev in
    {"|".join(sorted(files)) or "--no-such-option"}) COMPREPLY=($(compgen -f -- "$cur")); return ;;
{choice_cases}
  esac
  case ${{COMP_WORDS[1]}} in
{chr(10).join(cases)}
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$({name} ports 2>/dev/null | cut -d' ' -f1)" -- "$cur"))
  fi
}}
complete -F _{name} {name}
"""
    with open(out, "w") as f:
        f.write(script)


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "man":
        man(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "completion":
        completion(*sys.argv[2:])
    else:
        sys.exit(__doc__)

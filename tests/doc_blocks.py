#!/usr/bin/env python3
"""Runs every code block of README.md and docs/*.md, taken from the files themselves, so that an
example in the documentation cannot break unnoticed.

    doc_blocks.py SOURCE_DIR BUILD_DIR

A fenced block with a language is code; one without (output, a transcript, a synopsis) is not.
Code runs the way a reader would run it, with these differences:

- python: with the built package (PYTHONPATH=BUILD/python);
- sh: in a scratch folder where ./build is BUILD_DIR; a line ending in "&" runs in the
  background and is ended after the block; after a line that starts a simulator with a link,
  and before a line that names a TCP port on 127.0.0.1, the block waits (bounded) until that
  link exists or something listens on the port;
  a file that the text before the block calls "saved as `NAME`" is the code block before it,
  and a saved C or C++ program has the simulated board on COM1 as that block has;
- c, cpp: compiled against the headers and libvantrel; a snippet without main() becomes the
  body of main(); it runs with COM1 mapped to a simulated board;
- toml, yaml: parsed.

Everywhere /tmp/ becomes the scratch folder, /dev/ttyUSB0 the simulated board's link and the
TCP ports 4001 and 4002 free ones, and no serial device of the machine is seen
(VANTREL_SYSROOT). A block whose first line is a comment starting "not run by the tests:" says
why it cannot run here (a real board, another machine, the suite itself) and is left out, as
is the README's quick start, which tests/readme_quickstart.sh runs line for line.
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import tomllib

import yaml

NOT_RUN = re.compile(r"^\s*(#|//|/\*)\s*not run by the tests:\s*(.*?)\s*(\*/)?\s*$")
TIMEOUT = 120


class Block:
    def __init__(self, path, line, lang, text, prose, previous):
        self.path, self.line, self.lang, self.text = path, line, lang, text
        self.prose = prose  # the text between the block before and this one
        self.previous = previous  # the code block before this one in the same file

    def where(self):
        return f"{self.path}:{self.line}"


def blocks_of(path, shown):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, prose, previous, quick = [], [], None, False
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip() == "<!-- quick start -->":
            quick = True
        elif line.strip() == "<!-- end of quick start -->":
            quick = False
        if line.startswith("```"):
            lang = line[3:].strip()
            start = i + 1
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                i += 1
            text = "\n".join(lines[start:i]) + "\n"
            if lang and not quick:
                block = Block(shown, start, lang, text, "\n".join(prose), previous)
                found.append(block)
                previous = block
            prose = []
        else:
            prose.append(line)
        i += 1
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Runner:
    def __init__(self, source, build, scratch):
        self.source, self.build, self.scratch = source, build, scratch
        self.board = os.path.join(scratch, "board")
        self.ports = {4001: free_port(), 4002: free_port()}
        self.env = dict(os.environ)
        self.env.update({
            "PYTHONPATH": os.path.join(build, "python"),
            "PYTHONDONTWRITEBYTECODE": "1",
            "VANTREL_PORTS": os.path.join(scratch, "ports.toml"),
            "VANTREL_SYSROOT": os.path.join(scratch, "no-machine"),
            "XDG_RUNTIME_DIR": os.path.join(scratch, "run"),
        })
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        with open(self.env["VANTREL_PORTS"], "w", encoding="utf-8") as f:
            f.write(f'[ports]\nCOM1 = "{self.board}"\n')

    def adapt(self, text):
        text = text.replace("/tmp/", self.scratch + "/").replace("/dev/ttyUSB0", self.board)
        for old, new in self.ports.items():
            text = re.sub(rf"(?<![0-9]){old}(?![0-9])", str(new), text)
        return text

    def run(self, block):
        first = block.text.split("\n", 1)[0]
        skip = NOT_RUN.match(first)
        if skip:
            return "not run: " + skip.group(2)
        run = getattr(self, "run_" + block.lang, None)
        if run is None:
            raise AssertionError(f"no way to run a {block.lang} block")
        folder = tempfile.mkdtemp(dir=self.scratch)
        return run(block, folder)

    def check(self, command, cwd, what):
        try:
            p = subprocess.run(command, cwd=cwd, env=self.env, capture_output=True, text=True,
                               timeout=TIMEOUT)
        except subprocess.TimeoutExpired as e:
            raise AssertionError(f"{what}: still running after {TIMEOUT} s\n{e.stdout}{e.stderr}")
        if p.returncode != 0:
            raise AssertionError(f"{what}: exit status {p.returncode}\n{p.stdout}{p.stderr}")
        return p.stdout

    def run_python(self, block, folder):
        program = os.path.join(folder, "example.py")
        with open(program, "w", encoding="utf-8") as f:
            f.write(self.adapt(block.text))
        if "/dev/ttyUSB0" in block.text:
            return self.with_board(lambda: self.check([sys.executable, program], folder, "python"))
        return self.check([sys.executable, program], folder, "python")

    def run_sh(self, block, folder):
        os.symlink(self.build, os.path.join(folder, "build"))
        saved = re.search(r"saved as `([^`]+)`", block.prose)
        if saved and block.previous is not None:
            with open(os.path.join(folder, saved.group(1)), "w", encoding="utf-8") as f:
                f.write(self.adapt(block.previous.text))
        script = ["set -e", "trap 'kill $(jobs -p) 2>/dev/null || true; wait' EXIT"]
        for line in self.adapt(block.text).split("\n"):
            code = re.sub(r"\s+#.*$", "", line).strip()
            if not code:
                continue
            # Listening, as the kernel's socket table says: a trial connection would take the
            # place of the one client a simulator serves.
            for port in re.findall(r"(?:socket|rfc2217)://127\.0\.0\.1:([0-9]+)", code):
                script.append(
                    f"i=0; until grep -q ':{int(port):04X} 0*:0000 0A' /proc/net/tcp /proc/net/tcp6; do "
                    f"i=$((i+1)); [ $i -lt 200 ] || exit 1; sleep 0.05; done")
            script.append(code)
            link = re.search(r"--link\s+(\S+)", code)
            if link and code.endswith("&"):
                script.append(
                    f"i=0; until [ -e {link.group(1)} ]; do "
                    f"i=$((i+1)); [ $i -lt 200 ] || exit 1; sleep 0.05; done")
        path = os.path.join(folder, "example.sh")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(script) + "\n")
        if saved and block.previous is not None and block.previous.lang in ("c", "cpp"):
            # The saved program is built and run here, as its block is: with its board.
            return self.with_board(lambda: self.check(["bash", path], folder, "sh"))
        return self.check(["bash", path], folder, "sh")

    def program(self, block, folder, c):
        lines = self.adapt(block.text).split("\n")
        if "main(" not in block.text:
            heads = [l for l in lines if l.startswith("#include")]
            body = [l for l in lines if not l.startswith("#include")]
            std = ["#include <stdio.h>", "#include <stdint.h>"] if c else [
                "#include <cstdio>", "#include <string>"]
            lines = std + heads + ["int main(void) {" if c else "int main() {"] + body + [
                "return 0;", "}"]
        source = os.path.join(folder, "example.c" if c else "example.cpp")
        with open(source, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        exe = os.path.join(folder, "example")
        compiler = ["cc", "-std=c11"] if c else ["c++", "-std=c++20"]
        self.check(compiler + ["-Wall", "-o", exe, source,
                               "-I", os.path.join(self.source, "include"),
                               "-L", self.build, "-lvantrel", "-Wl,-rpath," + self.build],
                   folder, "compile")
        return self.with_board(lambda: self.check([exe], folder, "run"))

    def with_board(self, run):
        """Runs `run` with a simulated board behind /dev/ttyUSB0's stand-in and COM1."""
        sim = subprocess.Popen([os.path.join(self.build, "vantrel-sim"), "--no-console",
                                "--link", self.board], env=self.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(200):
                if os.path.exists(self.board) or sim.poll() is not None:
                    break
                time.sleep(0.05)
            if not os.path.exists(self.board):
                raise AssertionError("the simulated board did not come up")
            return run()
        finally:
            sim.terminate()
            sim.wait(timeout=10)

    def run_c(self, block, folder):
        return self.program(block, folder, True)

    def run_cpp(self, block, folder):
        return self.program(block, folder, False)

    def run_toml(self, block, _folder):
        tomllib.loads(block.text)
        return "parsed"

    def run_yaml(self, block, _folder):
        yaml.safe_load(block.text)
        return "parsed"


def main():
    source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    files = ["README.md"] + sorted(
        os.path.join("docs", f) for f in os.listdir(os.path.join(source, "docs"))
        if f.endswith(".md"))
    scratch = tempfile.mkdtemp(prefix="vantrel-docs-")
    failed = 0
    try:
        runner = Runner(source, build, scratch)
        for name in files:
            for block in blocks_of(os.path.join(source, name), name):
                try:
                    outcome = runner.run(block)
                    print(f"ok: {block.where()} {block.lang}"
                          + (f" ({outcome})" if outcome.startswith("not run") else ""))
                except AssertionError as e:
                    failed += 1
                    print(f"FAILED: {block.where()} {block.lang}: {e}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

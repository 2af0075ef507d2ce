"""The manual pages stay complete while the programs grow: every command and option that
ostrel-cli's own help shows, and every environment variable the sources read, is in a page.
(The settings keys are checked by unit_man_pages_test, which runs the program's own writers.)
The bash completion, which reads the same help, still finds commands, options and choices."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
CLI = os.path.join(os.environ.get("OSTREL_BIN_DIR", ""), "ostrel-cli")


def page_text(name):
    """The words of a page source as a reader sees them: fonts and escapes gone."""
    with open(os.path.join(SOURCE, "dist", name + ".in"), encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"\\f[BIRP]", "", text)
    return text.replace("\\-", "-").replace("\\(em", "-")


def help_of(*args):
    r = subprocess.run([CLI] + list(args), capture_output=True, text=True, timeout=30,
                       env={"PATH": "/usr/bin:/bin", "HOME": "/nonexistent", "OSTREL_HOME": "/nonexistent"})
    return r.stdout + r.stderr


class ManPagesTest(unittest.TestCase):
    def test_every_command_and_option_of_the_help_is_in_the_cli_page(self):
        self.assertTrue(os.access(CLI, os.X_OK), "ostrel-cli is not built: " + CLI)
        page = page_text("ostrel-cli.1")
        top = help_of("--help")
        commands = re.findall(r"^  ([a-z][a-z-]*)(?:\s|$)", top, re.M)
        self.assertGreaterEqual(len(commands), 5, top)
        missing = []
        for command in commands:
            if not re.search(r"^\S*%s\b" % re.escape(command), page, re.M):
                missing.append("command " + command)
            for option in sorted(set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*|-[a-zA-Z])\b", help_of(command, "--help")))):
                if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(option), page):
                    missing.append("%s %s" % (command, option))
        for option in re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", top):
            if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(option), page):
                missing.append(option)
        self.assertEqual(missing, [], "add these to dist/ostrel-cli.1.in")

    def test_every_environment_variable_the_sources_read_is_in_a_page(self):
        pages = page_text("ostrel.1") + page_text("ostrel-cli.1")
        names = set()
        for folder, _, files in os.walk(os.path.join(SOURCE, "src")):
            for name in files:
                if name.endswith((".cpp", ".h")):
                    with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                        names.update(re.findall(r'getenv\("([A-Z][A-Z0-9_]*)"\)', f.read()))
        self.assertIn("OSTREL_HOME", names)
        missing = sorted(n for n in names if not re.search(r"\b%s\b" % n, pages))
        self.assertEqual(missing, [], "add these to the ENVIRONMENT of dist/ostrel.1.in or dist/ostrel-cli.1.in")

    def test_the_completion_reads_commands_options_and_choices_from_the_help(self):
        script = os.path.join(SOURCE, "dist", "ostrel-cli.bash-completion")
        empty = tempfile.mkdtemp()  # no file names among the words offered
        self.addCleanup(os.rmdir, empty)

        def complete(*words):
            line = " ".join([CLI] + list(words))
            r = subprocess.run(["bash", "-c", 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
                                '_ostrel_cli; printf "%s\\n" "${COMPREPLY[@]}"',
                                "complete", script, CLI] + list(words), capture_output=True, text=True, timeout=60,
                               cwd=empty)
            self.assertEqual(r.stderr, "", line)
            return sorted(set(r.stdout.split()))

        self.assertEqual(complete("qu"), ["queue"])
        self.assertEqual(complete("decode", "--ig"), ["--ignore-part-numbers"])
        self.assertEqual(complete("queue", "c"), ["clear"])
        self.assertIn("--yes", complete("send", "--"))


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
    import ostrel_e2e
    ostrel_e2e.run_tests([ManPagesTest])

"""The manual pages and the bash completion say what each program's --help says: every option,
and every codec; and the built pages render without a warning from groff."""

import os
import re
import shutil
import subprocess

import pytest

BIN = os.environ["BIN_DIR"]
SOURCE = os.environ["SOURCE_DIR"]
MAN_BUILT = os.environ["MAN_DIR"]
PROGRAMS = ["daq-reader", "daq-simulate", "daq-table2h5", "daq-quicklook"]
OPTION = re.compile(r"--?[a-z][a-z0-9-]*")


def help_text(program):
    r = subprocess.run([os.path.join(BIN, program), "--help"], capture_output=True, text=True,
                       timeout=60, check=True)
    return r.stdout


def help_options(text):
    """The options --help defines: the words before the description on its indented option
    lines, and the plug-in's words that daq-reader appends."""
    options = set()
    own, _, plugin = text.partition("The plug-in's option words:")
    for line in own.splitlines():
        if re.match(r"\s+-", line):
            head = re.split(r"\s{2,}", line.strip())[0]
            options.update(w for w in re.split(r"[\s,]+", head) if OPTION.fullmatch(w))
    for line in plugin.splitlines():
        if line.startswith("-"):
            options.update(w for w in line.split() if OPTION.fullmatch(w))
    return options


def help_codecs(text):
    """Codec lists of --help, by option: "--codec gzip|none|..." in a usage line, "CODEC ...:
    gzip (default), none, ... or ..." on an option line."""
    lists = {}
    for option, codecs in re.findall(r"(--?[a-z0-9-]+) (?:CODEC\b[^\n]*?)?(gzip\b[^\]\n]*)", text):
        names = set(re.findall(r"[a-z0-9]+", codecs)) - {"default", "or"}
        lists.setdefault(option, set()).update(names)
    return lists


def man_source(program):
    with open(os.path.join(SOURCE, "man", program + ".1.md")) as f:
        return f.read().replace("\\-", "-")


def completion_section(program):
    with open(os.path.join(SOURCE, "tools", "completion", "daq-tools.bash")) as f:
        text = f.read()
    m = re.search(r"^    " + re.escape(program) + r"\)\n(.*?)^      ;;$", text, re.M | re.S)
    assert m, f"no section for {program} in the completion file"
    return m.group(1)


def has_word(text, word):
    return re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", text) is not None


@pytest.mark.parametrize("program", PROGRAMS)
def test_man_page_and_completion_name_every_option_and_codec(program):
    text = help_text(program)
    options = help_options(text)
    assert {"--help", "--version"} <= options, options  # the extraction itself works
    page, section = man_source(program), completion_section(program)
    assert sorted(o for o in options if not has_word(page, o)) == [], f"man/{program}.1.md"
    assert sorted(o for o in options if not has_word(section, o)) == [], "completion"

    codecs = help_codecs(text)
    if program in ("daq-reader", "daq-table2h5"):
        assert codecs, "no codec list found in --help"
    for option, names in codecs.items():
        # The completion's value list after the option, and the man page's paragraph of it.
        offered = re.search(re.escape(option) + r"\)\s*_daq_tools_words \"([^\"]*)\"", section)
        assert offered and set(offered.group(1).split()) == names, (option, names)
        paragraphs = [p for p in re.split(r"\n\s*\n", page) if "**" + option + "**" in p]
        assert paragraphs, option
        assert sorted(n for n in names if not any(has_word(p, n) for p in paragraphs)) == [], \
            option


@pytest.mark.skipif(shutil.which("groff") is None, reason="groff is not installed")
def test_built_pages_render_without_warnings():
    pages = [os.path.join(MAN_BUILT, p + ".1") for p in PROGRAMS]
    pages.append(os.path.join(MAN_BUILT, "daq-runfile.5"))
    missing = [p for p in pages if not os.path.exists(p)]
    if len(missing) == len(pages):
        pytest.skip("no manual pages built (pandoc not installed)")
    assert missing == []
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    for page in pages:
        r = subprocess.run(["groff", "-ww", "-t", "-man", "-Tutf8", "-z", page],
                           capture_output=True, text=True, env=env, timeout=60)
        assert (r.returncode, r.stderr) == (0, ""), page
        if shutil.which("man"):
            r = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                               env=env, timeout=60)
            assert (r.returncode, r.stderr) == (0, ""), page
    with open(os.path.join(MAN_BUILT, "daq-runfile.5")) as f:
        sections = re.findall(r"^\.SH (.*)$", f.read(), re.M)
    assert sections.index("DESCRIPTION") < sections.index("SEE ALSO") == len(sections) - 1

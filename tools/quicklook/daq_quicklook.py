#!/usr/bin/python3 -I
"""daq-quicklook: a run file of the HDF5 layout drawn as PNG pages.

Exit status: 0 pages written, 1 a page cannot be written (or its folder does not exist), 2 usage
error or a file that cannot be read as a run file.  Every failure is one line on standard error.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile

# The modules live beside this script in the source tree, in quicklook/ beside the built
# program and in share/daq-quicklook/ of an installed tree.  Run with -I, Debian's Python takes
# nothing from PYTHONPATH or the user's site-packages.
_here = os.path.dirname(os.path.realpath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path[:0] = [_here, os.path.join(_here, "quicklook"),
                os.path.join(_here, os.pardir, "share", "daq-quicklook")]

import matplotlib  # noqa: E402

matplotlib.use("Agg")  # no display: pages go to files

from ql_pages import draw_page, page_names, paginate  # noqa: E402
from ql_panels import PRESENCE_CHANNELS, HeaderRow, PresenceRow, rows_for  # noqa: E402
from ql_runfile import (EVENT_TYPE_CHOICES, LAYOUT_VERSIONS, RunFile,  # noqa: E402
                        RunFileError)

PROG = "daq-quicklook"

try:
    from ql_version import VERSION  # configured by the build
except ImportError:
    VERSION = "unknown (source tree)"


def parse_events(text):
    if ":" not in text:
        raise argparse.ArgumentTypeError(f"'{text}' is not FIRST:LAST (event IDs, either may be "
                                         "left out)")
    first, last = text.split(":", 1)
    try:
        return (int(first) if first.strip() else None, int(last) if last.strip() else None)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}': event IDs are whole numbers")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Draws a run file of the HDF5 layout (layout_version "
        f"{LAYOUT_VERSIONS[0]} to {LAYOUT_VERSIONS[-1]}) as PNG pages: a header, the "
        "data-presence map and one band per channel. Further pages go to OUT-2.png, ...; the "
        "pages written are named on standard error.",
        epilog="Exit status: 0 pages written (with --describe alone: described); 1 a page cannot "
        "be written or its folder does not exist; 2 usage error or a file that cannot be read as "
        "a run file. A failure is one line on standard error: daq-quicklook: FILE: reason.")
    parser.add_argument("run", metavar="RUN.h5", help="run file (daq-table2h5 or the plug-in's -h5)")
    parser.add_argument("-o", "--output", metavar="OUT.png",
                        help="first page (default: RUN with .png in place of .h5): a name ending "
                        "in .png, a name without extension (.png is added) or an existing "
                        "folder (FOLDER/RUN.png); any other extension is a usage error. - writes "
                        "a run of one page to standard output")
    parser.add_argument("--channels", metavar="LIST",
                        help="comma-separated channel names (NAME or NAME:SUB), drawn in that "
                        "order; an unknown name is an error that lists the file's channels")
    parser.add_argument("--events", metavar="FIRST:LAST", type=parse_events,
                        help="only events with FIRST <= event ID <= LAST")
    parser.add_argument("--event-type", choices=EVENT_TYPE_CHOICES, default="all",
                        help="all (default): pedestal events drawn apart from beam events (every "
                        "other type); beam or pedestal: only those events. A file without event "
                        "types (daq-table2h5's) is all beam")
    parser.add_argument("--describe", action="store_true",
                        help="print a JSON list of the panels drawn; pages are written only "
                        "with -o")
    parser.add_argument("--version", action="version", version=f"{PROG} {VERSION}")
    args = parser.parse_args(argv)
    if args.output == "-" and args.describe:
        parser.error("--describe and -o - both write to standard output")
    return args


def first_page(run, output):
    """The first page's file name for -o `output` (None: the default), or None when `output`
    has an extension other than .png: the pages are PNG whatever the name says."""
    stem = os.path.splitext(run)[0]
    if output is None:
        return stem + ".png"
    if os.path.isdir(output):
        return os.path.join(output, os.path.basename(stem) + ".png")
    if output.endswith(os.sep):
        return output  # a folder that does not exist: reported as such
    if output.lower().endswith(".png"):
        return output
    if not os.path.splitext(output)[1]:
        return output + ".png"
    return None


def output_folder_missing(output):
    """The folder of the first page when it does not exist: it is not made."""
    folder = os.path.dirname(output)
    return folder if folder and not os.path.isdir(folder) else None


def copy_to_stdout(path):
    with open(path, "rb") as page:
        shutil.copyfileobj(page, sys.stdout.buffer)
    sys.stdout.buffer.flush()


def pick_channels(run, wanted):
    if not wanted:
        return run.channels
    by_name = {}
    for ch in run.channels:
        by_name.setdefault(ch.name, ch)
        by_name.setdefault(ch.key, ch)
    picked = []
    for name in (n.strip() for n in wanted.split(",")):
        if not name:
            continue
        if name not in by_name:
            raise RunFileError(f"no channel '{name}' in the file; it has "
                               f"{channel_list([ch.name for ch in run.channels])}")
        if by_name[name] not in picked:
            picked.append(by_name[name])
    return picked


def channel_list(names, shown=20):
    if not names:
        return "no channels"
    more = f" … and {len(names) - shown} more" if len(names) > shown else ""
    return ", ".join(names[:shown]) + more


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    to_stdout = args.output == "-"
    # --describe alone only describes: the pages are drawn but not saved.
    no_pages = args.describe and args.output is None
    output = None
    if not to_stdout and not no_pages:
        output = first_page(args.run, args.output)
        if output is None:
            print(f"{PROG}: {args.output}: pages are PNG: -o takes OUT.png, a name without "
                  "extension or a folder", file=sys.stderr)
            return 2
        missing = output_folder_missing(output)
        if missing:
            print(f"{PROG}: {output}: cannot write (no folder {missing})", file=sys.stderr)
            return 1
    try:
        run = RunFile(args.run)
    except RunFileError as err:
        print(f"{PROG}: {args.run}: {err}", file=sys.stderr)
        return 2
    except Exception as err:  # last resort: one line, never a traceback
        print(f"{PROG}: {args.run}: cannot read ({_short(err)})", file=sys.stderr)
        return 2
    try:
        channels = pick_channels(run, args.channels)
        run.select_type(args.event_type)
        if args.events and not run.select(*args.events):
            raise RunFileError("no events with IDs in {}:{}".format(
                *("" if v is None else v for v in args.events)))
        first = [HeaderRow(args.run, channels)]
        parts = -(-len(channels) // PRESENCE_CHANNELS)
        for part in range(parts):
            chunk = channels[part * PRESENCE_CHANNELS:(part + 1) * PRESENCE_CHANNELS]
            first.append(PresenceRow(chunk, part + 1, parts))
        rows = [row for ch in channels for row in rows_for(ch)]
        pages = paginate(rows, first)
        described = []
        if to_stdout:
            if len(pages) > 1:
                print(f"{PROG}: {args.run}: {len(pages)} pages do not fit standard output; "
                      "choose channels (--channels) or -o OUT.png", file=sys.stderr)
                return 2
            with tempfile.TemporaryDirectory(prefix="daq-quicklook-") as folder:
                path = os.path.join(folder, "page.png")
                draw_page(pages[0], run, 1, 1, path, described)
                try:
                    copy_to_stdout(path)
                except OSError as err:
                    print(f"{PROG}: standard output: cannot write ({err.strerror or err})",
                          file=sys.stderr)
                    return 1
            return 0
        names = page_names(output, len(pages)) if output else [None] * len(pages)
        for number, (page, path) in enumerate(zip(pages, names), start=1):
            try:
                draw_page(page, run, number, len(pages), path, described)
            except OSError as err:
                print(f"{PROG}: {path}: cannot write ({err.strerror or err})", file=sys.stderr)
                return 1
    except RunFileError as err:
        print(f"{PROG}: {args.run}: {err}", file=sys.stderr)
        return 2
    except Exception as err:  # last resort: one line, never a traceback
        print(f"{PROG}: {args.run}: cannot read ({_short(err)})", file=sys.stderr)
        return 2
    finally:
        run.close()
    if args.describe:
        json.dump(described, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        print(f"{PROG}: {len(names)} page(s): {', '.join(names)}", file=sys.stderr)
    return 0


def _short(err):
    msg = " ".join(str(err).split())[:160]
    return f"{type(err).__name__}: {msg}" if msg else type(err).__name__


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3 -I
"""daq-quicklook: a run file of the HDF5 layout drawn as PNG pages.

Exit status: 0 pages written, 1 a page cannot be written (or its folder does not exist), 2 usage
error or a file that cannot be read as a run file.
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
from ql_runfile import RunFile, RunFileError  # noqa: E402

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
        prog=PROG, description="Draws a run file of the HDF5 layout as PNG pages: a header, "
        "the data-presence map and one band per channel. Further pages go to OUT-2.png, ...",
        epilog="Exit status: 0 pages written; 1 a page cannot be written or its folder does not "
        "exist; 2 usage error or a file that cannot be read as a run file.")
    parser.add_argument("run", metavar="RUN.h5", help="run file (daq-table2h5 or the plug-in's -h5)")
    parser.add_argument("-o", "--output", metavar="OUT.png",
                        help="first page (default: RUN with .png in place of .h5); - writes a "
                        "run of one page to standard output")
    parser.add_argument("--channels", metavar="LIST",
                        help="comma-separated channel names (NAME or NAME:SUB), drawn in that order")
    parser.add_argument("--events", metavar="FIRST:LAST", type=parse_events,
                        help="only events with FIRST <= event ID <= LAST")
    parser.add_argument("--describe", action="store_true",
                        help="print a JSON list of the panels drawn")
    parser.add_argument("--version", action="version", version=f"{PROG} {VERSION}")
    args = parser.parse_args(argv)
    if args.output == "-" and args.describe:
        parser.error("--describe and -o - both write to standard output")
    return args


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
            raise RunFileError(f"no channel '{name}' in the file")
        if by_name[name] not in picked:
            picked.append(by_name[name])
    return picked


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    to_stdout = args.output == "-"
    output = args.output or (os.path.splitext(args.run)[0] + ".png")
    missing = None if to_stdout else output_folder_missing(output)
    if missing:
        print(f"{PROG}: {output}: cannot write (no folder {missing})", file=sys.stderr)
        return 1
    try:
        run = RunFile(args.run)
    except RunFileError as err:
        print(f"{PROG}: {args.run}: {err}", file=sys.stderr)
        return 2
    try:
        channels = pick_channels(run, args.channels)
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
        names = page_names(output, len(pages))
        for number, (page, path) in enumerate(zip(pages, names), start=1):
            try:
                draw_page(page, run, number, len(pages), path, described)
            except OSError as err:
                print(f"{PROG}: {path}: cannot write ({err.strerror or err})", file=sys.stderr)
                return 1
    except RunFileError as err:
        print(f"{PROG}: {args.run}: {err}", file=sys.stderr)
        return 2
    finally:
        run.close()
    if args.describe:
        json.dump(described, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        print(f"{PROG}: {len(names)} page(s): {', '.join(names)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

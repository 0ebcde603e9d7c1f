"""Command line of marvane: ``marvane demo``, ``marvane info DIR`` and ``marvane sync``.

The same commands run as ``python -m marvane ...``.
"""

from __future__ import annotations

import argparse
import os
import sys


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    # "marvane" when run as the installed command, "python -m marvane" otherwise
    command = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    parser = argparse.ArgumentParser(
        prog="marvane" if command == "marvane" else "python -m marvane",
        description="A local Parquet store of market data, filled from a Redis-protocol "
                    "data service.")
    from marvane import __version__

    parser.add_argument("--version", action="version", version=f"marvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser(
        "demo", help="sync synthetic market data from a local data service into a store",
        description="Start a local redis-server seeded with synthetic market data, sync a "
                    "pivot and an unstack category into a store, let the service gain days "
                    "and a changed record, sync again, read back and print a summary.")
    demo.add_argument("--store", default="marvane-demo-store",
                      help="store directory (default: ./marvane-demo-store)")
    demo.add_argument("--instruments", type=_positive, default=500,
                      help="number of instruments (default: 500)")
    demo.add_argument("--months", type=_positive, default=12,
                      help="number of months from January 2024 (default: 12)")
    demo.add_argument("--verbose", action="store_true",
                      help="also show the library's own lines and progress bars")

    info = commands.add_parser(
        "info", help="inventory of a store directory",
        description="Per category: kind, months present and missing, date span, instrument "
                    "or row count and size on disk, read from the Parquet metadata.")
    info.add_argument("directory", metavar="DIR", help="store root directory")
    info.add_argument("--json", action="store_true", help="print the inventory as JSON")
    info.add_argument("--plot", metavar="FILE",
                      help="also draw the pivot categories' days and instrument counts into "
                           "FILE, a PNG, SVG or PDF picture by its ending (.png, .svg, .pdf; "
                           "needs matplotlib, the extra marvane[plot])")

    from marvane._sync import add_parser as add_sync_parser

    add_sync_parser(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        status = _run(build_parser().parse_args(argv))
        # A pipe holds the last lines in Python's buffer: flushed here, a reader that went
        # away is met below rather than at interpreter exit (status 120 and a traceback).
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader of our output went away (``marvane info DIR | head``): stop quietly, as
        # command-line tools do, and keep Python from reporting the pipe again at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 141  # what a shell reports for a command ended by SIGPIPE


def _run(args: argparse.Namespace) -> int:
    if args.command == "demo":
        from marvane._demo import StoreInUse, run_demo
        from marvane._localserver import RedisServerMissing

        try:
            result = run_demo(args.store, args.instruments, args.months, verbose=args.verbose)
        except (RedisServerMissing, StoreInUse, OSError) as exc:  # OSError: the store's path
            print(f"marvane demo: {exc}", file=sys.stderr)
            return 1
        return 0 if result.read_matches and result.info_matches else 2
    if args.command == "sync":
        from marvane._sync import main as sync_main

        return sync_main(args)

    from marvane._info import format_inventory, inventory, to_json

    if args.plot:
        from marvane._plot import picture_format

        try:
            picture_format(args.plot)
        except ValueError as exc:
            print(f"marvane info: {exc}", file=sys.stderr)
            return 2
    try:
        infos = inventory(args.directory)
    except (FileNotFoundError, NotADirectoryError, PermissionError) as exc:
        print(f"marvane info: {exc}", file=sys.stderr)
        return 1
    print(to_json(infos) if args.json else format_inventory(args.directory, infos))
    if args.plot:
        from marvane._plot import PlotUnavailable, plot_store

        try:
            plot_store(args.directory, args.plot, infos)
        except (PlotUnavailable, OSError, ValueError) as exc:
            print(f"marvane info: {exc}", file=sys.stderr)
            return 1
        print(f"picture of the pivot categories written to {args.plot}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

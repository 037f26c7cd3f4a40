"""python3 -m expcoil COMMAND: the package's command line. Commands: report (see expcoil.report)."""

import sys

USAGE = "usage: python3 -m expcoil report [DIR] [--from-files] [--tolerance PERCENT] [--workers N]"
HELP = f"""{USAGE}
       python3 -m expcoil --help | --version

Commands:
  report    a design report (report_<name>.html and .json) of every magnet of DIR/config.txt;
            python3 -m expcoil report --help tells more
"""


def main(argv):
    if not argv:
        print(USAGE, file=sys.stderr)
        return 2
    if argv[0] in ("-h", "--help"):
        print(HELP, end="")
        return 0
    if argv[0] == "--version":
        from . import __version__

        print(f"expcoil {__version__}")
        return 0
    if argv[0] != "report":
        print(f"unknown command {argv[0]!r}\n{USAGE}", file=sys.stderr)
        return 2
    from . import report

    return report.main(argv[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

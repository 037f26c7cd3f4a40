"""python3 -m expcoil COMMAND: the package's command line. Commands: report (see expcoil.report)."""

import sys

USAGE = "usage: python3 -m expcoil report [DIR] [--from-files] [--tolerance PERCENT] [--workers N]"


def main(argv):
    if not argv or argv[0] in ("-h", "--help"):
        print(USAGE, file=sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    if argv[0] != "report":
        print(f"unknown command {argv[0]!r}\n{USAGE}", file=sys.stderr)
        return 2
    from . import report

    return report.main(argv[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

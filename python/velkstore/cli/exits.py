"""Exit statuses of the `velkstore` command and the error that carries one."""

from __future__ import annotations

EXIT_OK = 0
EXIT_FAILED = 1  # key not found, or the store is damaged or not a store
EXIT_USAGE = 2  # argparse's own code for a bad command line
EXIT_IO = 3  # a file (standard input and output included) cannot be used
EXIT_INPUT = 4  # bad build input
EXIT_UNRENDERABLE = 5  # a stored value this command cannot decode or print
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a command killed by SIGPIPE

EXIT_STATUS_HELP = """\
exit status:
  0    success
  1    key not found, or the store is damaged or not a store file
       (verify failed, bad checksum)
  2    usage error (bad command line)
  3    a file is missing or cannot be read or written (standard input or
       output closed included)
  4    bad build input (the message gives file:line); no file is written
  5    the store is sound but a stored value cannot be decoded or printed
       here (nested too deeply, not MessagePack); get --raw still prints it
  130  interrupted (a build interrupted after its file was complete
       says so and exits 0)
  141  the output pipe was closed early (e.g. by `| head`)
"""


class CliError(Exception):
    """An error to report on standard error, ending the command with *code*."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code

"""How the `vicinor` command ends. Every failure becomes one line on standard
error, "vicinor: ..." naming the file or argument, and an exit status: 1 for
a failure, 2 for a usage error (argparse), 130 for Ctrl-C, and 141 (128 +
SIGPIPE, what a shell reports for a writer whose reader went away) for a
broken pipe, which is otherwise quiet. Never a traceback."""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import sys
from collections.abc import Callable, Iterator
from typing import NoReturn

PROG = "vicinor"
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


def one_line(error: BaseException) -> str:
    """The message of an error on one line: vicinor's "Caused by:" chain is
    folded into it, the causes separated by colons. A cause that repeats the
    part before it is said once."""
    text = str(error) or type(error).__name__
    head, _, causes = text.partition("\n\nCaused by:")
    parts = [head.strip()]
    for line in causes.splitlines():
        line = line.strip()
        # Numbered causes read "0: message".
        index, sep, rest = line.partition(": ")
        parts.append(rest if sep and index.isdigit() else line)
    said: list[str] = []
    for part in (" ".join(part.split()) for part in parts):
        if part and not (said and said[-1].endswith(part)):
            said.append(part)
    return ": ".join(said)


def about(name: str, error: BaseException) -> str:
    """`name: message`, unless the message names it first already."""
    message = one_line(error)
    return message if message.startswith(f"{name}: ") else f"{name}: {message}"


def os_error_text(error: OSError) -> str:
    reason = error.strerror or one_line(error)
    return f"{error.filename}: {reason}" if error.filename is not None else reason


class ClosedStream:
    """Stands for a standard stream the command was started without (`>&-`):
    using it fails with a line saying so, and only a command that needs the
    stream fails."""

    def __init__(self, name: str) -> None:
        self._name = name

    def __getattr__(self, attribute: str) -> NoReturn:
        raise CommandError(f"{self._name} is closed")


@contextlib.contextmanager
def writing(name: str) -> Iterator[None]:
    """OS errors of writes in the block (a full disk, say) name `name`."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        if error.filename is not None:
            raise
        raise CommandError(f"cannot write {name}: {error.strerror or one_line(error)}") from None


def fail(message: str, status: int = EXIT_FAILURE) -> NoReturn:
    # Output still buffered from before the failure is written first: had
    # it been written when it was made, a reader that has gone away would
    # have ended the command already.
    if not write_pending_output():
        sys.exit(EXIT_BROKEN_PIPE)
    if sys.stderr is not None:
        sys.stderr.write(f"{PROG}: {message}\n")
    sys.exit(status)


def point_stdout_at_nothing() -> None:
    # What standard output still buffers then goes nowhere, so that the
    # interpreter's final flush does not complain again.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        target = sys.stdout.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
        if devnull != target:
            os.dup2(devnull, target)
            os.close(devnull)


def quiet_broken_pipe() -> int:
    point_stdout_at_nothing()
    return EXIT_BROKEN_PIPE


def write_pending_output() -> bool:
    """Writes what standard output still buffers; False when its reader has
    gone away. Whatever cannot be written is dropped, as the command is
    ending with a failure that says more than a second complaint would."""
    if sys.stdout is None or isinstance(sys.stdout, ClosedStream):
        return True
    try:
        sys.stdout.flush()
        return True
    except BrokenPipeError:
        point_stdout_at_nothing()
        return False
    except (OSError, ValueError, KeyboardInterrupt):
        point_stdout_at_nothing()
        return True


def run_command(command: Callable[[], int]) -> int:
    """Runs the command, ending every failure as its one line and status."""
    closed = {name: getattr(sys, name) is None for name in ("stdin", "stdout")}
    if closed["stdin"]:
        sys.stdin = ClosedStream("standard input")
    if closed["stdout"]:
        sys.stdout = ClosedStream("standard output")
    try:
        try:
            status = command()
        except SystemExit as leaving:
            if leaving.code != 0:
                raise
            status = 0  # --help or --version, printed into the buffer
        if not closed["stdout"]:
            # Here, not at exit, so that a full disk is reported like any failure.
            with writing("standard output"):
                sys.stdout.flush()
        return status
    except CommandError as error:
        fail(str(error))
    except KeyboardInterrupt:
        fail("interrupted", EXIT_INTERRUPTED)
    except BrokenPipeError:
        return quiet_broken_pipe()
    except OSError as error:
        if error.errno == errno.EPIPE:
            return quiet_broken_pipe()
        fail(os_error_text(error))
    except MemoryError:
        fail("out of memory")
    except Exception as error:  # a fault of ours: still one line, with its kind
        fail(f"unexpected {type(error).__name__}: {one_line(error)}")
    finally:
        # The interpreter's last flush must find nothing it would complain of.
        for name, was_closed in closed.items():
            if was_closed:
                setattr(sys, name, None)

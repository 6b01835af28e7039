"""Process starts that Wine fails on its own, tried again.

Under Wine, CreateProcess now and then fails with ERROR_INTERNAL_ERROR (1359,
"Internal error") before the new process exists; it was seen about once in a
few thousand starts on this machine, in the harness's own start of a child
interpreter as much as in the module's start of the credential tool. Nothing
has run when it fails, so the start is simply made again, up to three times in
all. No other error, and no other platform, is affected.
"""
import subprocess
import sys

ERROR_INTERNAL_ERROR = 1359
TRIES = 3


def install():
    """Patch subprocess.Popen's process start in this interpreter (Windows only)."""
    if not sys.platform.startswith("win") or getattr(subprocess.Popen, "_wine_retry", False):
        return
    start = subprocess.Popen._execute_child

    def execute_child(self, *args, **kwargs):
        for attempt in range(TRIES):
            try:
                return start(self, *args, **kwargs)
            except OSError as exc:
                if getattr(exc, "winerror", None) != ERROR_INTERNAL_ERROR or attempt + 1 == TRIES:
                    raise

    subprocess.Popen._execute_child = execute_child
    subprocess.Popen._wine_retry = True

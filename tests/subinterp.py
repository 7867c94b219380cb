"""Running code in a second, non-isolated interpreter, on every CPython the
tests run on."""
import sys


def run_in_legacy_interpreter(code):
    """Runs `code` in a new, non-isolated interpreter; the text of the error
    it raised there, or None."""
    if sys.version_info >= (3, 13):
        # 3.13 renamed the module, takes the config by name and hands back a
        # snapshot of the error instead of raising.
        import _interpreters

        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.run_string(interp, code)
            return None if failure is None else failure.formatted
        finally:
            _interpreters.destroy(interp)
    import _xxsubinterpreters as interpreters

    # From 3.12 on an interpreter is isolated unless told otherwise, and an
    # isolated one refuses every module that is not multi-phase and per-
    # interpreter before ours can: ask for a legacy one, as 3.9 and 3.11 make.
    interp = interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()
    try:
        interpreters.run_string(interp, code)
        return None
    except interpreters.RunFailedError as e:
        return str(e)
    finally:
        interpreters.destroy(interp)

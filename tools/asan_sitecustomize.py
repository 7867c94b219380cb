"""Installed as `sitecustomize` into the check-asan overlay, so it runs first in
every interpreter of that run, the ones the tests start included.

pytest captures file descriptor 2, and a process that UBSan stops never shows
what was captured, so reports must go to files. libubsan does read log_path
from UBSAN_OPTIONS, but passes it on through __sanitizer_set_report_path, a
name the dynamic linker binds to libasan's copy (preloaded first): ASan's path
changes and UBSan keeps writing to fd 2. Calling libubsan's own copy, looked
up through its handle, sets UBSan's path.
"""
import ctypes
import os

ctypes.CDLL("libubsan.so.1").__sanitizer_set_report_path(
    os.environ["VORLANE_UBSAN_LOG"].encode())

"""The interpreter's thread states counted through its C API, for tests in
this process and in the child processes they start alike."""
import ctypes

_api = ctypes.PyDLL(None)
_api.PyInterpreterState_Get.restype = ctypes.c_void_p
for _f in (_api.PyInterpreterState_ThreadHead, _api.PyThreadState_Next):
    _f.restype, _f.argtypes = ctypes.c_void_p, [ctypes.c_void_p]


def count_all():
    """Every thread state of this interpreter, temporary and kept ones too."""
    n, t = 0, _api.PyInterpreterState_ThreadHead(_api.PyInterpreterState_Get())
    while t:
        n, t = n + 1, _api.PyThreadState_Next(t)
    return n

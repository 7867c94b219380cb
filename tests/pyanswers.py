"""What Python itself answers for a comparison, as the object kernels must:
the one model every kernel test checks against."""
import operator

PY = {"EQ": operator.eq, "NE": operator.ne, "LT": operator.lt,
      "GT": operator.gt, "GE": operator.ge, "LE": operator.le}


def python_says(name, a, b):
    """PyObject_RichCompareBool's answer: identity decides EQ and NE (a NaN
    equals itself); a comparison that raises anything means false."""
    if a is b and name in ("EQ", "NE"):
        return name == "EQ"
    try:
        return bool(PY[name](a, b))
    except Exception:
        return False

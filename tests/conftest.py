"""The tests exercise the installed vorlane (`make build`). `python -m pytest`
puts the work tree first on sys.path, where vorlane/ has no built modules."""
import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

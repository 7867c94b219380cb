"""`make demo` runs examples/demo.py: it must finish, check its own native
answers against Python's, and print its report."""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_demo_runs_and_reports(tmp_path):
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], capture_output=True,
                          text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stderr
    for line in ("graph: 40000 nodes", "value changed:", "merged graph:", "read back identical",
                 "time per phase:", "GraphBLAS threads"):
        assert line in proc.stdout

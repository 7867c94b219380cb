# Debian ships distutils for its 3.9 in a package that conflicts with
# bookworm's, and pip needs distutils on 3.9 unless told to take its install
# locations from sysconfig. Environments that pip or `build` create on the fly
# (build isolation) get this through PYTHONPATH; .venv has the same line as a
# .pth file.
import sysconfig

sysconfig._PIP_USE_SYSCONFIG = True

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("TARNWICK_BUILD_DIR", os.path.join(ROOT, "build"))
for path in (os.path.join(BUILD, "python"), ROOT):
    if path not in sys.path:
        sys.path.insert(0, path)

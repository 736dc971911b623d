"""Fails unless the wheel in the given directory ships a type stub beside every module."""

import sys
import zipfile
from pathlib import Path

MODULES = ("_kernels", "_ravelin", "_prepare", "_service")

wheels = sorted(Path(sys.argv[1]).glob("mirtaly-*.whl"))
if len(wheels) != 1:
    sys.exit(f"expected one wheel in {sys.argv[1]}, found {[w.name for w in wheels]}")
names = set(zipfile.ZipFile(wheels[0]).namelist())
missing = [m for m in MODULES if f"mirtaly/backtest/{m}.pyi" not in names]
if missing:
    sys.exit(f"{wheels[0].name} has no stubs for {missing}")
print(f"{wheels[0].name}: stubs for {', '.join(MODULES)}")

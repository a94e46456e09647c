"""Loads the tarnwick_vm_engine module from the shared object that tarnwick_parser came from.

Both modules live in one shared library. In the build tree the second module name is a symbolic link to
the library; a wheel cannot hold a symbolic link, and a second copy of the file would be a second copy of
the library's state (the native-binding registry, the shared values). So the installed package carries only
`tarnwick_parser` plus this file: opening the same path again makes the dynamic loader hand back the
library that is already mapped, and its `PyInit_tarnwick_vm_engine` creates the VM module from there.
"""
import importlib.machinery
import importlib.util
import sys

import tarnwick_parser as _parser


def _load():
    path = _parser.__file__
    loader = importlib.machinery.ExtensionFileLoader(__name__, path)
    module_spec = importlib.util.spec_from_file_location(__name__, path, loader=loader)
    module = importlib.util.module_from_spec(module_spec)
    # The import statement hands out whatever sys.modules holds once this file has run.
    sys.modules[__name__] = module
    loader.exec_module(module)


_load()

"""Tarnwick: a small dynamically typed scripting language with a native engine.

The engine itself is the pair of extension modules `tarnwick_parser` and `tarnwick_vm_engine`; this
package holds the command line (`python3 -m tarnwick`, or `tarnwick` when installed) and helpers that
read the engine's byte forms and error texts.
"""

__version__ = "0.1.0"

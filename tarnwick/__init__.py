"""Tarnwick: a small dynamically typed scripting language with a native engine."""

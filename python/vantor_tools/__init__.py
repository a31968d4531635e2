"""Command-line helpers that ship with VantorHardwareAPI (kept outside the module)."""

"""Companion tools of the Vantor Hardware API: the simulated devices, and
the programs that check a machine's ports."""

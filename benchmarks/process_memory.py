"""This process's memory as the memory rows of the benchmarks read it (Linux /proc)."""

from __future__ import annotations

import os


def rss_bytes() -> int:
    """The resident size now."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes() -> int:
    """The resident peak. Read from /proc rather than getrusage, whose figure a
    child started by exec inherits from its parent."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise OSError("no VmHWM in /proc/self/status")


def reset_peak_rss() -> None:
    """Sets the resident peak back to the present size (writing 5 to
    clear_refs); where the kernel refuses, the peak keeps what came before."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:
        pass

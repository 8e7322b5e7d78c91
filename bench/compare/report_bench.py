#!/usr/bin/env python3
"""The HTML report of a long spectrum: its size and how long headless Chromium takes to draw it.

A simulated gamma spectrum of 16 384 channels with 100 lines (20 of them in doublets) is fitted
and written with PeakFit.to_html; Chromium then loads it ROUNDS times. "Drawn" is the time from
the start of navigation to both plots drawn (the page's own clock, performance.now()); "script"
is the part of it from the start of the page's script (reading the data, building the table,
drawing). On a shared machine those clocks count the waits for other programs too, so the CPU
time that Chromium's processes spend on the page (read from /proc, the browser's own work
around the page included) is given as well. The size is checked: under 2 MB. The times are
printed, as every timing of `make bench`, with a warning when the page took a second or more.

Usage: report_bench.py [--markdown FILE]   (with the package on sys.path)
"""
import argparse
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python",
                                "tests"))
import headless_chromium  # noqa: E402
from simulated_gamma import gamma_spectrum  # noqa: E402

import vesk_numerics as vn  # noqa: E402

CHANNELS = 16384
LINES = 100
DOUBLETS = 10
ROUNDS = 5
MOST_BYTES = 2 * 1024 * 1024
MOST_DRAW_MS = 1000.0
TICKS = os.sysconf("SC_CLK_TCK")


def browser_cpu_ms(root):
    """CPU time (user and system) of process `root`'s descendants so far, in ms."""
    parent, ticks = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parent[int(entry)] = int(fields[1])
        ticks[int(entry)] = int(fields[11]) + int(fields[12])

    def descends(pid):
        while pid in parent and pid > 1:
            pid = parent[pid]
            if pid == root:
                return True
        return False
    return 1000.0 * sum(t for pid, t in ticks.items() if descends(pid)) / TICKS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", help="also write the table to this file")
    arguments = parser.parse_args()
    reason = headless_chromium.missing()
    if reason:
        sys.exit(f"report_bench: {reason}")
    x, counts, _ = gamma_spectrum(5, channels=CHANNELS, lines=LINES, doublets=DOUBLETS)
    fit = vn.fit_peaks(x, counts, errors="poisson")
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "report.html")
        fit.to_html(path, x, counts, file_name="simulated 16384-channel spectrum")
        size = os.path.getsize(path)
        driver = headless_chromium.start(os.path.join(scratch, "profile"))
        try:
            drawn, script, cpu = [], [], []
            root = driver.service.process.pid
            for _ in range(ROUNDS):
                driver.get("about:blank")
                before = browser_cpu_ms(root)
                errors = headless_chromium.open_report(driver, path)
                cpu.append(browser_cpu_ms(root) - before)
                if errors:
                    sys.exit(f"report_bench: the page reported errors: {errors}")
                started, finished = driver.execute_script(
                    "return [window.veskReport.startedAt, window.veskReport.drawnAt]")
                drawn.append(finished)
                script.append(finished - started)
        finally:
            driver.quit()
    rows = [f"| {CHANNELS} channels, {fit.peaks.size} lines in {fit.regions.size} regions | "
            f"{size / 1e6:.2f} | {np.median(cpu):.0f} | {np.median(drawn):.0f} | "
            f"{np.median(script):.0f} | {min(drawn):.0f}–{max(drawn):.0f} | "
            f"{os.getloadavg()[0]:.1f} |"]
    table = "\n".join(["| HTML report (headless Chromium) | MB | CPU ms (median) | drawn ms "
                       "(median) | page script ms | drawn ms, range | load average |",
                       "|---|---:|---:|---:|---:|---:|---:|"] + rows)
    print(table)
    if arguments.markdown:
        with open(arguments.markdown, "w", encoding="utf-8") as out:
            out.write(table + "\n")
    if np.median(drawn) >= MOST_DRAW_MS:
        print(f"report_bench: warning: the page took {np.median(drawn):.0f} ms to draw (load "
              f"average {os.getloadavg()[0]:.1f})")
    if size >= MOST_BYTES:
        sys.exit(f"report_bench: the report is {size} bytes; it must stay under {MOST_BYTES}")


if __name__ == "__main__":
    main()

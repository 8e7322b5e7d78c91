#!/usr/bin/env python3
"""A whole gamma spectrum, from counts to a table of lines: vesk_numerics' fit_peaks (search and
every region) against a scipy pipeline (find_peaks on the smoothed spectrum, then one curve_fit
with an analytic Jacobian per region) and against lmfit (a composite model per region, started
from scipy's peaks). All three are checked to find the lines before anything is timed.

Usage: peaks_bench.py [--markdown FILE]   (with the package on sys.path)
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python",
                                "tests"))
from simulated_gamma import FWHM_PER_SIGMA, gamma_spectrum, match_lines  # noqa: E402

from compare import publish  # noqa: E402

import lmfit  # noqa: E402
import scipy  # noqa: E402
from scipy.optimize import curve_fit  # noqa: E402
from scipy.signal import find_peaks, savgol_filter  # noqa: E402

import vesk_numerics as vn  # noqa: E402

# Runs of each way, the best of which is reported: this machine's speed changes by half within
# seconds, and the whole spectrum costs milliseconds, so ours and scipy's take many.
ROUNDS = 15
REACH_IN_FWHM = 2.5  # regions as the package cuts them


def regions_of(centres, sigmas, size):
    """Peaks whose ranges of +-2.5 FWHM overlap share a region: (first, last, peaks) rows."""
    regions = []
    for centre, sigma in sorted(zip(centres, sigmas)):
        reach = REACH_IN_FWHM * FWHM_PER_SIGMA * sigma
        lo, hi = max(0, int(centre - reach)), min(size - 1, int(centre + reach))
        if regions and lo <= regions[-1][1]:
            regions[-1][1] = max(regions[-1][1], hi)
            regions[-1][2].append((centre, sigma))
        else:
            regions.append([lo, hi, [(centre, sigma)]])
    return regions


class GaussianLines:
    """A linear background and Gaussian lines (amplitude, mean, sigma) as curve_fit's model and
    analytic Jacobian, vectorised over points and lines. MINPACK asks for the Jacobian where it
    has just evaluated the model: the exponentials of the last parameters are kept for it."""

    def __init__(self, x):
        self.column = x[:, None]
        self.last = None

    def _lines(self, p):
        if p != self.last:
            amplitude, mean, sigma = np.reshape(p[2:], (-1, 3)).T
            scaled = (self.column - mean) / sigma
            self.last, self.scaled = p, scaled
            self.shape, self.slope = np.exp(-0.5 * scaled * scaled), amplitude / sigma
            self.amplitude = amplitude
        return self.shape

    def model(self, x, *p):
        return p[0] + p[1] * x + self._lines(p) @ self.amplitude

    def jacobian(self, x, *p):
        shape = self._lines(p)
        jacobian = np.empty((x.size, len(p)))
        jacobian[:, 0] = 1.0
        jacobian[:, 1] = x
        per_line = jacobian[:, 2:].reshape(x.size, -1, 3)
        per_line[:, :, 0] = shape
        np.multiply(shape * self.scaled, self.slope, out=per_line[:, :, 1])
        np.multiply(per_line[:, :, 1], self.scaled, out=per_line[:, :, 2])
        return jacobian


def fit_lines(xs, ys, start):
    """curve_fit of GaussianLines from `start`, weighted by the counts' Poisson errors."""
    lines = GaussianLines(xs)
    p, _ = curve_fit(lines.model, xs, ys, p0=start, jac=lines.jacobian,
                     sigma=np.sqrt(np.maximum(ys, 1.0)), absolute_sigma=True, method="lm")
    return p


# find_peaks' prominence in standard deviations of the counts: at 5 it reports ten false peaks
# on this spectrum, at 10 one, at 15 none but loses weak lines; 10 is what a careful user picks.
PROMINENCE_IN_SIGMA = 10.0
# A careful user who knows the detector's resolution takes no "line" several times wider than
# it: such a maximum is the background's curvature or a cluster of lines, and it costs a fit.
WIDEST_IN_FWHM = 4.0
# The background starts as the line through the means of so many channels at either end.
EDGE_CHANNELS = 3


def scipy_search(x, counts, fwhm):
    """Lines that stand out of the smoothed spectrum by PROMINENCE_IN_SIGMA standard deviations,
    no wider than WIDEST_IN_FWHM resolutions; one find_peaks call."""
    window = 2 * int(fwhm) + 1
    smoothed = savgol_filter(counts, window, 2)
    found, properties = find_peaks(
        smoothed, prominence=PROMINENCE_IN_SIGMA * np.sqrt(np.maximum(smoothed, 1.0)),
        width=(0.5 * fwhm, WIDEST_IN_FWHM * fwhm))
    return x[found], properties["widths"] / FWHM_PER_SIGMA, smoothed[found]


def start_values(xs, ys, lines, height_of):
    """The background through the region's ends; each line's height above it, at its width from
    the search."""
    left, right = ys[:EDGE_CHANNELS].mean(), ys[-EDGE_CHANNELS:].mean()
    x_left, x_right = xs[:EDGE_CHANNELS].mean(), xs[-EDGE_CHANNELS:].mean()
    slope = (right - left) / (x_right - x_left)
    intercept = left - slope * x_left
    start = [intercept, slope]
    for centre, sigma in lines:
        start += [height_of[centre] - intercept - slope * centre, centre, sigma]
    return start


def scipy_pipeline(x, counts, fwhm):
    centres, sigmas, heights = scipy_search(x, counts, fwhm)
    height_of = dict(zip(centres, heights))
    results = []
    for first, last, lines in regions_of(centres, sigmas, x.size):
        xs, ys = x[first:last + 1], counts[first:last + 1]
        p = fit_lines(xs, ys, start_values(xs, ys, lines, height_of))
        results += [(mean, amplitude * abs(sigma) * np.sqrt(2 * np.pi))
                    for amplitude, mean, sigma in np.reshape(p[2:], (-1, 3))]
    return results


def lmfit_pipeline(x, counts, fwhm):
    centres, sigmas, heights = scipy_search(x, counts, fwhm)
    height_of = dict(zip(centres, heights))
    results = []
    for first, last, lines in regions_of(centres, sigmas, x.size):
        xs, ys = x[first:last + 1], counts[first:last + 1]
        composite = lmfit.models.LinearModel(prefix="b_")
        params = composite.make_params(b_slope=0.0, b_intercept=ys.min())
        for k, (centre, sigma) in enumerate(lines):
            line = lmfit.models.GaussianModel(prefix=f"g{k}_")
            composite = composite + line
            params.update(line.make_params(**{
                f"g{k}_amplitude": (height_of[centre] - ys.min()) * sigma * np.sqrt(2 * np.pi),
                f"g{k}_center": centre, f"g{k}_sigma": sigma}))
        fitted = composite.fit(ys, params, x=xs, weights=1.0 / np.sqrt(np.maximum(ys, 1.0)))
        results += [(fitted.params[f"g{k}_center"].value, fitted.params[f"g{k}_amplitude"].value)
                    for k in range(len(lines))]
    return results


MONITOR_SPECTRA, MONITOR_CHANNELS, LMFIT_MONITOR = 10_000, 400, 500
MONITOR_LINES = (120.0, 260.0)


def monitor():
    """A detector watched over time: 10 000 spectra of 400 channels, two known lines of drifting
    strength on a sloping background, as counts."""
    rng = np.random.default_rng(9)
    x = np.arange(float(MONITOR_CHANNELS))
    strength = 1.0 + 0.5 * np.sin(np.arange(MONITOR_SPECTRA) / 70.0)
    expected = 30.0 - 0.03 * x + strength[:, None] * (
        300.0 * np.exp(-0.5 * ((x - 120.0) / 3.0) ** 2) +
        150.0 * np.exp(-0.5 * ((x - 260.0) / 3.5) ** 2))
    return x, rng.poisson(expected).astype(float)


def monitor_windows(x):
    """The channels of each line's region, as fit_peaks_many cuts them (+-2.5 FWHM)."""
    return [np.flatnonzero(np.abs(x - line) <= REACH_IN_FWHM * FWHM_PER_SIGMA * 3.2)
            for line in MONITOR_LINES]


def scipy_monitor(x, spectra):
    windows = monitor_windows(x)
    areas = []
    for counts in spectra:
        for line, window in zip(MONITOR_LINES, windows):
            xs, ys = x[window], counts[window]
            p = fit_lines(xs, ys, [ys.min(), 0.0, ys.max() - ys.min(), line, 3.2])
            areas.append(p[2] * abs(p[4]) * np.sqrt(2 * np.pi))
    return np.array(areas).reshape(len(spectra), len(MONITOR_LINES))


def lmfit_monitor(x, spectra):
    windows = monitor_windows(x)
    line_model = lmfit.models.LinearModel(prefix="b_") + lmfit.models.GaussianModel(prefix="g_")
    areas = []
    for counts in spectra:
        for line, window in zip(MONITOR_LINES, windows):
            xs, ys = x[window], counts[window]
            params = line_model.make_params(b_intercept=ys.min(), b_slope=0.0,
                                            g_amplitude=(ys.max() - ys.min()) * 8.0,
                                            g_center=line, g_sigma=3.2)
            fitted = line_model.fit(ys, params, x=xs, weights=1.0 / np.sqrt(np.maximum(ys, 1.0)))
            areas.append(fitted.params["g_amplitude"].value)
    return np.array(areas).reshape(len(spectra), len(MONITOR_LINES))


def monitor_rows():
    """fit_peaks_many on the monitor's spectra against a curve_fit loop and an lmfit loop (on
    fewer spectra), per spectrum; all three must agree on the areas first."""
    x, spectra = monitor()
    start = time.perf_counter()
    ours = vn.fit_peaks_many(x, spectra, peaks=MONITOR_LINES, errors="poisson", workers=2)
    ours_s = time.perf_counter() - start
    if not ours["ok"].all():
        sys.exit("fit_peaks_many: a region failed on the monitor's spectra")
    start = time.perf_counter()
    scipy_areas = scipy_monitor(x, spectra)
    scipy_s = time.perf_counter() - start
    start = time.perf_counter()
    lmfit_areas = lmfit_monitor(x, spectra[:LMFIT_MONITOR])
    lmfit_s = time.perf_counter() - start
    # Least squares with sqrt(y) weights and the likelihood differ by a fraction of an error.
    for name, areas in (("curve_fit", scipy_areas), ("lmfit", lmfit_areas)):
        if np.median(np.abs(areas - ours["area"][:len(areas)]) / ours["area_err"][:len(areas)]) > 0.5:
            sys.exit(f"fit_peaks_many and the {name} loop disagree on the areas")
    per = [ours_s / MONITOR_SPECTRA, scipy_s / MONITOR_SPECTRA, lmfit_s / LMFIT_MONITOR]
    return [(f"fit_peaks_many, 2 workers (search-free, widths estimated)", per[0], ""),
            ("curve_fit loop, one fit per line region", per[1], f"{per[1] / per[0]:.1f}×"),
            (f"lmfit loop ({LMFIT_MONITOR} spectra), one fit per line region", per[2],
             f"{per[2] / per[0]:.0f}×")]


def best_time(call, rounds=ROUNDS):
    best = np.inf
    for _ in range(rounds):
        before = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - before)
    return best


def found_fraction(results, true):
    means = np.array([m for m, _ in results])
    return np.mean([np.min(np.abs(means - line[0])) < line[2] for line in true]) if len(means) else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", help="also write the table to this file")
    args = parser.parse_args()
    fwhm = 6.0
    x, counts, true = gamma_spectrum(1, channels=8192, fwhm=lambda x: fwhm + 0.0 * x)

    ours = vn.fit_peaks(x, counts, errors="poisson")
    pairs, missed, false = match_lines(ours.peaks, true)
    if missed or len(false) > 2 or not ours.regions["ok"].all():
        sys.exit(f"fit_peaks: {len(missed)} lines missed, {len(false)} false peaks")
    peers = {"scipy": scipy_pipeline(x, counts, fwhm), "lmfit": lmfit_pipeline(x, counts, fwhm)}
    for name, results in peers.items():
        if found_fraction(results, true) < 0.8:
            sys.exit(f"the {name} pipeline finds too few lines to be compared")

    # The peers are given the detector's FWHM (their smoothing window and width limits); so is
    # fit_peaks in the second pair of rows, while the first pair estimates it from the data.
    given = vn.fit_peaks(x, counts, errors="poisson", fwhm=fwhm)
    given_pairs, given_missed, given_false = match_lines(given.peaks, true)
    if given_missed or len(given_false) > 2 or not given.regions["ok"].all():
        sys.exit(f"fit_peaks given the FWHM: {len(given_missed)} lines missed, "
                 f"{len(given_false)} false peaks")
    workers = os.cpu_count()
    for one, settings in ((ours, {}), (given, {"fwhm": fwhm})):
        threaded = vn.fit_peaks(x, counts, errors="poisson", workers=workers, **settings)
        if not all(np.array_equal(one.peaks[name], threaded.peaks[name], equal_nan=True)
                   for name in one.peaks.dtype.names):
            sys.exit(f"fit_peaks with {workers} workers differs from one")
    # Our four ways timed in turns, so that a busy spell of the machine falls on all.
    ways = [{}, {"workers": workers}, {"fwhm": fwhm}, {"fwhm": fwhm, "workers": workers}]
    ours_s = [np.inf] * len(ways)
    for _ in range(ROUNDS):
        for k, settings in enumerate(ways):
            ours_s[k] = min(ours_s[k], best_time(
                lambda: vn.fit_peaks(x, counts, errors="poisson", **settings), 1))
    scipy_s = best_time(lambda: scipy_pipeline(x, counts, fwhm))
    lmfit_s = best_time(lambda: lmfit_pipeline(x, counts, fwhm), rounds=2)
    scipy_found = int(round(found_fraction(peers["scipy"], true) * len(true)))
    lmfit_found = int(round(found_fraction(peers["lmfit"], true) * len(true)))
    found = len(true) - len(missed)
    given_found = len(true) - len(given_missed)
    rows = [("vesk_numerics fit_peaks (search, width estimated, every region, Poisson "
             "likelihood), one thread", ours_s[0], found, None),
            (f"the same, workers={workers} (the same numbers to the last bit)", ours_s[1], found,
             None),
            ("fit_peaks given the FWHM, as the peers are (fwhm=6), one thread", ours_s[2],
             given_found, None),
            (f"the same, workers={workers}", ours_s[3], given_found, None),
            ("scipy: find_peaks + curve_fit per region (analytic Jacobian)", scipy_s, scipy_found,
             scipy_s),
            ("lmfit: composite model per region, from scipy's peaks", lmfit_s, lmfit_found,
             lmfit_s)]
    lines = ["| 8 192-channel gamma spectrum, 40 lines | ms (best of runs) | lines found | "
             f"peer / vesk, width estimated: one thread | {workers} workers | "
             f"peer / vesk, FWHM given: one thread | {workers} workers |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for name, seconds, lines_found, peer_s in rows:
        ratios = ["" if peer_s is None else f"{peer_s / ours:.1f}×" for ours in ours_s]
        lines.append(f"| {name} | {seconds * 1e3:.2f} | {lines_found} of {len(true)} | "
                     + " | ".join(ratios) + " |")
    lines += ["", f"| {MONITOR_SPECTRA} spectra × {MONITOR_CHANNELS} channels, two known lines "
              "(counts) | µs per spectrum | | peer / vesk |", "|---|---:|---:|---:|"]
    for name, seconds, ratio in monitor_rows():
        lines.append(f"| {name} | {seconds * 1e6:.1f} | | {ratio} |")
    header = (f"A whole spectrum from counts to lines; fit_peaks finds all {len(true)} lines with "
              f"{len(false)} false peaks ({len(given_false)} given the FWHM), each within 5 "
              f"errors of the truth. scipy "
              f"{scipy.__version__}, lmfit {lmfit.__version__}, {os.cpu_count()} cores.")
    publish(header, "\n".join(lines), args.markdown)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The spectrum engine's line shapes against its Gaussian and against their peers, in one run:

- the 8 192-channel gamma spectrum of peaks_bench.py, searched and fitted with every shape, each
  timed against the Gaussian fit (target: at most 3x);
- a window of five overlapping pseudo-Voigt lines on a linear background, against scipy's
  curve_fit with an analytic Jacobian (target: at least 10x);
- five overlapping Voigt lines on a linear background, against lmfit's composite model of
  VoigtModels and a LinearModel (target: at least 30x).

The library's fits run in the compare_shapes program (C++, no Python around them), and the window
fits also through the Python package when it can be imported (PYTHONPATH), its argument checks
and result arrays included; the peers are timed here. Before any time is compared, the window fits must agree: every line's position,
widths and area within 1e-4 relative where both converge, and the library's chisq no higher.

Usage: shapes_bench.py BUILD_DIR [--markdown FILE]
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python",
                                "tests"))
from simulated_gamma import gamma_spectrum  # noqa: E402

from compare import publish  # noqa: E402

import lmfit  # noqa: E402
import scipy  # noqa: E402
from scipy.optimize import curve_fit  # noqa: E402
from scipy.special import voigt_profile  # noqa: E402

AGREEMENT = 1e-4  # relative, on every compared quantity of every line
BUDGET_SECONDS = 0.5  # each peer's fit is repeated for about this long; the median counts
# The window fits are timed in turns, the library's and the peer's, this many times: a machine
# whose speed drifts (other jobs, a VM's neighbours) then slows both alike, and the median of the
# rounds' ratios is what is compared.
ROUNDS = 5
# lmfit's Voigt fit takes most of a second (a numerical Jacobian of 22 parameters): fewer runs.
MIN_RUNS = {"pseudo_voigt": 7, "voigt": 3}
LN2 = np.log(2.0)
FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * LN2)

# Five lines 1.3 to 1.6 FWHM apart on a sloping background, sampled every 0.1 x units.
X = np.linspace(0.0, 60.0, 601)
WINDOW = (8.0, 46.0)
CENTRES = np.array([18.0, 22.5, 27.0, 31.0, 36.0])
HEIGHTS = np.array([120.0, 200.0, 90.0, 160.0, 140.0])
BACKGROUND = (15.0, 0.2)
NOISE = 2.0
START_FWHM = 3.0  # the width the fits start from, as a user reads it off the plot
PV_FWHM = np.array([3.0, 3.4, 2.8, 3.6, 3.2])
PV_ETA = np.array([0.3, 0.6, 0.45, 0.7, 0.5])
VOIGT_SIGMA = np.array([1.0, 1.2, 0.9, 1.3, 1.1])
VOIGT_GAMMA = np.array([0.6, 0.8, 0.5, 0.9, 0.7])


def pseudo_voigt(t, height, half_width, eta):
    u = t / half_width
    return height * ((1.0 - eta) * np.exp(-LN2 * u * u) + eta / (1.0 + u * u))


def window_data(kind, seed):
    """x, y of five overlapping lines of `kind` ("pseudo_voigt" or "voigt") on a line, with
    normal noise; only the window's points."""
    rng = np.random.default_rng(seed)
    y = BACKGROUND[0] + BACKGROUND[1] * X + rng.normal(0.0, NOISE, X.size)
    for k, centre in enumerate(CENTRES):
        if kind == "pseudo_voigt":
            y += pseudo_voigt(X - centre, HEIGHTS[k], PV_FWHM[k] / 2.0, PV_ETA[k])
        else:
            profile = voigt_profile(X - centre, VOIGT_SIGMA[k], VOIGT_GAMMA[k])
            y += HEIGHTS[k] * profile / voigt_profile(0.0, VOIGT_SIGMA[k], VOIGT_GAMMA[k])
    inside = (X >= WINDOW[0]) & (X <= WINDOW[1])
    return X[inside], y[inside]


def write_columns(path, x, y):
    with open(path, "w") as out:
        for xi, yi in zip(x, y):
            out.write(f"{xi:.17g} {yi:.17g}\n")


def run_json_lines(command):
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in output.splitlines() if line.strip()]


def median_seconds(call, min_runs):
    times = []
    start = time.perf_counter()
    while len(times) < min_runs or time.perf_counter() - start < BUDGET_SECONDS:
        before = time.perf_counter()
        call()
        times.append(time.perf_counter() - before)
    return float(np.median(times))


def start_values(x, y):
    """The line through the window's ends (intercept, slope), and each line's height above it
    at its position."""
    slope = (y[-1] - y[0]) / (x[-1] - x[0])
    intercept = y[0] - slope * x[0]
    return intercept, slope, np.interp(CENTRES, x, y) - (intercept + slope * CENTRES)


class PseudoVoigtLines:
    """A linear background and pseudo-Voigt lines (height, position, half width, eta) as
    curve_fit's model and analytic Jacobian, vectorised over points and lines; the Jacobian
    reuses what the model computed at the same parameters."""

    def __init__(self, x):
        self.column = x[:, None]
        self.last = None

    def _terms(self, p):
        if p != self.last:
            height, centre, half_width, eta = np.reshape(p[2:], (-1, 4)).T
            u = (self.column - centre) / half_width
            gauss = np.exp(-LN2 * u * u)
            lorentz = 1.0 / (1.0 + u * u)
            self.last = p
            self.u, self.gauss, self.lorentz = u, gauss, lorentz
            self.height, self.half_width, self.eta = height, half_width, eta
            self.profile = (1.0 - eta) * gauss + eta * lorentz
        return self.profile

    def model(self, x, *p):
        return p[0] + p[1] * x + self._terms(p) @ self.height

    def jacobian(self, x, *p):
        profile = self._terms(p)
        u, gauss, lorentz, eta = self.u, self.gauss, self.lorentz, self.eta
        jacobian = np.empty((x.size, len(p)))
        jacobian[:, 0] = 1.0
        jacobian[:, 1] = x
        per_line = jacobian[:, 2:].reshape(x.size, -1, 4)
        per_line[:, :, 0] = profile
        # d(profile)/du, times -height / half_width: the derivative by the position.
        by_u = -2.0 * u * ((1.0 - eta) * LN2 * gauss + eta * lorentz * lorentz)
        by_centre = by_u * (-self.height / self.half_width)
        per_line[:, :, 1] = by_centre
        per_line[:, :, 2] = by_centre * u
        per_line[:, :, 3] = self.height * (lorentz - gauss)
        return jacobian


def scipy_pseudo_voigt(x, y):
    intercept, slope, heights = start_values(x, y)
    start = [intercept, slope]
    for height, centre in zip(heights, CENTRES):
        start += [height, centre, START_FWHM / 2.0, 0.5]
    lines = PseudoVoigtLines(x)

    def fit():
        return curve_fit(lines.model, x, y, p0=start, jac=lines.jacobian, method="lm")[0]

    p = fit()
    chisq = float(np.sum((lines.model(x, *p) - y) ** 2))
    rows = []
    for height, centre, half_width, eta in np.reshape(p[2:], (-1, 4)):
        half_width = abs(half_width)
        area = height * half_width * ((1.0 - eta) * np.sqrt(np.pi / LN2) + np.pi * eta)
        rows.append({"mean": centre, "fwhm": 2.0 * half_width, "eta": eta, "area": area})
    return fit, rows, chisq


def lmfit_voigt(x, y):
    intercept, slope, heights = start_values(x, y)
    composite = lmfit.models.LinearModel(prefix="b_")
    params = composite.make_params(b_intercept=intercept, b_slope=slope)
    sigma, gamma = START_FWHM / 3.6, START_FWHM / 6.0
    for k, (height, centre) in enumerate(zip(heights, CENTRES)):
        line = lmfit.models.VoigtModel(prefix=f"v{k}_")
        composite = composite + line
        area = height / voigt_profile(0.0, sigma, gamma)
        params.update(line.make_params(**{f"v{k}_amplitude": area, f"v{k}_center": centre,
                                          f"v{k}_sigma": sigma}))
        # lmfit ties gamma to sigma unless told otherwise; the lines' Lorentzian widths are free.
        params[f"v{k}_gamma"].set(value=gamma, vary=True, expr="", min=0.0)

    def fit():
        return composite.fit(y, params, x=x)

    result = fit()
    rows = [{"mean": result.params[f"v{k}_center"].value,
             "sigma": result.params[f"v{k}_sigma"].value,
             "gamma": result.params[f"v{k}_gamma"].value,
             "area": result.params[f"v{k}_amplitude"].value} for k in range(CENTRES.size)]
    return fit, rows, float(np.sum(result.residual ** 2)), result.success


def library_window(build_dir, shape, path):
    command = [os.path.join(build_dir, "bench", "compare_shapes"), "window", shape,
               str(WINDOW[0]), str(WINDOW[1]), str(START_FWHM), path] + [str(c) for c in CENTRES]
    return run_json_lines(command)[0]


def disagreement(ours, theirs, keys):
    """The largest relative difference over the lines and the keys."""
    worst = 0.0
    for mine, peer in zip(sorted(ours, key=lambda r: r["mean"]),
                          sorted(theirs, key=lambda r: r["mean"])):
        for key in keys:
            scale = max(abs(mine[key]), abs(peer[key]))
            worst = max(worst, abs(mine[key] - peer[key]) / scale if scale > 0 else 0.0)
    return worst


def window_rows(build_dir, data_dir):
    rows = []
    peers = (("pseudo_voigt", "scipy curve_fit, analytic Jacobian", scipy_pseudo_voigt,
              ("mean", "fwhm", "eta", "area"), 10.0),
             ("voigt", "lmfit 5 × VoigtModel + LinearModel", lmfit_voigt,
              ("mean", "sigma", "gamma", "area"), 30.0))
    for shape, peer_name, peer, keys, target in peers:
        x, y = window_data(shape, seed=11)
        path = os.path.join(data_dir, f"window_{shape}.txt")
        write_columns(path, x, y)
        ours = library_window(build_dir, shape, path)
        if ours["status"] != 0:
            sys.exit(f"{shape} window: the library's fit failed (status {ours['status']})")
        fit, theirs, chisq, *converged = peer(x, y)
        if converged and not converged[0]:
            sys.exit(f"{shape} window: {peer_name} did not converge")
        worst = disagreement(ours["lines"], theirs, keys)
        if worst > AGREEMENT or ours["chisq"] > chisq * (1.0 + 1e-9):
            sys.exit(f"{shape} window: the library and {peer_name} disagree (worst relative "
                     f"difference {worst:.1e}, chisq {ours['chisq']:.6g} vs {chisq:.6g})")
        ours_us, peer_us, python_us = [], [], []
        from_python = python_window(shape, x, y)
        for _ in range(ROUNDS):
            ours_us.append(library_window(build_dir, shape, path)["us"])
            peer_us.append(median_seconds(fit, MIN_RUNS[shape]) * 1e6)
            if from_python:
                python_us.append(median_seconds(from_python, MIN_RUNS[shape]) * 1e6)
        ratio = float(np.median(np.array(peer_us) / np.array(ours_us)))
        rows.append((shape, x.size, float(np.median(ours_us)), peer_name, float(np.median(peer_us)),
                     ratio, target, worst, ours["chisq"], chisq))
        if python_us:
            rows.append((f"{shape}, from Python (`vn.fit_peaks`)", x.size,
                         float(np.median(python_us)), peer_name, float(np.median(peer_us)),
                         float(np.median(np.array(peer_us) / np.array(python_us))), target, worst,
                         ours["chisq"], chisq))
    return rows


def python_window(shape, x, y):
    """The same fit through the Python package (its argument checks and result arrays
    included), when the package can be imported; None otherwise."""
    try:
        import vesk_numerics as vn
    except ImportError:
        return None

    def fit():
        return vn.fit_peaks(x, y, peaks=CENTRES, shape=shape, fwhm=START_FWHM, window=WINDOW)

    return fit


def spectrum_rows(build_dir, data_dir):
    x, counts, _ = gamma_spectrum(1, channels=8192, fwhm=lambda x: 6.0 + 0.0 * x)
    path = os.path.join(data_dir, "gamma_spectrum.txt")
    write_columns(path, x, counts)
    shapes = run_json_lines([os.path.join(build_dir, "bench", "compare_shapes"), "spectrum", path])
    gaussian = next(s for s in shapes if s["shape"] == "gaussian")
    return [(s["shape"], s["ms"], s["ms"] / gaussian["ms"], s["lines"], s["regions"],
             s["failed_regions"]) for s in shapes]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--markdown", help="also write the tables to this file")
    args = parser.parse_args()
    data_dir = os.path.join(args.build_dir, "compare-data")
    os.makedirs(data_dir, exist_ok=True)

    lines = ["| 8 192-channel gamma spectrum (peaks_bench.py's), search and every region | ms "
             "(median) | / gaussian | lines | regions | failed regions |",
             "|---|---:|---:|---:|---:|---:|"]
    for shape, ms, ratio, found, regions, failed in spectrum_rows(args.build_dir, data_dir):
        target = "" if shape in ("gaussian", "lorentzian") else " (target ≤ 3×)"
        lines.append(f"| {shape} | {ms:.2f} | {ratio:.2f}×{target} | {found} | {regions} | "
                     f"{failed} |")
    lines += ["", "| window of 5 overlapping lines, linear background | points | vesk µs "
              "(median) | peer | peer µs (median) | peer / vesk (median of rounds) | "
              "worst relative difference | chisq vesk / peer |",
              "|---|---:|---:|---|---:|---:|---:|---:|"]
    for shape, points, ours, peer, theirs, ratio, target, worst, chisq, peer_chisq in \
            window_rows(args.build_dir, data_dir):
        lines.append(f"| {shape} | {points} | {ours:.1f} | {peer} | {theirs:.1f} | {ratio:.1f}× "
                     f"(target ≥ {target:.0f}×) | {worst:.1e} | {chisq:.6g} / {peer_chisq:.6g} |")
    header = (f"Line shapes: the library's fits in C++ (compare_shapes), the peers from Python; "
              f"window fits agree to {AGREEMENT:g} relative before they are timed, and are timed "
              f"in {ROUNDS} rounds of both in turn. scipy "
              f"{scipy.__version__}, lmfit {lmfit.__version__}, {os.cpu_count()} cores.")
    publish(header, "\n".join(lines), args.markdown)


if __name__ == "__main__":
    main()

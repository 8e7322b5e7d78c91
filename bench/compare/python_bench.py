#!/usr/bin/env python3
"""Fits from Python: the vesk_numerics package against scipy's curve_fit (analytic Jacobian) and
lmfit's GaussianModel() + ConstantModel(), on identical data from the library's own start values.

Per fit at a few point counts, the package's call overhead over the C++ fit, and a batch of
10 000 peaks x 100 points through fit_many (1 and 2 workers) against a curve_fit loop and an
lmfit loop. Agreement on the optimum is checked before anything is timed. Prints a Markdown
table.

Usage: python_bench.py BUILD_DIR [--markdown FILE]   (with BUILD_DIR/python on sys.path)
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402  the data files, model and timing of the C++ comparison

import lmfit  # noqa: E402
import scipy  # noqa: E402
from scipy.optimize import curve_fit  # noqa: E402

import vesk_numerics as vn  # noqa: E402

SIZES = (16, 100, 1000)
BATCH_PEAKS, BATCH_POINTS = 10_000, 100
LMFIT_BATCH = 1_000  # lmfit is timed on fewer peaks and reported per fit
LMFIT_AGREEMENT = 1e-5  # lmfit stops at its own default tolerances
# Over ten thousand noisy peaks a parameter now and then is defined by double precision only to
# about 1e-8 relative (chi-square is flat to second order at the optimum), so the batch is
# checked against the reported errors instead: every peer within this fraction of one error.
BATCH_AGREEMENT_IN_ERRORS = 1e-3


def batch_data():
    rng = np.random.default_rng(2026)
    x = np.linspace(-5.0, 5.0, BATCH_POINTS)
    means = rng.uniform(-1.0, 1.0, BATCH_PEAKS)
    sigmas = rng.uniform(0.6, 1.5, BATCH_PEAKS)
    ys = 3.0 * np.exp(-0.5 * ((x - means[:, None]) / sigmas[:, None]) ** 2) + 0.7
    return x, ys + rng.normal(0.0, 0.05, ys.shape)


def lmfit_model():
    model = lmfit.models.GaussianModel() + lmfit.models.ConstantModel()
    return model


def lmfit_fit(model, x, y, start):
    a, mu, v, c = start
    sigma = np.sqrt(v)
    params = model.make_params(amplitude=a * sigma * np.sqrt(2 * np.pi), center=mu, sigma=sigma,
                               c=c)
    return model.fit(y, params, x=x)


def lmfit_values(result):
    """lmfit's result as (A, mu, v, c) of the library's model."""
    p = result.params
    sigma = p["sigma"].value
    return [p["amplitude"].value / (sigma * np.sqrt(2 * np.pi)), p["center"].value, sigma ** 2,
            p["c"].value]


def scipy_fit(x, y, start):
    with np.errstate(over="ignore"):  # curve_fit's trial steps may overflow exp on the way
        return curve_fit(compare.model, x, y, p0=start, jac=compare.jacobian, method="lm",
                         xtol=compare.TOLERANCE, ftol=compare.TOLERANCE,
                         gtol=compare.TOLERANCE)[0]


def values(result):
    return [result.amplitude, result.mean, result.variance, result.offset]


def agree(a, b, tolerance):
    return all(abs(p - q) <= tolerance * max(abs(p), abs(q)) for p, q in zip(a, b))


def best_median(call):
    return min(compare.median_seconds(call) for _ in range(compare.ROUNDS))


def per_fit_rows(build_dir):
    files = {n: os.path.join(build_dir, "compare-data", f"peak_{n}.txt") for n in SIZES}
    arrays = {n: compare.write_peak(path, n) for n, path in files.items()}
    library_command = [os.path.join(build_dir, "bench", "compare_library")] + \
                      [files[n] for n in SIZES]
    library = compare.run_json_lines(library_command)
    for _ in range(compare.ROUNDS - 1):  # the C++ times as the C++ comparison takes them
        for best, again in zip(library, compare.run_json_lines(library_command)):
            best["us_per_fit"] = min(best["us_per_fit"], again["us_per_fit"])
    fitter = vn.GaussFit(accuracy=compare.TOLERANCE)
    model = lmfit_model()
    rows = []
    for n, cpp in zip(SIZES, library):
        x, y = arrays[n]
        start = cpp["start"]
        ours = fitter.fit(x, y)
        if values(ours) != cpp["params"]:
            sys.exit(f"n={n}: the package and the C++ library differ: {values(ours)} vs "
                     f"{cpp['params']}")
        if not agree(values(ours), scipy_fit(x, y, start), compare.AGREEMENT):
            sys.exit(f"n={n}: the package and curve_fit disagree")
        fitted = lmfit_fit(model, x, y, start)
        if not agree(values(ours), lmfit_values(fitted), LMFIT_AGREEMENT):
            sys.exit(f"n={n}: the package and lmfit disagree")
        if ours.chisq > fitted.chisqr * (1 + 1e-12):
            sys.exit(f"n={n}: lmfit found a lower chi-square ({fitted.chisqr} < {ours.chisq})")
        py_us = best_median(lambda: fitter.fit(x, y)) * 1e6
        cpp_us = cpp["us_per_fit"]
        scipy_us = best_median(lambda: scipy_fit(x, y, start)) * 1e6
        lmfit_us = best_median(lambda: lmfit_fit(model, x, y, start)) * 1e6
        rows.append((n, py_us, cpp_us, scipy_us, lmfit_us))
    return rows


def call_overhead_us():
    """A call that reaches the library but fits nothing (too few points): the binding's own
    cost of converting the arguments and returning a record."""
    fitter = vn.GaussFit()
    x, y = np.arange(4.0), np.ones(4)
    return best_median(lambda: fitter.fit(x, y)) * 1e6


def timed(call):
    before = time.perf_counter()
    result = call()
    return result, time.perf_counter() - before


def batch_rows():
    x, ys = batch_data()
    ours, one_worker = timed(lambda: vn.fit_many(x, ys, accuracy=compare.TOLERANCE))
    again, two_workers = timed(lambda: vn.fit_many(x, ys, accuracy=compare.TOLERANCE, workers=2))
    if not np.array_equal(ours, again):
        sys.exit("fit_many with 2 workers differs from 1 worker")
    fields = ("amplitude", "mean", "variance", "offset")
    optima = [[r[name] for name in fields] for r in ours]
    errors = [[r[name + "_err"] for name in fields] for r in ours]

    def within_errors(i, params):
        return all(abs(p - q) <= BATCH_AGREEMENT_IN_ERRORS * e
                   for p, q, e in zip(optima[i], params, errors[i]))

    # The peers start every peak from the batch's true shape, closer than the package's own
    # start values from the data: if anything, that favours them.
    start = [3.0, 0.0, 1.0, 0.7]
    scipy_params, scipy_seconds = timed(lambda: [scipy_fit(x, y, start) for y in ys])
    model = lmfit_model()
    lmfit_results, lmfit_seconds = timed(lambda: [lmfit_fit(model, x, y, start)
                                                  for y in ys[:LMFIT_BATCH]])
    for i, row in enumerate(ours):
        if not row["ok"] or not within_errors(i, scipy_params[i]):
            sys.exit(f"batch peak {i}: the package and curve_fit disagree")
        if i < LMFIT_BATCH and not within_errors(i, lmfit_values(lmfit_results[i])):
            sys.exit(f"batch peak {i}: the package and lmfit disagree")
    per_fit = {name: seconds / count * 1e6 for name, seconds, count in (
        ("one", one_worker, BATCH_PEAKS), ("two", two_workers, BATCH_PEAKS),
        ("scipy", scipy_seconds, BATCH_PEAKS), ("lmfit", lmfit_seconds, LMFIT_BATCH))}
    return per_fit


def careful_start(x, y):
    """What a careful user hands curve_fit: the height above the lowest value, the position of
    the maximum, the width at half maximum (as sigma), and the lowest value as the offset."""
    low, top = y.min(), y.argmax()
    above_half = np.flatnonzero(y - low >= 0.5 * (y[top] - low))
    fwhm = x[above_half[-1]] - x[above_half[0]]
    return [y[top] - low, x[top], (fwhm / 2.3548) ** 2, low]


def default_batch_rows():
    """The batch with the normal-equations solver at a new fitter's accuracy, against a
    curve_fit loop at its default tolerances from careful start values."""
    x, ys = batch_data()
    ours, seconds = timed(lambda: vn.fit_many(x, ys, solver="normal_equations", workers=2))
    starts = [careful_start(x, y) for y in ys]
    scipy_params, scipy_seconds = timed(lambda: [
        curve_fit(compare.model, x, y, p0=start, jac=compare.jacobian, method="lm")[0]
        for y, start in zip(ys, starts)])
    fields = ("amplitude", "mean", "variance", "offset")
    for i, row in enumerate(ours):
        if not row["ok"] or any(abs(row[name] - q) > 1e-2 * row[name + "_err"]
                                for name, q in zip(fields, scipy_params[i])):
            sys.exit(f"batch peak {i}: normal equations and curve_fit at default tolerances "
                     "disagree")
    return seconds / BATCH_PEAKS * 1e6, scipy_seconds / BATCH_PEAKS * 1e6


def markdown(rows, overhead, batch, default_batch):
    lines = ["| fits from Python | vesk_numerics µs | C++ fit µs | overhead µs | curve_fit µs "
             "| curve_fit / vesk | lmfit µs | lmfit / vesk |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for n, py_us, cpp_us, scipy_us, lmfit_us in rows:
        lines.append(f"| one fit, n = {n} | {py_us:.1f} | {cpp_us:.1f} | {py_us - cpp_us:+.1f} | "
                     f"{scipy_us:.1f} | {scipy_us / py_us:.1f}× | {lmfit_us:.0f} | "
                     f"{lmfit_us / py_us:.0f}× |")
    lines.append(f"| a call that fits nothing (4 points) | {overhead:.2f} | | | | | | |")
    for label, key in (("fit_many, 1 worker", "one"), ("fit_many, 2 workers", "two")):
        us = batch[key]
        lines.append(f"| batch {BATCH_PEAKS} × {BATCH_POINTS}: {label}, per fit | {us:.1f} | | | "
                     f"{batch['scipy']:.1f} | {batch['scipy'] / us:.1f}× | {batch['lmfit']:.0f} | "
                     f"{batch['lmfit'] / us:.0f}× |")
    ours, scipy_us = default_batch
    lines.append(f"| batch {BATCH_PEAKS} × {BATCH_POINTS} at default tolerances: fit_many, "
                 f"normal equations, 2 workers, per fit (curve_fit from careful start values) | "
                 f"{ours:.2f} | | | {scipy_us:.1f} | {scipy_us / ours:.1f}× | | |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--markdown", help="also write the table to this file")
    args = parser.parse_args()
    rows = per_fit_rows(args.build_dir)
    table = markdown(rows, call_overhead_us(), batch_rows(), default_batch_rows())
    header = (f"Fits from Python on identical data; the package equals the C++ library to the "
              f"bit, curve_fit to {compare.AGREEMENT:g} relative, lmfit (default tolerances) to "
              f"{LMFIT_AGREEMENT:g} with a chi-square no lower than the package's; in the batch "
              f"every peer lies within {BATCH_AGREEMENT_IN_ERRORS:g} of a reported error of "
              f"the package's optimum. Tolerances "
              f"{compare.TOLERANCE:g}; medians; scipy {scipy.__version__}, lmfit "
              f"{lmfit.__version__}, {os.cpu_count()} cores. curve_fit and lmfit loops run in "
              f"one thread; lmfit's batch is timed on {LMFIT_BATCH} peaks.")
    compare.publish(header, table, args.markdown)


if __name__ == "__main__":
    main()

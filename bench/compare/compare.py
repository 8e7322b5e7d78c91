#!/usr/bin/env python3
"""Side-by-side comparison on identical data: the library with each of its two solvers, the same
classic GSL solver with nothing around it, and scipy (curve_fit with an analytic Jacobian;
savgol_coeffs).

For every point count it writes one data file, fits it with all four from the library's own
start values, checks that they land on the same optimum (parameters equal to 1e-8 relative),
and only then compares their median times per fit. Prints a Markdown table.

Usage: compare.py BUILD_DIR [--sizes 16,100,...] [--markdown FILE]
"""
import argparse
import json
import math
import os
import subprocess
import sys
import time
from fractions import Fraction

import numpy as np
import scipy
from scipy.optimize import curve_fit
from scipy.signal import savgol_coeffs

AGREEMENT = 1e-8  # relative, on every parameter
ROUNDS = 3  # each program is timed this often, in turns; the fastest median counts
TOLERANCE = 1e-10  # the C++ programs' step and gradient tolerance (kAccuracy), and scipy's
BUDGET_SECONDS = 0.5


def write_peak(path, n):
    rng = np.random.default_rng(n)
    x = np.linspace(-5.0, 5.0, n)
    y = 3.0 * np.exp(-0.5 * (x - 0.3) ** 2 / 1.1) + 0.7 + rng.normal(0.0, 0.05, n)
    with open(path, "w") as out:
        for xi, yi in zip(x, y):
            out.write(f"{xi:.17g} {yi:.17g}\n")
    return x, y


def model(x, a, mu, v, c):
    return a * np.exp(-0.5 * (x - mu) ** 2 / v) + c


def jacobian(x, a, mu, v, c):
    d = x - mu
    e = np.exp(-0.5 * d * d / v)
    return np.column_stack((e, a * e * d / v, a * e * d * d / (2 * v * v), np.ones_like(x)))


def median_seconds(call):
    times = []
    start = time.perf_counter()
    while len(times) < 7 or time.perf_counter() - start < BUDGET_SECONDS:
        before = time.perf_counter()
        call()
        times.append(time.perf_counter() - before)
    return float(np.median(times))


def run_json_lines(command):
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in output.splitlines() if line.strip()]


def agree(a, b):
    return all(abs(p - q) <= AGREEMENT * max(abs(p), abs(q)) for p, q in zip(a, b))


def compare_fits(build_dir, sizes):
    data_dir = os.path.join(build_dir, "compare-data")
    os.makedirs(data_dir, exist_ok=True)
    files = {n: os.path.join(data_dir, f"peak_{n}.txt") for n in sizes}
    arrays = {n: write_peak(path, n) for n, path in files.items()}

    library_command = [os.path.join(build_dir, "bench", "compare_library")] + \
                      [files[n] for n in sizes]
    library = run_json_lines(library_command)
    bare_command = [os.path.join(build_dir, "bench", "compare_bare_gsl")]
    for n, result in zip(sizes, library):
        bare_command += [files[n]] + [repr(value) for value in result["start"]]
    bare = run_json_lines(bare_command)
    normal_command = library_command[:1] + ["--normal-equations"] + library_command[1:]
    normal = run_json_lines(normal_command)
    # Further rounds in turns, so that a slow spell of the machine does not favour any.
    for _ in range(ROUNDS - 1):
        for results, command in ((library, library_command), (bare, bare_command),
                                 (normal, normal_command)):
            for best, again in zip(results, run_json_lines(command)):
                best["us_per_fit"] = min(best["us_per_fit"], again["us_per_fit"])

    rows = []
    for n, lib, floor, trust in zip(sizes, library, bare, normal):
        x, y = arrays[n]
        start = lib["start"]
        fit = lambda: curve_fit(model, x, y, p0=start, jac=jacobian, method="lm",
                                xtol=TOLERANCE, ftol=TOLERANCE, gtol=TOLERANCE)
        scipy_params, _ = fit()
        if lib["status"] != 0 or floor["status"] != 0 or trust["status"] != 0:
            sys.exit(f"n={n}: a fit failed (library {lib['status']}, bare GSL {floor['status']}, "
                     f"normal equations {trust['status']})")
        for name, params in (("bare GSL", floor["params"]), ("scipy", list(scipy_params)),
                             ("its normal-equations solver", trust["params"])):
            if not agree(lib["params"], params):
                sys.exit(f"n={n}: library and {name} disagree: {lib['params']} vs {params}")
        scipy_us = min(median_seconds(fit) for _ in range(ROUNDS)) * 1e6
        rows.append((n, lib["us_per_fit"], scipy_us, floor["us_per_fit"], trust["us_per_fit"]))
    return rows


DEFAULT_ACCURACY = 1e-8  # a new fitter's accuracy, and curve_fit's default tolerances
# At that accuracy the three stop at different points of the flat optimum: they are checked to
# agree within this fraction of the reported error instead.
DEFAULT_AGREEMENT_IN_ERRORS = 1e-2


def compare_default_accuracy(build_dir, sizes):
    """Both solvers and curve_fit at the accuracy users get by default: the same files, each
    timed in turns as above. Returns rows (n, lmsder µs, normal-equations µs, scipy µs)."""
    data_dir = os.path.join(build_dir, "compare-data")
    files = [os.path.join(data_dir, f"peak_{n}.txt") for n in sizes]
    program = os.path.join(build_dir, "bench", "compare_library")
    commands = [[program, "--accuracy", repr(DEFAULT_ACCURACY)] + files,
                [program, "--normal-equations", "--accuracy", repr(DEFAULT_ACCURACY)] + files]
    classic, normal = (run_json_lines(command) for command in commands)
    for _ in range(ROUNDS - 1):
        for results, command in zip((classic, normal), commands):
            for best, again in zip(results, run_json_lines(command)):
                best["us_per_fit"] = min(best["us_per_fit"], again["us_per_fit"])
    rows = []
    for n, lib, trust in zip(sizes, classic, normal):
        x, y = np.loadtxt(os.path.join(data_dir, f"peak_{n}.txt"), unpack=True)
        fit = lambda: curve_fit(model, x, y, p0=lib["start"], jac=jacobian, method="lm",
                                xtol=DEFAULT_ACCURACY, ftol=DEFAULT_ACCURACY,
                                gtol=DEFAULT_ACCURACY)
        scipy_params = fit()[0]
        for name, params in (("scipy", scipy_params), ("normal equations", trust["params"])):
            if any(abs(p - q) > DEFAULT_AGREEMENT_IN_ERRORS * e
                   for p, q, e in zip(lib["params"], params, lib["errors"])):
                sys.exit(f"n={n}, accuracy {DEFAULT_ACCURACY:g}: lmsder and {name} disagree")
        scipy_us = min(median_seconds(fit) for _ in range(ROUNDS)) * 1e6
        rows.append((n, lib["us_per_fit"], trust["us_per_fit"], scipy_us))
    return rows


def default_accuracy_markdown(rows):
    lines = [f"| free-offset fit at accuracy {DEFAULT_ACCURACY:g} | lmsder µs | normal equations µs "
             "| lmsder / normal | curve_fit µs | scipy / normal |", "|---|---:|---:|---:|---:|---:|"]
    for n, classic, trust, sci in rows:
        lines.append(f"| n = {n} | {classic:.1f} | {trust:.1f} | {classic / trust:.2f}× | "
                     f"{sci:.1f} | {sci / trust:.2f}× |")
    return "\n".join(lines)


def exact_weights(order, left, right):
    """The weights in exact rational arithmetic: row 0 of (A^T A)^-1 A^T."""
    offsets = range(-left, right + 1)
    size = order + 1
    rows = [[sum(Fraction(t) ** (i + j) for t in offsets) for j in range(size)] +
            [Fraction(int(i == 0))] for i in range(size)]
    for column in range(size):  # Gauss-Jordan on the normal equations N z = e_0
        pivot = next(i for i in range(column, size) if rows[i][column] != 0)
        rows[column], rows[pivot] = rows[pivot], rows[column]
        for i in range(size):
            if i != column and rows[i][column] != 0:
                factor = rows[i][column] / rows[column][column]
                rows[i] = [a - factor * b for a, b in zip(rows[i], rows[column])]
    z = [rows[i][size] / rows[i][i] for i in range(size)]
    return np.array([float(sum(z[j] * Fraction(t) ** j for j in range(size))) for t in offsets])


def cblas_agreement(build_dir, sizes, gsl_cblas):
    """How far fits on the library's own CBLAS choice and on GSL's reference CBLAS (preloaded,
    so that GSL's calls resolve to it) lie apart: the largest relative difference of a
    parameter, the same in units of the parameter's reported error, and of chi-square."""
    data_dir = os.path.join(build_dir, "compare-data")
    command = [os.path.join(build_dir, "bench", "compare_library")] + \
              [os.path.join(data_dir, f"peak_{n}.txt") for n in sizes]
    default = run_json_lines(command)
    reference = run_json_lines(["env", f"LD_PRELOAD={gsl_cblas}"] + command)
    relative = in_errors = 0.0
    for a, b in zip(default, reference):
        for p, q, error in zip(a["params"], b["params"], a["errors"]):
            relative = max(relative, abs(p - q) / max(abs(p), abs(q)))
            in_errors = max(in_errors, abs(p - q) / error)
    if relative > AGREEMENT:
        sys.exit(f"fits on the two CBLAS builds differ by {relative:g} relative")
    return relative, in_errors


def compare_savgol(build_dir, windows):
    output = subprocess.run([os.path.join(build_dir, "bench", "compare_library"), "--savgol"] +
                            [f"{o},{l},{r}" for o, l, r in windows],
                            check=True, capture_output=True, text=True).stdout
    rows = []
    for (order, left, right), line in zip(windows, output.splitlines()):
        measured = json.loads(line)
        length = left + right + 1
        # savgol_coeffs(pos=left, use="dot") weights sample k by the offset k - left, as ours do.
        exact = exact_weights(order, left, right)
        ours = np.abs(np.array(measured["weights"]) - exact).max()
        theirs = np.abs(savgol_coeffs(length, order, pos=left, use="dot") - exact).max()
        if ours > 1e-12:
            sys.exit(f"Savitzky-Golay ({order},{left},{right}): weights off by {ours:g}")
        scipy_us = min(median_seconds(lambda: savgol_coeffs(length, order, pos=left, use="dot"))
                       for _ in range(ROUNDS)) * 1e6
        rows.append((f"({order},{left},{right})", measured["us"], scipy_us, ours, theirs))
    return rows


def microseconds(benchmark):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[benchmark["time_unit"]]
    return benchmark["real_time"] * scale


def markdown(fit_rows, savgol_rows, benchmarks):
    """One table: the compared operations first, then every other benchmark of the library."""
    lines = ["| operation | vesk_numerics µs (median) | scipy µs | scipy / vesk | bare GSL µs "
             "| library overhead | normal equations µs | scipy / normal | note |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for n, lib, sci, floor, trust in fit_rows:
        lines.append(f"| free-offset fit, n = {n} | {lib:.1f} | {sci:.1f} | {sci / lib:.2f}× | "
                     f"{floor:.1f} | {100 * (lib - floor) / floor:+.1f}% | {trust:.1f} | "
                     f"{sci / trust:.2f}× | curve_fit; lmsder / normal {lib / trust:.2f}× |")
    for window, lib, sci, ours, theirs in savgol_rows:
        lines.append(f"| Savitzky–Golay {window} | {lib:.2f} | {sci:.1f} | {sci / lib:.1f}× | | | | | "
                     f"savgol_coeffs; max weight error {ours:.0e} vs scipy's {theirs:.0e} |")
    for benchmark in benchmarks:
        if benchmark.get("aggregate_name", "median") != "median" or "BigO" in benchmark["name"] \
                or "RMS" in benchmark["name"]:
            continue
        name = benchmark["run_name"].replace("BM_", "").replace("/real_time", "")
        note = benchmark.get("label", "")
        if "items_per_second" in benchmark and "threads" in name:
            note = f"{benchmark['items_per_second'] / 1e3:.1f}k fits/s"
        lines.append(f"| {name} | {microseconds(benchmark):.3g} | | | | | | | {note} |")
    return "\n".join(lines)


def publish(header, table, markdown_path):
    """Prints the header and the table, and writes them to `markdown_path` too if given."""
    print(header + "\n\n" + table)
    if markdown_path:
        with open(markdown_path, "w") as out:
            out.write(header + "\n\n" + table + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--sizes", default="16,100,1000,10000,100000")
    parser.add_argument("--markdown", help="also write the table to this file")
    parser.add_argument("--benchmarks", help="Google Benchmark JSON output to add to the table")
    parser.add_argument("--gsl-cblas", help="GSL's reference CBLAS library, to check that fits "
                                            "agree on it")
    args = parser.parse_args()
    sizes = [int(n) for n in args.sizes.split(",")]
    benchmarks = []
    if args.benchmarks:
        with open(args.benchmarks) as source:
            benchmarks = json.load(source)["benchmarks"]
    table = markdown(compare_fits(args.build_dir, sizes),
                     compare_savgol(args.build_dir, [(2, 2, 2), (4, 10, 10), (4, 50, 50),
                                                     (6, 100, 100)]), benchmarks)
    header = (f"Free-offset fits of the same noisy peak from the same start values; all four "
              f"agree on every parameter to {AGREEMENT:g} relative (tolerances {TOLERANCE:g}). "
              f"Medians; numpy {np.__version__}, scipy {scipy.__version__}, "
              f"{os.cpu_count()} cores.")
    if args.gsl_cblas:
        relative, in_errors = cblas_agreement(args.build_dir, sizes, args.gsl_cblas)
        header += (f" Fits on GSL's reference CBLAS instead of OpenBLAS land within "
                   f"{relative:.1e} relative ({in_errors:.1e} of a reported error) of these.")
    table += ("\n\nThe same files at the accuracy a new fitter has, with curve_fit at its default "
              f"tolerances ({DEFAULT_ACCURACY:g}); all three within "
              f"{DEFAULT_AGREEMENT_IN_ERRORS:g} of a reported error of each other:\n\n" +
              default_accuracy_markdown(compare_default_accuracy(args.build_dir, sizes)))
    publish(header, table, args.markdown)


if __name__ == "__main__":
    main()

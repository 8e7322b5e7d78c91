"""The package against the C++ library and the program: same numbers to the bit, bad input
answered as documented, the GIL released while fitting."""
import json
import os
import subprocess
import threading

import numpy as np
import pytest

import vesk_numerics as vn

FIELDS = ("amplitude", "amplitude_err", "mean", "mean_err", "variance", "variance_err", "offset",
          "offset_err", "sigma", "sigma_err", "chisq", "chisq_dof", "status", "num_iterations")


def record(result):
    return {name: getattr(result, name) for name in FIELDS}


@pytest.mark.parametrize("settings", [{}, {"constant_offset": 120.0},
                                      {"solver": "normal_equations", "accuracy": 1e-10}])
def test_fit_fit_many_and_program_agree_to_the_bit(tmp_path, peak, settings):
    x, y = peak
    single = vn.GaussFit(**settings).fit(x, y)
    assert single.ok
    for workers in (1, 2):
        row = vn.fit_many(x, np.stack([y, y, y]), workers=workers, **settings)[2]
        assert {name: row[name].item() for name in FIELDS} == record(single)
        assert row["status_str"] == single.status_str and row["ok"]

    tool = os.environ.get("VESK_TOOL")
    if tool is None:
        pytest.skip("VESK_TOOL names the built vesk-numerics program; ctest sets it")
    data = tmp_path / "peak.dat"
    np.savetxt(data, np.column_stack([x, y]), fmt="%.17g")
    arguments = [tool, "fit", "--json", str(data), "--accuracy", str(single_accuracy(settings))]
    if "constant_offset" in settings:
        arguments += ["--offset", repr(settings["constant_offset"])]
    if settings.get("solver") == "normal_equations":
        arguments += ["--solver", "normal"]
    printed = json.loads(subprocess.run(arguments, check=True, capture_output=True).stdout)
    assert {name: printed[name] for name in FIELDS} == record(single)
    assert printed["fwhm"] == single.fwhm and printed["area"] == single.area


def single_accuracy(settings):
    return repr(settings.get("accuracy", 1e-8))


def test_settings_read_back_as_stored():
    fitter = vn.GaussFit(constant_offset=2, max_iterations=-3, accuracy=1.0,
                         solver="normal_equations")
    assert (fitter.constant_offset, fitter.max_iterations, fitter.accuracy, fitter.solver) == \
        (2.0, 50, 0.01, "normal_equations")
    assert vn.GaussFit().constant_offset is None and vn.GaussFit().solver == "lmsder"
    with pytest.raises(ValueError, match="solver"):
        vn.GaussFit(solver="qr")
    with pytest.raises(TypeError):
        vn.GaussFit(5.0)  # settings are keyword-only


X, Y = np.linspace(0.0, 10.0, 40), 4.0 * np.exp(-0.5 * (np.linspace(0.0, 10.0, 40) - 5) ** 2) + 1
REFERENCE = vn.GaussFit().fit(X, Y)
NOT_ENOUGH, DOMAIN = -1, 1


@pytest.mark.parametrize("x, y, expected", [
    (X.tolist(), Y.tolist(), REFERENCE),
    (X.astype(np.float32), Y.astype(np.float32), "float32"),
    (np.arange(40), (100 * Y).astype(np.int64), "int"),
    (np.repeat(X, 2)[::2], np.repeat(Y, 2)[::2], REFERENCE),  # strided views
    (X[::-1], Y[::-1], "reversed"),
    ([], [], NOT_ENOUGH),
    (X[:4], Y[:4], NOT_ENOUGH),
    (np.where(X == X[7], np.nan, X), Y, DOMAIN),
    (X, np.where(X == X[3], np.inf, Y), DOMAIN),
    (X, Y * 1e300, DOMAIN),
], ids=["lists", "float32", "ints", "strided", "reversed", "empty", "too-few", "nan-x", "inf-y",
        "huge"])
def test_hostile_data_give_their_status(x, y, expected):
    result = vn.GaussFit().fit(x, y)
    if isinstance(expected, int):
        assert (result.status, result.ok, result.amplitude, result.chisq) == (expected, False, 0, 0)
        assert result.status_str == ("Not enough data points" if expected == -1 else
                                     "input domain error")
    elif isinstance(expected, vn.FitResult):
        assert record(result) == record(expected)
    else:  # converted once to float64: the same numbers as fitting the float64 copy
        assert record(result) == record(vn.GaussFit().fit(np.asarray(x, float),
                                                          np.asarray(y, float)))
        assert result.ok


@pytest.mark.parametrize("args, error, match", [
    ((np.ones((4, 10)),), ValueError, "y must be 1-D"),
    ((X, np.ones((4, 10))), ValueError, "y must be 1-D"),
    ((np.ones((4, 10)), Y), ValueError, "x must be 1-D"),
    ((["a", "b", "c", "d", "e"],), TypeError, "y must hold real numbers"),
    ((X, Y + 1j), TypeError, "y must hold real numbers"),
    ((object(),), TypeError, "y must"),
], ids=["2-D y only", "2-D y", "2-D x", "strings", "complex", "object"])
def test_wrong_arguments_raise_naming_them(args, error, match):
    with pytest.raises(error, match=match):
        vn.GaussFit().fit(*args)


def test_fit_many_validates_its_arguments(batch):
    x, ys = batch
    with pytest.raises(ValueError, match="ys must be 2-D"):
        vn.fit_many(x, ys[0])
    with pytest.raises(ValueError, match="x has 3 rows"):
        vn.fit_many(np.tile(x, (3, 1)), ys)
    with pytest.raises(ValueError, match="workers"):
        vn.fit_many(x, ys, workers=0)
    per_row = vn.fit_many(np.tile(x, (len(ys), 1)), ys, workers=2)
    assert np.array_equal(per_row, vn.fit_many(x, ys), equal_nan=False)
    many = np.tile(ys, (50, 1))  # two threads fitting different peaks at every moment
    normal = vn.fit_many(x, many, workers=2, solver="normal_equations")
    assert np.array_equal(normal, vn.fit_many(x, many, workers=1, solver="normal_equations"))
    assert vn.fit_many(x, np.empty((0, 100))).shape == (0,)


def test_a_batch_with_failures_keeps_every_row_in_place(batch):
    x, ys = batch
    ys = ys.copy()
    ys[5, 17] = np.nan
    results = vn.fit_many(x, ys, workers=2)
    assert results["status"][5] == DOMAIN and not results["ok"][5]
    assert results["status_str"][5] == "input domain error" and results["mean"][5] == 0
    assert results["ok"].sum() == len(ys) - 1
    assert results["mean"][6] == vn.GaussFit().fit(x, ys[6]).mean


def test_record_operations(peak):
    x, y = peak
    result = vn.GaussFit().fit(x, y)
    assert result.result(x[40]) == result.result(x)[40]
    assert result.result(x.reshape(101, 1)).shape == (101, 1)
    keV_to_eV = result.scaled(x=1000.0)
    assert keV_to_eV.mean == result.mean * 1000.0 and keV_to_eV.amplitude == result.amplitude
    assert result.to_dict()["fwhm"] == result.fwhm and result.to_dict()["ok"] is True
    assert "mean=661.70017 ± 0.0133" in repr(result) and "success" in repr(result)
    import pickle
    assert record(pickle.loads(pickle.dumps(result))) == record(result)
    spread = vn.mean_and_std([result, keV_to_eV])
    assert spread.mean == (result.mean + keV_to_eV.mean) / 2
    assert spread.mean_err == pytest.approx(np.std([result.mean, keV_to_eV.mean], ddof=1))
    assert vn.mean_of([result]).mean_err == result.mean_err


def test_filters_and_rotations_map_the_library_errors():
    assert vn.savitzky_golay(2, 2, 2) == pytest.approx([-3 / 35, 12 / 35, 17 / 35, 12 / 35,
                                                        -3 / 35], abs=1e-15)
    with pytest.raises(vn.Error):
        vn.savitzky_golay(-1, 2, 2)
    assert issubclass(vn.Error, ValueError)
    with pytest.raises(np.linalg.LinAlgError):
        vn.savitzky_golay(4, 1, 1)
    ramp = np.arange(30.0) ** 2
    assert vn.smooth(ramp, 2, 7) == pytest.approx(ramp, abs=1e-9)  # a parabola is kept
    with pytest.raises(ValueError, match="window"):
        vn.smooth(ramp, 2, 6)
    turn = vn.rotation_about([0, 0, 2.5], np.pi / 2)
    assert turn @ [1.0, 0.0, 0.0] == pytest.approx([0.0, 1.0, 0.0], abs=1e-15)
    assert np.array_equal(vn.rotation_z(0.3), vn.rotation_about([0, 0, 1], 0.3))
    with pytest.raises(ValueError, match="axis must have 3 components"):
        vn.rotation_about([1, 0], 0.3)


def test_two_threads_fit_at_once():
    """A long fit in one thread does not stop another thread's short fits: the second finishes
    all of its fits while the first is still inside the library."""
    x = np.linspace(-50.0, 50.0, 2_000_000)
    y = 3.0 * np.exp(-0.5 * (x / 7.0) ** 2) + 0.5 + np.random.default_rng(1).normal(0, 0.01, x.size)
    long_done = threading.Event()
    started = threading.Event()
    outcome = {}

    def long_fit():
        started.set()
        outcome["long"] = vn.GaussFit(accuracy=1e-12).fit(x, y)
        long_done.set()

    thread = threading.Thread(target=long_fit)
    thread.start()
    started.wait()
    short = [vn.GaussFit().fit(X, Y) for _ in range(20)]
    outcome["short_finished_first"] = not long_done.is_set()
    thread.join()
    assert outcome["long"].ok and all(record(r) == record(REFERENCE) for r in short)
    assert outcome["short_finished_first"]

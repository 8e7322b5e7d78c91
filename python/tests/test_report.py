"""The HTML report of a fitted spectrum, in a real browser: Debian's headless Chromium driven by
Selenium. It loads without a console error, draws, zooms to a line when its row is clicked,
switches to a logarithmic axis and sorts its table; hostile text from a file never runs. The
program's `peaks --html` and `PeakFit.to_html` write the same page."""
import json
import os
import pathlib
import re
import subprocess

import numpy as np
import pytest

import headless_chromium
from simulated_gamma import gamma_spectrum
import vesk_numerics as vn
from headless_chromium import open_report

DATA = pathlib.Path(__file__).resolve().parents[2] / "examples" / "data"
DEMO = DATA / "calibration_mixture.dat"
# Text that would run or break out of its element if the page let it through as markup.
# The comment comes last, so that markup let through would still make the image.
HOSTILE = ("</script><script>window.pwned = 1</script><img src=x onerror=\"window.pwned = 2\"> "
           "\"quoted\" 'single' & \u2028 <!--")
NOT_UTF8 = b"\xff\xfe\xc3("


def report_data(path):
    """The JSON that a report embeds."""
    page = pathlib.Path(path).read_text(encoding="utf-8")
    found = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', page,
                      re.S)
    return json.loads(found.group(1))


def assert_inert(path):
    """The page closes only its own three scripts, opens no comment and no element of the data's,
    and is UTF-8 throughout."""
    page = pathlib.Path(path).read_bytes()
    assert page.count(b"</script") == 3 and b"<!--" not in page and b"<img" not in page
    page.decode("utf-8")


FACT_TEXTS = ("return Array.from(document.querySelectorAll('#facts dt, #facts dd'),"
              " e => e.textContent)")


def demo_fit():
    x, counts = np.loadtxt(DEMO, comments="#", skiprows=3, unpack=True)
    return x, counts, vn.fit_peaks(x, counts, errors="poisson")


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    reason = headless_chromium.missing()
    if reason:
        # CI installs the browser (scripts/install-deps): there a missing one is a fault, and
        # skipping would let CI pass without the browser tests.
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    driver = headless_chromium.start(tmp_path_factory.mktemp("chromium-profile"))
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def demo_report(tmp_path_factory):
    x, counts, fit = demo_fit()
    path = tmp_path_factory.mktemp("report") / "demo.html"
    fit.to_html(path, x, counts, file_name=DEMO.name, file_format="text columns",
                x_label="energy_keV", y_label="counts")
    return path, fit


# Pixels of a colour on a plot's canvas, within a tolerance for anti-aliasing.
COUNT_COLOUR = """
const [plot, r, g, b] = arguments;
const canvas = window.veskReport[plot].ctx.canvas;
const pixels = window.veskReport[plot].ctx.getImageData(0, 0, canvas.width, canvas.height).data;
let n = 0;
for (let i = 0; i < pixels.length; i += 4) {
  if (pixels[i + 3] > 100 && Math.abs(pixels[i] - r) < 60 && Math.abs(pixels[i + 1] - g) < 60 &&
      Math.abs(pixels[i + 2] - b) < 60) n++;
}
return n;
"""
DATA_COLOUR = (31, 119, 180)
MODEL_COLOUR = (214, 39, 40)
HIGHLIGHT_COLOUR = (148, 0, 211)


def x_range(browser):
    return browser.execute_script(
        "const s = window.veskReport.spectrum.scales.x, r = window.veskReport.residuals.scales.x;"
        "return [s.min, s.max, r.min, r.max];")


def test_the_page_loads_without_error_and_draws_data_model_and_residuals(browser, demo_report):
    path, fit = demo_report
    assert open_report(browser, path) == []
    assert browser.execute_script(COUNT_COLOUR, "spectrum", *DATA_COLOUR) > 1000
    assert browser.execute_script(COUNT_COLOUR, "spectrum", *MODEL_COLOUR) > 200
    assert browser.execute_script(COUNT_COLOUR, "residuals", *DATA_COLOUR) > 200
    rows = browser.find_elements("css selector", "#lines tbody tr")
    headings = [th.text for th in browser.find_elements("css selector", "#lines th")]
    assert len(rows) == fit.peaks.size and headings == report_data(path)["columns"]
    assert browser.find_element("id", "title").text == DEMO.name


def test_clicking_a_row_zooms_both_plots_to_its_region_and_highlights_its_line(browser,
                                                                                demo_report):
    path, fit = demo_report
    open_report(browser, path)
    whole = x_range(browser)
    regions = report_data(path)["regions"]
    # The second line of a region of two is among them: the highlight must pick its own line.
    second = next(p for p in range(1, fit.peaks.size)
                  if fit.peaks["region"][p] == fit.peaks["region"][p - 1])
    for peak in (0, fit.peaks.size // 2, second, fit.peaks.size - 1):
        region = fit.regions[fit.peaks["region"][peak]]
        browser.find_element("css selector", f'#lines tbody tr[data-peak="{peak}"]').click()
        low, high, residual_low, residual_high = x_range(browser)
        assert low < region["lo"] and high > region["hi"]
        assert high - low < 2 * (region["hi"] - region["lo"])
        assert (residual_low, residual_high) == (low, high)
        assert browser.execute_script("return window.veskReport.highlighted") == peak
        chosen = browser.execute_script(
            "const d = window.veskReport.spectrum.data; return d[d.length - 1]"
            ".filter(v => v !== null && v !== undefined)")
        assert chosen == dict(regions[fit.peaks["region"][peak]]["lines"])[peak]
        assert browser.execute_script(COUNT_COLOUR, "spectrum", *HIGHLIGHT_COLOUR) > 100
        selected = browser.find_elements("css selector", "#lines tbody tr.selected")
        assert [tr.get_attribute("data-peak") for tr in selected] == [str(peak)]
    browser.find_element("id", "reset").click()
    assert x_range(browser)[:2] == whole[:2]


@pytest.mark.parametrize("plot", ["spectrum", "residuals"])
def test_a_double_click_on_either_plot_shows_the_whole_spectrum_in_both(browser, demo_report,
                                                                          plot):
    path, fit = demo_report
    open_report(browser, path)
    whole = x_range(browser)
    browser.find_element("css selector", '#lines tbody tr[data-peak="3"]').click()
    assert x_range(browser) != whole
    headless_chromium.actions(browser).double_click(
        browser.find_element("css selector", f"#{plot} .u-over")).perform()
    assert x_range(browser) == whole


def hover(browser, x):
    """Moves the mouse over the spectrum plot to `x` and returns the readout's numbers."""
    over = browser.find_element("css selector", "#spectrum .u-over")
    left, width = browser.execute_script(
        "const u = window.veskReport.spectrum; return [u.valToPos(arguments[0], 'x'),"
        " u.over.clientWidth];", x)
    headless_chromium.actions(browser).move_to_element_with_offset(
        over, round(left - width / 2), 0).perform()
    text = browser.find_element("id", "readout").text
    found = re.fullmatch(r"energy_keV (\S+) \u2014 channel at (\S+): data (\S+), model (\S+)",
                         text)
    assert found, text
    return [float(v) for v in found.groups()]


def test_hovering_shows_x_the_channel_s_data_and_the_model(browser, demo_report):
    path, fit = demo_report
    open_report(browser, path)
    channels = report_data(path)["channels"]
    browser.find_element("css selector", '#lines tbody tr[data-peak="6"]').click()
    low, high = x_range(browser)[:2]
    shown = [k for k, x in enumerate(channels["x"]) if low < x < high]
    step = channels["x"][1] - channels["x"][0]
    for k in shown[2:-2:3]:  # channels at the edges of the plot may be cut by the axis
        x, channel, data, model = hover(browser, channels["x"][k])
        assert abs(x - channels["x"][k]) < 0.1 * step
        assert channel == channels["x"][k] and data == channels["y"][k]
        assert model == pytest.approx(channels["model"][k], rel=1e-6)


def test_the_log_switch_changes_the_y_axis_and_keeps_the_zoom(browser, demo_report):
    path, fit = demo_report
    open_report(browser, path)
    browser.find_element("css selector", '#lines tbody tr[data-peak="1"]').click()
    zoomed = x_range(browser)
    y_scale = "const y = window.veskReport.spectrum.scales.y; return [y.distr, y.min, y.max];"
    linear = browser.execute_script(y_scale)
    browser.find_element("id", "log-y").click()
    logarithmic = browser.execute_script(y_scale)
    assert linear[0] == 1 and logarithmic[0] == 3
    assert logarithmic[1] > 0 and logarithmic[1:] != linear[1:]
    assert x_range(browser) == zoomed
    assert browser.execute_script(COUNT_COLOUR, "spectrum", *DATA_COLOUR) > 200
    browser.find_element("id", "log-y").click()
    assert browser.execute_script(y_scale)[0] == 1


@pytest.mark.parametrize("column", ["area", "mean_err", "fwhm"])
def test_clicking_a_heading_sorts_the_table_up_then_down(browser, demo_report, column):
    path, fit = demo_report
    open_report(browser, path)
    data = report_data(path)
    index = data["columns"].index(column)
    heading = browser.find_elements("css selector", "#lines th")[index]
    order = lambda: [int(tr.get_attribute("data-peak")) for tr in  # noqa: E731
                     browser.find_elements("css selector", "#lines tbody tr")]
    values = [row[index] for row in data["rows"]]
    heading.click()
    assert heading.get_attribute("aria-sort") == "ascending"
    up = [values[k] for k in order()]
    heading.click()
    assert heading.get_attribute("aria-sort") == "descending"
    down = [values[k] for k in order()]
    assert up == sorted(values) and down == sorted(values, reverse=True)


def test_the_lines_of_a_failed_region_are_marked(browser, tmp_path):
    # One iteration leaves every region unfinished: their lines are marked as failed.
    x, counts = np.loadtxt(DEMO, comments="#", skiprows=3, unpack=True)
    fit = vn.fit_peaks(x, counts, errors="poisson", max_iterations=1, accuracy=1e-12)
    failed = set(np.flatnonzero(~fit.regions["ok"][fit.peaks["region"]]))
    assert failed, "the test needs a region whose fit failed"
    path = tmp_path / "failed.html"
    fit.to_html(path, x, counts)
    assert open_report(browser, path) == []
    marked = {int(tr.get_attribute("data-peak")) for tr in
              browser.find_elements("css selector", "#lines tbody tr.failed")}
    assert marked == failed


def test_lines_that_are_not_significant_are_marked(browser, demo_report, tmp_path):
    """The `significant` column marks its rows of 0."""
    path, fit = demo_report
    data = report_data(path)
    quiet = {1, 4}
    column = data["columns"].index("significant")
    for k, row in enumerate(data["rows"]):
        row[column] = 0 if k in quiet else 1
    page = pathlib.Path(path).read_text(encoding="utf-8")
    start = page.index('id="report-data">') + len('id="report-data">')
    end = page.index("</script>", start)
    marked_page = tmp_path / "significant.html"
    marked_page.write_text(page[:start] + json.dumps(data).replace("<", "\\u003c") + page[end:],
                           encoding="utf-8")
    assert open_report(browser, marked_page) == []
    marked = {int(tr.get_attribute("data-peak")) for tr in
              browser.find_elements("css selector", "#lines tbody tr.insignificant")}
    assert marked == quiet


def hostile_tool_input(directory):
    """A spectrum whose path and column names hold markup, quotes and bytes that are not UTF-8."""
    folder = directory / "x<"  # the path reads x</script><script>...
    inner = folder / "script><script>window.pwned=3<"
    inner.mkdir(parents=True)
    path = inner / os.fsdecode(b"script>\"'\xff.dat")
    lines = DEMO.read_bytes().splitlines()
    lines[2] = b"</script><img/src=x/onerror=window.pwned=4> \"counts'<!--"
    path.write_bytes(b"\n".join(lines) + b"\n")
    return path


def test_hostile_text_from_python_is_shown_as_text_and_never_runs(browser, tmp_path):
    x, counts, fit = demo_fit()
    path = tmp_path / "hostile.html"
    name = HOSTILE.encode() + NOT_UTF8
    fit.to_html(path, x, counts, file_name=name, file_format=HOSTILE, calibration=NOT_UTF8,
                metadata={HOSTILE: HOSTILE, "sample": os.fsdecode(NOT_UTF8)}, x_label=HOSTILE,
                y_label=NOT_UTF8, live_time=100.5, real_time=120.25)
    assert_inert(path)
    assert open_report(browser, path) == []
    assert browser.execute_script("return window.pwned === undefined")
    title = browser.execute_script("return document.getElementById('title').textContent")
    assert title == HOSTILE + "\ufffd\ufffd\ufffd("
    shown = browser.execute_script(FACT_TEXTS)
    assert "100.5 s" in shown and "120.25 s" in shown and "\ufffd\ufffd\ufffd(" in shown
    # Shown as the very text: the format, and the metadata's name and value.
    assert shown.count(HOSTILE) == 3
    assert browser.find_elements("css selector", "img") == []


def tool():
    found = os.environ.get("VESK_TOOL")
    if not found:
        pytest.skip("VESK_TOOL names the built vesk-numerics program; ctest sets it")
    return found


def test_hostile_file_names_and_columns_through_the_program_never_run(browser, tmp_path):
    spectrum = hostile_tool_input(tmp_path)
    path = tmp_path / "program.html"
    subprocess.run([tool(), "peaks", os.fsencode(spectrum), "--counts", "--html", path],
                   check=True, capture_output=True)
    assert_inert(path)
    assert open_report(browser, path) == []
    assert browser.execute_script("return window.pwned === undefined")
    assert browser.find_elements("css selector", "img") == []
    data = report_data(path)
    assert data["facts"]["file"] == os.fsdecode(os.fsencode(spectrum)).replace("\udcff", "\ufffd")
    assert data["facts"]["file"] in browser.execute_script(FACT_TEXTS)
    assert data["facts"]["x_label"] == "</script><img/src=x/onerror=window.pwned=4>"
    assert data["facts"]["y_label"] == "\"counts'<!--"


def test_the_program_reports_one_spectrum_only(tmp_path):
    done = subprocess.run([tool(), "peaks", str(DEMO), str(DEMO), "--counts", "--html",
                           str(tmp_path / "two.html")], capture_output=True, text=True)
    assert done.returncode == 2 and "--html reports one spectrum" in done.stderr
    assert not (tmp_path / "two.html").exists()


def test_the_program_and_the_package_write_the_same_report(tmp_path):
    program_page = tmp_path / "program.html"
    subprocess.run([tool(), "peaks", str(DEMO), "--counts", "--background", "quadratic",
                    "--html", str(program_page)], check=True, capture_output=True)
    x, counts = np.loadtxt(DEMO, comments="#", skiprows=3, unpack=True)
    fit = vn.fit_peaks(x, counts, errors="poisson", background="quadratic")
    package_page = tmp_path / "package.html"
    fit.to_html(package_page, x, counts, file_name=str(DEMO), file_format="text columns",
                x_label="energy_keV", y_label="counts")
    program, package = report_data(program_page), report_data(package_page)
    assert program["facts"].pop("version").startswith("vesk-numerics ")
    assert package["facts"].pop("version").startswith("vesk_numerics ")
    assert program == package
    csv = subprocess.run([tool(), "peaks", str(DEMO), "--counts", "--background", "quadratic",
                          "--format", "csv"], check=True, capture_output=True, text=True).stdout
    header, *rows = csv.splitlines()
    assert header.split(",") == ["file"] + program["columns"]
    # Every cell of the table is the CSV's, to the last digit.
    text = program["columns"].index("status_str")
    for line, cells in zip(rows, program["rows"]):
        fields = line.split(",")[1:len(cells) + 1]
        assert fields[text] == cells[text]
        numbers = [float(f) if f != "nan" else None for k, f in enumerate(fields) if k != text]
        assert numbers == [c for k, c in enumerate(cells) if k != text]


def test_the_report_follows_the_fit_it_shows(tmp_path):
    """The page's curves are the fit's own, and its residuals are (data - model) / error."""
    x, counts, fit = demo_fit()
    fit.to_html(tmp_path / "report.html", x, counts)
    data = report_data(tmp_path / "report.html")
    model = fit.evaluate(x)
    shown = np.array([np.nan if v is None else v for v in data["channels"]["model"]])
    assert np.array_equal(np.isnan(shown), np.isnan(model))
    np.testing.assert_allclose(shown[~np.isnan(model)], model[~np.isnan(model)], rtol=1e-6)
    residual = np.array([np.nan if v is None else v for v in data["channels"]["residual"]])
    inside = ~np.isnan(model)
    np.testing.assert_allclose(residual[inside],
                               (counts[inside] - model[inside]) / np.sqrt(model[inside]),
                               rtol=1e-3, atol=1e-3)
    for r, region in enumerate(data["regions"]):
        grid = np.linspace(region["lo"], region["hi"], len(region["model"]))
        np.testing.assert_allclose(region["model"], fit.evaluate(grid), rtol=1e-5)
        for peak, values in region["lines"]:
            assert fit.peaks["region"][peak] == r
            np.testing.assert_allclose(
                values, fit.evaluate_background(grid) + fit.evaluate_peak(peak, grid), rtol=1e-5)


def test_a_long_spectrum_of_many_lines_makes_a_small_page_that_draws_every_line_smooth(tmp_path):
    """16 384 channels and 250 lines stay under 2 MB, yet every region's curves have a dozen
    samples over its narrowest line (or one a channel, the data's own detail; four a channel at
    most)."""
    x, counts, _ = gamma_spectrum(5, channels=16384, lines=250, doublets=60)
    fit = vn.fit_peaks(x, counts, errors="poisson")
    path = tmp_path / "long.html"
    fit.to_html(path, x, counts)
    assert path.stat().st_size < 2 * 1024 * 1024
    regions = report_data(path)["regions"]
    assert len(regions) == fit.regions.size > 100
    for r, region in enumerate(regions):
        fwhm = fit.peaks["fwhm"][fit.peaks["region"] == r]
        narrowest = np.nanmin(fwhm) if np.isfinite(fwhm).any() else 0.0  # a failed region: 4
        spacing = (region["hi"] - region["lo"]) / (len(region["model"]) - 1)
        assert spacing <= max(narrowest / 12, 0.25) * (1 + 1e-9)
        # and no more, but for the rounding up of their number and the least of 64
        assert spacing >= 0.9 * min(narrowest / 12, 1.0) or len(region["model"]) == 64


def test_to_html_refuses_bad_arguments_by_name(tmp_path):
    x, counts, fit = demo_fit()
    with pytest.raises(ValueError, match="differ in length"):
        fit.to_html(tmp_path / "a.html", x, counts[:-1])
    with pytest.raises(TypeError, match="file_name"):
        fit.to_html(tmp_path / "a.html", x, counts, file_name=3)
    with pytest.raises(TypeError, match="live_time"):
        fit.to_html(tmp_path / "a.html", x, counts, live_time="1 s")
    with pytest.raises(OSError, match="cannot write"):
        fit.to_html(tmp_path / "missing" / "a.html", x, counts)

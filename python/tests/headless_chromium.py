"""Debian's Chromium, headless and driven by Selenium, for the report's tests and benchmark."""
import pathlib
import shutil

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
# A browser that starts quickly and quietly, reaches for no network and keeps nothing between
# runs (each session has a fresh profile).
ARGUMENTS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1280,1000"]
PAGE_TIMEOUT = 60  # seconds for a report to load and draw, on a busy machine


def missing():
    """Why the browser cannot run here, or None when it can."""
    if CHROMIUM is None or CHROMEDRIVER is None:
        return ("the browser tests need Debian's chromium and chromium-driver "
                "(scripts/install-deps installs them)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "the browser tests need python3-selenium (scripts/install-deps installs it)"
    return None


def start(profile):
    """A new headless Chromium with the fresh profile directory `profile`; quit() it when done."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ARGUMENTS:
        options.add_argument(argument)
    options.add_argument(f"--user-data-dir={profile}")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def open_report(driver, path):
    """Loads a report, waits until both plots are drawn, and returns the console's errors."""
    from selenium.webdriver.support.ui import WebDriverWait
    driver.get_log("browser")  # what earlier pages said
    driver.get(pathlib.Path(path).resolve().as_uri())
    WebDriverWait(driver, PAGE_TIMEOUT).until(
        lambda d: d.execute_script("return window.veskReport && window.veskReport.drawnAt"))
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def actions(driver):
    """Selenium's mouse actions on `driver` (imported here: the tests skip without Selenium)."""
    from selenium.webdriver.common.action_chains import ActionChains
    return ActionChains(driver)

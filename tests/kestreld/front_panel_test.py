"""The front panel in a real browser: headless Chromium driven by Selenium
(Debian's chromium, chromium-driver and python3-selenium) against kestreld
serving its built-in emulator. Sets a clock and a power through the controls
with the keyboard and the mouse, watches the diagram, the lock indicator and
the trend plot follow, sees the error of an out-of-range entry, checks that
the emulator received the clock, and saves screenshots in PANEL_ARTIFACTS.

Exits 77 (skipped) when the browser or its driver is not installed.
"""

import json
import os
import shutil
import sys
import tempfile
import unittest
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = Keys = None

from kestreld_test import BoardProgram, Daemon, stop

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
ARTIFACTS = os.environ.get("PANEL_ARTIFACTS", tempfile.gettempdir())
WEB = os.environ["KESTRELD_WEB"]
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]
LAPTOP = (1280, 1500)
PHONE = (390, 844)


def browser(size):
    profile = tempfile.mkdtemp(prefix="kestrel-panel-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + ["--user-data-dir=" + profile, "--window-size=%d,%d" % size]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})  # the console, for CSP reports
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
    driver.set_page_load_timeout(60)
    return driver, profile


class PanelTestCase(unittest.TestCase):
    web_root = None  # the daemon's default: the source tree, with uPlot when setup installed it

    @classmethod
    def setUpClass(cls):
        extra = ["--web-root", cls.web_root] if cls.web_root else []
        cls.daemon = Daemon("--sim", "bench", *extra)
        cls.url = "http://%s:8080/" % cls.daemon.address

    @classmethod
    def tearDownClass(cls):
        status = stop(cls.daemon.proc)
        if status != 0:
            raise AssertionError("kestreld exited with %d on SIGTERM" % status)

    def open(self, size=LAPTOP):
        driver, profile = browser(size)
        self.addCleanup(shutil.rmtree, profile, True)
        self.addCleanup(driver.quit)
        driver.get(self.url)
        self.driver = driver
        self.until(lambda d: d.find_element(By.ID, "link").text == "live", "the status stream never arrived")
        return driver

    def until(self, condition, message, seconds=15):
        try:
            return WebDriverWait(self.driver, seconds, poll_frequency=0.1).until(condition)
        except TimeoutException:
            results = self.driver.execute_script(
                "return [...document.querySelectorAll('.result, #log')].map(e => e.id + ': ' + e.textContent)")
            self.fail(message + "; the page says: " + " | ".join(results))

    def text(self, element_id):
        """The element's text, read in one step: the diagram is redrawn as
        statuses arrive, so a found element may be gone a moment later."""
        return self.driver.execute_script(
            "const e = document.getElementById(arguments[0]); return e ? e.textContent : ''", element_id)

    def enter(self, element_id, value):
        field = self.driver.find_element(By.ID, element_id)
        field.clear()
        field.send_keys(value)
        return field

    def scpi(self, query):
        return self.daemon.query(query)

    def screenshot(self, name):
        self.driver.save_screenshot(os.path.join(ARTIFACTS, name))


class FrontPanelTests(PanelTestCase):
    def test_clock_power_diagram_lock_trend_and_errors(self):
        d = self.open()
        # The clock, by keyboard alone: type and press Enter.
        self.enter("clock-mhz", "1800").send_keys(Keys.ENTER)
        self.until(lambda d: self.text("clock-result") == "clock: ok", "the clock was not confirmed")
        self.until(lambda d: "1800 MHz" in self.text("plan-a"), "the diagram did not show output A at 1800 MHz")
        self.assertIn("3600 MHz", self.text("plan-vco"))
        self.assertIn("band 1", self.text("plan-vco"))
        self.assertIn("78.125 MHz", self.text("plan-pd"))
        self.assertIn("off by 0 Hz", self.text("plan-caption"))
        self.until(lambda d: self.text("vco-lock") == "locked", "the lock indicator did not show the lock")
        decoded = self.scpi("DIAG:SIM:SYNT?").split(",")
        self.assertEqual(decoded[0], "1")
        self.assertAlmostEqual(float(decoded[4]), 1.8e9, delta=1.0)

        # A power, with the mouse.
        self.enter("tx1-power", "12")
        d.find_element(By.CSS_SELECTOR, "#outputs-form button").click()
        self.until(lambda d: self.text("outputs-result") == "outputs: ok", "the power was not confirmed")
        self.assertEqual(self.scpi("OUTP1:POW?;:FREQ?;:VCO:LOCK?"), "12;1.800000000E+09;1")

        # An out-of-range entry: the daemon's sentence, and nothing changed.
        self.enter("tx1-power", "40").send_keys(Keys.ENTER)
        self.until(lambda d: "error 400" in self.text("outputs-result"), "no error was shown")
        self.assertIn("tx1Power must be an integer from 0 to 31", self.text("outputs-result"))
        self.assertIn("error", self.text("log"))
        self.assertEqual(self.scpi("OUTP1:POW?"), "12")

        # A change made through SCPI shows up on the page.
        self.scpi("OUTP2:POW 333;*OPC?")
        self.until(lambda d: d.find_element(By.CSS_SELECTOR, 'output[data-now="tx2Power"]').text == "333",
                   "an SCPI change did not reach the page")

        # The trend plot receives a point a second.
        trend = d.find_element(By.ID, "trend")
        start = int(trend.get_attribute("data-points"))
        self.until(lambda d: int(trend.get_attribute("data-points")) >= start + 2, "the trend got no points", 10)
        self.assertTrue(d.execute_script("return typeof window.uPlot === 'function'"), "uPlot was not served")
        self.assertTrue(d.find_elements(By.CSS_SELECTOR, "#trend canvas"))
        self.screenshot("front-panel.png")

    def test_the_sweep_card_starts_and_aborts_a_sweep(self):
        d = self.open()
        self.until(lambda d: self.text("sweep-state").startswith("idle"), "the sweep card shows no state")
        self.assertEqual(d.find_element(By.ID, "sweep-points").get_attribute("max"), "10000")
        self.enter("sweep-start", "200")
        self.enter("sweep-stop", "400")
        self.enter("sweep-points", "500")
        self.enter("sweep-dwell", "0.05")
        d.find_element(By.CSS_SELECTOR, "#sweep-form button[type=submit]").click()
        self.until(lambda d: self.text("sweep-result") == "sweep: ok", "the sweep did not start")
        self.until(lambda d: "running, point" in self.text("sweep-state"), "no running point shown")
        self.assertEqual(self.scpi("STAT:OPER:COND?"), "8")
        card = d.find_element(By.CSS_SELECTOR, 'section[aria-labelledby="sweep-title"]')
        d.execute_script("arguments[0].scrollIntoView({block: 'center'})", card)
        card.screenshot(os.path.join(ARTIFACTS, "sweep-panel.png"))
        d.find_element(By.ID, "sweep-abort").click()
        self.until(lambda d: self.text("sweep-result") == "sweep abort: ok", "the abort was not confirmed")
        self.until(lambda d: self.text("sweep-state").startswith("idle"), "the card still shows a run")
        self.assertEqual(self.scpi("STAT:OPER:COND?;:FREQ:MODE?;:SWE:POIN?"), "0;SWE;500")
        d.find_element(By.ID, "sweep-cw").click()
        self.until(lambda d: self.text("sweep-result") == "return to CW: ok", "CW was not confirmed")
        self.assertEqual(self.scpi("FREQ:MODE?"), "CW")

    def test_limits_from_the_daemon_and_the_clock_the_board_makes(self):
        d = self.open()
        with urllib.request.urlopen(self.url + "api/limits", timeout=30) as response:
            limits = json.loads(response.read())["settings"]
        # Every bounded field takes its range from the daemon, which takes it from the board's facts.
        fields = d.execute_script(
            "return [...document.querySelectorAll('input[name][type=number]')].map(i => [i.name, i.min, i.max])")
        for name, low, high in fields:
            limit = limits[name]
            expected = ("", "") if limit["exclusive"] else (str(int(limit["min"])), str(int(limit["max"])))
            self.assertEqual((low, high), expected, name)
        label = d.find_element(By.CSS_SELECTOR, "label[for=fm-deviation]").text
        self.assertEqual(label, "Deviation (0–65535)")
        self.assertIn("above 20 and below 5500", d.find_element(By.CSS_SELECTOR, "label[for=clock-mhz]").text)
        self.assertTrue(self.text("version").startswith("kestreld "))
        # A clock the plan makes in whole MHz: said beside the request, not a plain "ok".
        self.enter("clock-mhz", "4321.3").send_keys(Keys.ENTER)
        self.until(lambda d: d.find_element(By.ID, "clock-produced").is_displayed(), "no warning for 4321.3 MHz")
        self.assertIn("the board makes 4321 MHz, not 4321.3 MHz", self.text("clock-produced"))
        self.assertIn("clock: ok, but the board makes 4321 MHz", self.text("clock-result"))
        self.assertEqual(self.scpi("FREQ:ACT?"), "4.321000000E+09")
        self.enter("clock-mhz", "1800").send_keys(Keys.ENTER)
        self.until(lambda d: self.text("clock-result") == "clock: ok", "the clock was not confirmed")
        self.until(lambda d: not d.find_element(By.ID, "clock-produced").is_displayed(), "the warning stayed")

    def test_stored_configuration_with_progress(self):
        d = self.open()
        d.find_element(By.ID, "config-read").click()
        self.until(lambda d: d.find_element(By.ID, "config-progress").is_displayed(), "no progress bar")
        self.until(lambda d: float(d.find_element(By.ID, "config-progress").get_attribute("value")) > 0.2,
                   "the progress bar did not move")
        self.until(lambda d: self.text("config-result") == "read stored configuration: ok",
                   "the configuration did not arrive", 20)
        self.assertIn("generateFrequency", self.text("config"))
        self.assertFalse(d.find_element(By.ID, "config-progress").is_displayed())

    def test_every_control_is_labelled_and_reachable_by_keyboard(self):
        d = self.open()
        unlabelled = d.execute_script(
            "return [...document.querySelectorAll('input, select, button, progress')]"
            ".filter(e => !(e.labels && e.labels.length) && !e.getAttribute('aria-label') && !e.textContent.trim())"
            ".map(e => e.id || e.outerHTML)")
        self.assertEqual(unlabelled, [])
        body = d.find_element(By.TAG_NAME, "body")
        reached = set()
        for _ in range(40):
            body = d.switch_to.active_element
            body.send_keys(Keys.TAB)
            reached.add(d.switch_to.active_element.get_attribute("id"))
        for control in ("board", "clock-mhz", "tx1-power", "fm-enabled", "pm-frequency", "cal-path", "config-read"):
            self.assertIn(control, reached)

    def test_phone_width(self):
        d = self.open(PHONE)
        self.enter("clock-mhz", "2500").send_keys(Keys.ENTER)
        self.until(lambda d: self.text("clock-result") == "clock: ok", "the clock was not confirmed")
        self.until(lambda d: "2500 MHz" in self.text("plan-a"), "no diagram at a phone's width")
        overflow = d.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        self.assertLessEqual(overflow, 0, "the page is wider than a phone")
        self.screenshot("front-panel-phone.png")


class UnavailableBoardTests(PanelTestCase):
    """A board that goes away: the banner, the refusal, and the way back."""

    @classmethod
    def setUpClass(cls):
        cls.board = BoardProgram()
        cls.daemon = Daemon("--board", "bench=" + cls.board.address)
        cls.url = "http://%s:8080/" % cls.daemon.address

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        if cls.board.proc.poll() is None:
            stop(cls.board.proc)
        if os.path.exists(cls.board.memory):
            os.unlink(cls.board.memory)

    def test_banner_while_the_board_is_away(self):
        d = self.open()
        self.assertFalse(d.find_element(By.ID, "banner").is_displayed())
        self.board.proc.kill()
        self.board.proc.communicate()
        self.until(lambda d: d.find_element(By.ID, "banner").is_displayed(), "no banner for a lost board")
        self.assertIn("unavailable", self.text("banner"))
        self.enter("tx2-power", "5").send_keys(Keys.ENTER)
        self.until(lambda d: "error 503" in self.text("outputs-result"), "no error for a missing board")
        self.assertIn("tx2Power", self.text("outputs-result"))
        self.until(lambda d: self.text("vco-lock") == "unknown", "the lock indicator kept a stale reading")
        self.screenshot("front-panel-unavailable.png")
        self.board = type(self).board = BoardProgram(address=self.board.address, memory=self.board.memory)
        self.until(lambda d: not d.find_element(By.ID, "banner").is_displayed(), "the banner stayed", 30)
        self.enter("tx2-power", "5").send_keys(Keys.ENTER)
        self.until(lambda d: self.text("outputs-result") == "outputs: ok", "the board did not come back")


class WithoutPlotTests(PanelTestCase):
    """The page without uPlot (not installed): everything but the plot works."""

    @classmethod
    def setUpClass(cls):
        cls.bare = tempfile.mkdtemp(prefix="kestrel-web-")
        for name in ("index.html", "app.js", "style.css"):
            shutil.copy(os.path.join(WEB, name), cls.bare)
        cls.web_root = cls.bare
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.bare, True)

    def test_page_works_without_the_plot(self):
        d = self.open()
        self.assertTrue(d.find_element(By.ID, "trend-note").is_displayed())
        self.enter("clock-mhz", "1250").send_keys(Keys.ENTER)
        self.until(lambda d: self.text("clock-result") == "clock: ok", "the clock was not confirmed")
        self.until(lambda d: int(d.find_element(By.ID, "trend").get_attribute("data-points")) >= 2,
                   "the readings stopped without the plot")
        self.assertAlmostEqual(float(self.scpi("DIAG:SIM:SYNT?").split(",")[4]), 1.25e9, delta=1.0)


if __name__ == "__main__":
    if webdriver is None or not CHROMIUM or not DRIVER:
        print("skipped: needs chromium, chromium-driver and python3-selenium (scripts/setup installs them)")
        sys.exit(77)
    unittest.main()

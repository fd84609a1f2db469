"""A page of another site, in headless Chromium, tries to drive the board:
it posts text/plain bodies in no-cors mode to the HTTP settings and to the
SCPI port, as any web page may. The board does not change, while the
daemon's own page in the same browser still sets it, with no Content
Security Policy violation.

The other site is a small HTTP server on a loopback address of its own.
Exits 77 (skipped) when the browser or its driver is not installed.
"""

import http.server
import shutil
import sys
import threading
import time
import unittest

from front_panel_test import CHROMIUM, DRIVER, LAPTOP, Keys, PanelTestCase, browser, webdriver
from kestreld_test import random_loopback

ATTACK = """<!doctype html>
<title>attack</title>
<script>
const changes = [
  ["http://%(daemon)s:8080/api/boards/bench/settings", "text/plain",
   '{"clockMHz": 4321, "tx1Power": 31, "tx2Power": 4096, "tx2Divider": 9}'],
  ["http://%(daemon)s:8080/api/boards/bench/settings", "application/x-www-form-urlencoded",
   '{"tx2Power": 4095}'],
  ["http://%(daemon)s:5025/", "text/plain", "\\nFREQ 4.321 GHZ;:OUTP1:POW 31;:OUTP2:POW 4096;DIV 9\\n"],
];
(async () => {
  const outcomes = [];
  for (const [url, type, body] of changes) {
    try {
      await fetch(url, { method: "POST", mode: "no-cors", headers: { "Content-Type": type }, body });
      outcomes.push("answered");
    } catch (e) {
      outcomes.push("refused");
    }
  }
  document.title = "done: " + outcomes.join(", ");
})();
</script>
"""

STATE = "FREQ?;:OUTP1:POW?;:OUTP2:POW?;DIV?"


class OtherSite:
    """Serves the attack page from another origin."""

    def __init__(self, page):
        body = page.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer((random_loopback(), 0), Handler)
        self.url = "http://%s:%d/" % self.server.server_address
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class CrossOriginTests(PanelTestCase):
    def test_another_site_changes_nothing_and_the_own_page_still_works(self):
        self.assertEqual(self.scpi("*RST;*OPC?"), "1")
        before = self.scpi(STATE)
        site = OtherSite(ATTACK % {"daemon": self.daemon.address})
        self.addCleanup(site.close)
        driver, profile = browser(LAPTOP)
        self.addCleanup(shutil.rmtree, profile, True)
        self.addCleanup(driver.quit)
        self.driver = driver
        driver.get(site.url)
        deadline = time.monotonic() + 20
        while not driver.title.startswith("done") and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.scpi("*OPC?;:" + STATE), "1;" + before, "the other site changed the board")
        self.assertEqual(driver.title, "done: answered, answered, refused")

        # The daemon's own page, in the same browser, still sets the board.
        driver.get(self.url)
        self.until(lambda d: self.text("link") == "live", "the status stream never arrived")
        self.enter("tx1-power", "17").send_keys(Keys.ENTER)
        self.until(lambda d: self.text("outputs-result") == "outputs: ok", "the page's change was refused")
        self.assertEqual(self.scpi("OUTP1:POW?"), "17")
        violations = [e["message"] for e in driver.get_log("browser") if "Content Security Policy" in e["message"]]
        self.assertEqual(violations, [])


if __name__ == "__main__":
    if webdriver is None or not CHROMIUM or not DRIVER:
        print("skipped: needs chromium, chromium-driver and python3-selenium (scripts/setup installs them)")
        sys.exit(77)
    unittest.main()

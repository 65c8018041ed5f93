"""The built documentation site in a real browser: Debian's headless Chromium driven
through its chromedriver over a local copy of build/docs/.

    python tests/docs/check_site.py [SITE] [SHOTS]

Every page loads with no console error; the search finds the methods and leads
to their API entries; the API page has every method of the stubs; every link
within the site resolves, anchors included. Screenshots of the home and API
pages at a laptop's and a phone's width go to build/docs-shots/. Not part of
the main test suite, which runs where there is no browser: make test-docs runs it.
"""
import ast
import functools
import http.server
import re
import sys
import threading
import time
import traceback
import urllib.parse
import urllib.request
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

ROOT = Path(__file__).resolve().parents[2]
SITE = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "docs"
SHOTS = Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "build" / "docs-shots"
STUB = ROOT / "stubs" / "zendrik-stubs" / "__init__.pyi"
API_PAGE = "api/zendrik/index.html"
WIDTHS = {"laptop": (1366, 768), "phone": (390, 844)}
SEARCHED = ["kernel", "echelon_form_last_row"]


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


def serve(site):
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(site)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--hide-scrollbars", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The driver is named, so that Selenium fetches none of its own.
    browser = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
    browser.set_window_size(*WIDTHS["laptop"])
    return browser


def stub_methods():
    """The methods of Matrix as the stubs declare them, the constructor (__new__) included."""
    tree = ast.parse(STUB.read_text())
    matrix = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Matrix")
    return [node.name for node in matrix.body if isinstance(node, ast.FunctionDef)]


def load(browser, url):
    browser.get(url)
    WebDriverWait(browser, 10).until(lambda b: b.execute_script("return document.readyState") == "complete")


def console_errors(browser):
    return [entry["message"] for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def fetch(url):
    with urllib.request.urlopen(url) as response:
        return response.read().decode("utf-8", "replace")


class Checks:
    def __init__(self, browser, base):
        self.browser, self.base = browser, base
        self.pages = sorted(str(p.relative_to(SITE)) for p in SITE.rglob("*.html")
                            if not p.relative_to(SITE).parts[0].startswith("_"))

    def every_page_loads_without_console_errors(self):
        failures = {}
        for page in self.pages:
            self.browser.get_log("browser")
            load(self.browser, self.base + page)
            errors = console_errors(self.browser)
            if errors:
                failures[page] = errors
        assert len(self.pages) >= 6, self.pages
        assert not failures, failures

    def every_internal_link_resolves(self):
        targets = {}
        for page in self.pages:
            load(self.browser, self.base + page)
            for url in self.browser.execute_script(
                    "return Array.from(document.querySelectorAll('a[href], img[src], link[href], script[src]'),"
                    " e => e.href || e.src)"):
                if url.startswith(self.base):
                    targets.setdefault(url, page)
        broken, pages = [], {}
        for url, page in sorted(targets.items()):
            address, _, anchor = url.partition("#")
            try:
                if address not in pages:
                    pages[address] = fetch(address)
            except OSError as error:
                broken.append(f"{page} -> {url}: {error}")
                continue
            anchor = urllib.parse.unquote(anchor)
            if anchor and not re.search(rf'\bid="{re.escape(anchor)}"', pages[address]):
                broken.append(f"{page} -> {url}: no element with that id")
        assert len(targets) > 50, f"only {len(targets)} links found"
        assert not broken, "\n".join(broken)
        print(f"    {len(targets)} links within the site, from {len(self.pages)} pages")

    def search_finds_methods_and_leads_to_their_entries(self):
        for name in SEARCHED:
            entry = f"zendrik.Matrix.{name}"
            # As a reader does: the search button of the home page, then the field it opens.
            self.browser.get_log("browser")
            load(self.browser, self.base + "index.html")
            next(b for b in self.browser.find_elements(By.CSS_SELECTOR, "button.search-button__button")
                 if b.is_displayed()).click()
            field = WebDriverWait(self.browser, 10).until(lambda b: next(
                (f for f in b.find_elements(By.CSS_SELECTOR, "form.bd-search input[name=q]") if f.is_displayed()),
                None))
            field.send_keys(name + Keys.ENTER)
            WebDriverWait(self.browser, 10).until(lambda b: "search.html?q=" in b.current_url)
            WebDriverWait(self.browser, 15).until(
                lambda b: b.find_elements(By.CSS_SELECTOR, "#search-results ul.search li a"))
            links = [a for a in self.browser.find_elements(By.CSS_SELECTOR, "#search-results ul.search li a")
                     if a.get_attribute("href").endswith(f"{API_PAGE}#{entry}")]
            assert links, f"searching {name!r}: no result leads to {entry}"
            links[0].click()
            WebDriverWait(self.browser, 10).until(lambda b: b.current_url.endswith("#" + entry))
            target = self.browser.find_element(By.ID, entry)
            assert target.is_displayed() and name in target.text, target.text
            assert not console_errors(self.browser)

    def api_page_has_every_method_with_signature_returns_and_raises(self):
        load(self.browser, self.base + API_PAGE)
        methods = stub_methods()
        public = [name for name in methods if not name.startswith("_")]
        assert len(public) == 15 and "__new__" in methods, methods
        missing = []
        for name in methods:
            entries = self.browser.find_elements(By.ID, f"zendrik.Matrix.{name}")
            if not entries or "(" not in entries[0].text or "→" not in entries[0].text:
                missing.append(name)
        assert not missing, f"no entry with signature and return type for {missing}"
        body = self.browser.find_element(By.TAG_NAME, "main").text
        for section in ("Returns:", "Raises:", "PanicException"):
            assert section in body, section
        print(f"    {len(public)} methods and the constructor")

    def screenshots_at_laptop_and_phone_widths(self):
        SHOTS.mkdir(parents=True, exist_ok=True)
        for width_name, (width, height) in WIDTHS.items():
            self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
            for page_name, page in (("home", "index.html"), ("api", API_PAGE)):
                load(self.browser, self.base + page)
                overflow = self.browser.execute_script(
                    "return document.documentElement.scrollWidth - window.innerWidth")
                path = SHOTS / f"{page_name}-{width_name}.png"
                self.browser.save_screenshot(str(path))
                assert overflow <= 0, f"{page} at {width} px is {overflow} px wider than the screen"
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        print(f"    in {SHOTS}")


def main():
    if not (SITE / "index.html").exists():
        sys.exit(f"{SITE} has no site: run make docs first")
    server, base = serve(SITE)
    browser = start_browser()
    checks = Checks(browser, base)
    names = [name for name in vars(Checks) if not name.startswith("_")]
    passed = failed = 0
    try:
        for name in names:
            started = time.monotonic()
            try:
                getattr(checks, name)()
            except Exception:
                failed += 1
                print(f"FAILED {name}\n{traceback.format_exc()}")
            else:
                passed += 1
                print(f"passed {name} ({time.monotonic() - started:.1f} s)")
    finally:
        browser.quit()
        server.shutdown()
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

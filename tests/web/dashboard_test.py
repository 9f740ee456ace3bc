#!/usr/bin/env python3
"""The dashboard in a real browser: headless chromium, driven through
chromium-driver by selenium, against kesp-units serve over a record that a
real station (kesp-batch --station) and kesp-sim are writing; and /metrics
read by the Prometheus client's own strict parser against the record's
counts in SQL.

usage: dashboard_test.py KESP_SIM KESP_BATCH KESP_UNITS [SCREENSHOT.png]
Exits 77 (skipped) without chromium, its driver or the python modules."""
import os
import re
import shutil
import json
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIPPED = 77
# The station writes its row this often (ms) and the page calls a station
# silent after this many seconds without one: shorter than in a plant, so
# that the test sees a killed station fall silent in seconds.
BEAT_MS = 500
SILENT_AFTER_S = 5
# Every wait is bounded by this, unless the check has its own limit.
LONG_WAIT_S = 60
# A unit that passes shows on the open plant page within this.
LIVE_LIMIT_S = 2.0

sim, batch, units = (os.path.abspath(a) for a in sys.argv[1:4])
screenshot = sys.argv[4] if len(sys.argv) > 4 else ""

def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIPPED)

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from prometheus_client.parser import text_string_to_metric_families
except ImportError as e:
    skip("the browser test needs python3-selenium and python3-prometheus-client"
         " (scripts/test installs them as root): %s" % e)
chromium = shutil.which("chromium")
driver_path = shutil.which("chromedriver")
if chromium is None or driver_path is None:
    skip("the browser test needs chromium and chromium-driver"
         " (scripts/test installs them as root)")

failures = []

def check(ok, what):
    if not ok:
        print("FAIL: " + what)
        failures.append(what)
    return ok

def wait_for(predicate, limit, what):
    """The predicate's first true value, polled until limit seconds have
    passed; None (and a failure) when it never came."""
    deadline = time.monotonic() + limit
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            check(False, "waited %.1f s for %s" % (limit, what))
            return None
        time.sleep(0.05)

work = tempfile.mkdtemp(prefix="kesp-dashboard-")
procs = []
browser = None

def start(args, log, env=None):
    p = subprocess.Popen(args, stdout=open(os.path.join(work, log + ".out"), "w"),
                         stderr=open(os.path.join(work, log + ".err"), "w"), cwd=work,
                         env=env, start_new_session=True)
    procs.append(p)
    return p

def read(name):
    try:
        with open(os.path.join(work, name), errors="replace") as f:
            return f.read()
    except OSError:
        return ""

def cleanup():
    if browser is not None:
        browser.quit()
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()
    shutil.rmtree(work, ignore_errors=True)

def candidates():
    """Loopback addresses as the other tests pick them: away from 127.0.0.x,
    from an offset drawn from the process id, the next on a failed bind."""
    for n in range(20):
        slot = (os.getpid() * 2654435761 + n) % 8192
        host = 0x7f400000 + slot * 1024 + 1
        yield "%d.%d.%d.%d" % (host >> 24 & 255, host >> 16 & 255, host >> 8 & 255, host & 255)

def start_sim():
    for address in candidates():
        p = start([sim, "--listen", address, "--boards", "2", "--swap", "600-900",
                   "--erase-time", "50", "--program-time", "300", "--select", "2",
                   "--final-error", "2"], "sim")
        if wait_for(lambda: "listening on" in read("sim.err") or p.poll() is not None,
                    10, "kesp-sim to start") and "listening on" in read("sim.err"):
            return address
        p.kill()
        p.wait()
        if "Address already in use" not in read("sim.err"):
            break
    print(read("sim.err"))
    sys.exit(1)

def db():
    c = sqlite3.connect("file:%s?mode=ro" % os.path.join(work, "record.db"), uri=True,
                        timeout=10)
    return c

def sql(query, *args):
    c = db()
    try:
        return c.execute(query, args).fetchall()
    finally:
        c.close()

def passed_count():
    try:
        return sql("SELECT COUNT(*) FROM units WHERE result = 'passed'")[0][0]
    except sqlite3.Error:
        return 0

def fetch(url):
    with urllib.request.urlopen(url, timeout=30) as r:
        return r.read().decode()

try:
    with open(os.path.join(work, "image.bin"), "wb") as f:
        f.write(os.urandom(16384))
    address = start_sim()
    first = address.split(".")
    second = ".".join(first[:3] + [str(int(first[3]) + 1)])
    station_name = "line-7"
    env = dict(os.environ, KESP_STATION_BEAT_MS=str(BEAT_MS))
    station = start([batch, "--station", "--settle", "0.2", "-a", "0x10000", "-i", "image.bin",
                     "--db", "record.db", "--serials", "KX{:05},1-99999", "--station-name",
                     station_name, "-s", address, second], "station", env)
    wait_for(lambda: passed_count() >= 2 or station.poll() is not None, LONG_WAIT_S,
             "the station's first units")
    if station.poll() is not None:
        print(read("station.err"))
        sys.exit(1)
    server = start([units, "--db", "record.db", "serve", "--listen", "127.0.0.1:0",
                    "--silent-after", str(SILENT_AFTER_S)], "serve")
    said = wait_for(lambda: re.search(r"http://127\.0\.0\.1:(\d+)/", read("serve.err")), 10,
                    "the dashboard's address")
    if said is None:
        print(read("serve.err"))
        sys.exit(1)
    base = "http://127.0.0.1:%s" % said.group(1)
    check("no login" not in read("serve.err"), "a loopback dashboard warns of no login")

    # More pages than the server has threads, each asking as a browser
    # does (keep-alive, compressed if it may): every answer ends its
    # connection, so that no page holds a thread between its fetches and
    # the next page still gets one, and comes as it is, since compressing
    # it for every page each second costs more than making it.
    port = int(said.group(1))
    pages = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(12)]
    for page in pages:
        page.sendall(b"GET /api/plant HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     b"Accept-Encoding: gzip, deflate, br\r\nConnection: keep-alive\r\n\r\n")
    for n, page in enumerate(pages):
        answer = b""
        try:
            while True:
                part = page.recv(65536)
                if not part:
                    break
                answer += part
        except socket.timeout:
            pass
        head = answer.split(b"\r\n\r\n", 1)[0].lower()
        check(head.startswith(b"http/1.1 200") and b"connection: close" in head
              and b"content-encoding" not in head,
              "page %d's answer closes its connection, uncompressed: %r" % (n, head[:300]))
        page.close()

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + os.path.join(work, "chromium"),
                 "--window-size=1000,720"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service(driver_path), options=options)
    browser.set_page_load_timeout(30)

    # The plant page, open from here on without a reload: a mark set now
    # would be gone with one.
    browser.get(base + "/")
    browser.execute_script("window.kespMark = 42;")
    def page_text():
        return browser.find_element(By.ID, "stations").text
    check(station_name in page_text(), "the station's name shows as text")
    wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, "body[data-updated]"), 10,
             "the page's first fetch")

    # A unit that passes appears within the limit.
    before = passed_count()
    wait_for(lambda: passed_count() > before, LONG_WAIT_S, "a unit to pass")
    seen_at = time.monotonic()
    now_passed = passed_count()
    def shows_passed():
        m = re.search(r"this shift: \d+ units, (\d+) passed", page_text())
        return m is not None and int(m.group(1)) >= now_passed
    wait_for(shows_passed, LONG_WAIT_S, "the page to count the passed unit")
    check(time.monotonic() - seen_at <= LIVE_LIMIT_S,
          "a passed unit showed %.2f s after it was recorded (at most %.1f s)"
          % (time.monotonic() - seen_at, LIVE_LIMIT_S))
    if screenshot:
        browser.save_screenshot(screenshot)
    # A scrape while the station writes: the server keeps the counts of
    # units that can no longer change, and the last scrape below must add
    # only what came after.
    families = list(text_string_to_metric_families(fetch(base + "/metrics")))
    check(any(f.name == "kesp_units" for f in families), "an early scrape counts units")

    # Every step of a unit the station flashed, on the unit's page.
    serial, uid = sql("SELECT serial, id FROM units WHERE result = 'passed' ORDER BY id"
                      " LIMIT 1")[0]
    steps = sql("SELECT step, board, result FROM steps WHERE unit_id = ? ORDER BY step", uid)
    browser.get(base + "/unit?serial=" + serial)
    rows = browser.find_elements(By.CSS_SELECTOR, "table.steps tr.step")
    check(len(rows) == len(steps) and len(steps) >= 1,
          "unit %s: %d step rows on its page, %d in the record" % (serial, len(rows), len(steps)))
    for row, (step, board, result) in zip(rows, steps):
        cells = [c.text for c in row.find_elements(By.TAG_NAME, "td")]
        check(str(step) in cells and board in cells and result in cells,
              "unit %s step %s shows %s" % (serial, step, cells))
    permalink = browser.find_element(By.CSS_SELECTOR, "a.permalink").get_attribute("href")
    check(permalink == base + "/unit?serial=" + serial, "the permalink " + permalink)
    browser.get(base + "/unit?q=" + serial[2:])
    check(serial in browser.title, "a part of the serial finds the unit")

    # Values that would be markup: a unit of their own, written as a
    # station would write one, shown on every page as text.
    payload_reason = '"><img src=x onerror="window.pwned = 1">'
    payload_serial = 'KX<script>window.pwned = 1</script>'
    w = sqlite3.connect(os.path.join(work, "record.db"), timeout=10)
    w.execute("INSERT INTO units (serial, station, slot, unit_number, started, ended, result,"
              " failure, reason, failure_class) VALUES (?, ?, ?, 1, strftime('%Y-%m-%dT%H:%M:"
              "%fZ', 'now'), strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), 'failed', 'verify', ?,"
              " 'board')", (payload_serial, "<b>bold</b>", payload_reason, payload_reason))
    w.commit()
    w.close()
    for page in ["/unit?serial=" + urllib.request.quote(payload_serial),
                 "/yield", "/unit?q=script", "/"]:
        browser.get(base + page)
        body = browser.find_element(By.TAG_NAME, "body")
        check(browser.execute_script("return window.pwned === undefined;"),
              page + ": a value ran as script")
        check(not browser.find_elements(By.CSS_SELECTOR, "img, main script, b"),
              page + ": a value became an element")
        if page == "/":
            # Drawn by the page's script, from the JSON it fetches: the row
            # comes after the page.
            wait_for(lambda: browser.execute_script("return document.body.dataset.updated;"),
                     10, "the plant page's first fetch")
            w = sqlite3.connect(os.path.join(work, "record.db"), timeout=10)
            # A station's row as one would write it: its name, host and
            # slots are anyone's words.
            w.execute("INSERT INTO stations (name, host, pid, started, last_seen, recipe, images,"
                      " slots) VALUES (?, ?, 1, '2026-01-01T00:00:00.000Z',"
                      " strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?, '[]', ?)",
                      (payload_serial, payload_reason, payload_reason,
                       json.dumps([{"label": payload_reason, "state": payload_serial,
                                    "unit": payload_serial, "since": payload_reason}])))
            w.commit()
            w.close()
            wait_for(lambda: browser.execute_script(
                "return Array.from(document.querySelectorAll('section.station'))"
                ".some(s => s.dataset.station === arguments[0]"
                " && s.textContent.includes(arguments[1]));", payload_serial, payload_reason),
                10, "the plant page to show the odd station's row as text")
            check(browser.execute_script("return window.pwned === undefined;"),
                  "/: a station's row ran as script")
            check(not browser.find_elements(By.CSS_SELECTOR, "img, main script, b"),
                  "/: a station's row became an element")
        if page.startswith("/unit?serial"):
            check(payload_reason in body.text and payload_serial in body.text,
                  page + ": the values show as text")
        if page == "/unit?q=script":
            check(payload_serial in body.text, page + ": the search shows the serial as text")
    logs = [e for e in browser.get_log("browser") if e.get("level") == "SEVERE"]
    check(not logs, "the browser's console: %s" % logs)

    # The plant page again, open while the station dies.
    browser.get(base + "/")
    browser.execute_script("window.kespMark = 42;")
    live_css = "section.station span.live"
    wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, live_css), 10, "the station live")
    os.killpg(station.pid, signal.SIGKILL)
    station.wait()
    killed_at = time.monotonic()
    # Read in the page itself: the script replaces the elements every second.
    def silent():
        return browser.execute_script(
            "return Array.from(document.querySelectorAll('section.station'))"
            ".some(s => s.dataset.station === arguments[0] && s.querySelector('span.silent'));",
            station_name)
    wait_for(silent, SILENT_AFTER_S + 10, "the killed station to turn silent")
    check(time.monotonic() - killed_at >= SILENT_AFTER_S - BEAT_MS / 1000.0 - 0.5,
          "the station turned silent before its row was old")
    check(browser.execute_script("return window.kespMark;") == 42, "the plant page reloaded")

    # Each slot as the station last wrote it.
    written = json.loads(sql("SELECT slots FROM stations WHERE name = ?", station_name)[0][0])
    shown = browser.execute_script(
        "return Object.fromEntries(Array.from(document.querySelectorAll("
        "'section.station')).filter(s => s.dataset.station === arguments[0]).flatMap("
        "s => Array.from(s.querySelectorAll('tr[data-slot]'))).map(tr => [tr.dataset.slot,"
        " tr.querySelector('td.state').textContent]));", station_name)
    check(shown == {s["label"]: s["state"] for s in written},
          "the slots shown %s, written %s" % (shown, written))
    check(len(written) == 2 and all(s["state"] for s in written), "two slots with states")

    # /metrics, strictly parsed, against the record, which no one writes now.
    families = {f.name: f for f in text_string_to_metric_families(fetch(base + "/metrics"))}
    counted = {}
    for s in families["kesp_units"].samples:
        if s.name == "kesp_units_total":
            key = (s.labels["station"], s.labels["result"], s.labels["failure_class"])
            counted[key] = int(s.value)
    expected = {(st, r, c or ""): n for st, r, c, n in
                sql("SELECT station, result, failure_class, COUNT(*) FROM units"
                    " GROUP BY station, result, failure_class")}
    check(counted == expected, "metrics %s, record %s" % (counted, expected))
    hist = {s.labels.get("le"): s.value for s in families["kesp_unit_duration_seconds"].samples
            if s.name == "kesp_unit_duration_seconds_bucket"}
    ended = sql("SELECT COUNT(*) FROM units WHERE result IN ('passed', 'failed')"
                " AND ended IS NOT NULL")[0][0]
    check(hist.get("+Inf") == ended, "the histogram counts %s units of %d" % (hist.get("+Inf"), ended))
    stations = {s.labels["state"]: s.value for s in families["kesp_stations"].samples}
    check(stations == {"live": 0, "silent": 2}, "stations %s" % stations)

    # The yield page's bars against the same counts in SQL, hour by hour.
    day = sql("SELECT substr(MIN(started), 1, 10) FROM units")[0][0]
    browser.get(base + "/yield?since=" + day)
    bars = {r.get_attribute("data-label"): float(r.get_attribute("data-value"))
            for r in browser.find_elements(By.CSS_SELECTOR, "#units-per-hour rect.bar")}
    hours = {h + ":00": float(n) for h, n in
             sql("SELECT substr(started, 1, 13), COUNT(*) FROM units WHERE started >= ?"
                 " GROUP BY 1", day)}
    check(bars == hours and bars, "units per hour: chart %s, record %s" % (bars, hours))
    pareto = {r.get_attribute("data-label"): float(r.get_attribute("data-value"))
              for r in browser.find_elements(By.CSS_SELECTOR, "#pareto rect.bar")}
    failed = {"%s %s" % (c or "-", f or r): float(n) for c, f, r, n in
              sql("SELECT failure_class, failure, result, COUNT(*) FROM units"
                  " WHERE result IN ('failed', 'abandoned') GROUP BY 1, 2, 3")}
    check(pareto == failed, "failures: chart %s, record %s" % (pareto, failed))

    # The export page's CSV is kesp-units export's, byte for byte.
    for what in ["units", "steps"]:
        cli = subprocess.run([units, "--db", os.path.join(work, "record.db"), "export", what],
                             capture_output=True, timeout=60).stdout
        with urllib.request.urlopen(base + "/export.csv?what=" + what, timeout=30) as r:
            web = r.read()
        check(cli == web and cli.count(b"\r\n") > 2,
              "export %s: %d bytes from the page, %d from kesp-units" % (what, len(web), len(cli)))

    # SIGTERM ends the server cleanly, whatever the browser still holds.
    server.terminate()
    try:
        check(server.wait(timeout=20) == 0, "serve ended with %s" % server.returncode)
    except subprocess.TimeoutExpired:
        check(False, "serve did not end within 20 s of SIGTERM")
    check("ERROR" not in read("serve.err"), "serve's errors: " + read("serve.err")[-2000:])
finally:
    if failures:
        for name in ["sim.err", "station.out", "station.err", "serve.err"]:
            print("--- " + name + "\n" + read(name)[-3000:])
    cleanup()

print("dashboard: %d failure(s)" % len(failures))
sys.exit(1 if failures else 0)

#!/usr/bin/python3
"""What watching the plant page live costs, measured by hand: a station
(kesp-batch --station over kesp-sim) writes its record while kesp-units
serve serves it, first with no page open, then with WATCHERS headless
chromium browsers each showing the plant page (which fetches its stations
every second), then with none again. For each window of SECONDS: the
server's processor time as a share of one core, its peak resident memory,
and the station's processor time per unit recorded, which shows whether
the watchers reach the station.
Goals: 20 watchers cost the server under 5 % of one core, and the station
nothing measurable.

usage: bench/web_watchers.py [-b BUILD_DIR] [-n WATCHERS] [-s SECONDS] [-u UNITS]
  -u  the record holds UNITS units before the station starts (made by
      bench/web_record.cpp, as bench/web does), so that each answer
      aggregates a plant's shift rather than a few units
Needs chromium, chromium-driver and python3-selenium (scripts/test installs
them)."""
import argparse
import datetime
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
parser = argparse.ArgumentParser()
parser.add_argument("-b", "--build", default=os.path.join(repo, "build"))
parser.add_argument("-n", "--watchers", type=int, default=20)
parser.add_argument("-s", "--seconds", type=int, default=60)
parser.add_argument("-u", "--units", type=int, default=0)
args = parser.parse_args()
build = os.path.abspath(args.build)
subprocess.run(["cmake", "--build", build, "-j2", "--target", "kesp-sim", "kesp-batch",
                "kesp-units", "kesp_web_record"], check=True, stdout=subprocess.DEVNULL)
TICK = os.sysconf("SC_CLK_TCK")
work = tempfile.mkdtemp(prefix="kesp-watchers-")
procs, browsers = [], []


def start(argv, log, env=None):
    p = subprocess.Popen(argv, stdout=open(os.path.join(work, log + ".out"), "w"),
                         stderr=open(os.path.join(work, log + ".err"), "w"), cwd=work,
                         env=env, start_new_session=True)
    procs.append(p)
    return p


def read(name):
    with open(os.path.join(work, name), errors="replace") as f:
        return f.read()


def wait_for(predicate, limit, what):
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            sys.exit("waited %d s for %s" % (limit, what))
        time.sleep(0.1)


def cpu_seconds(pid):
    """User and system time of the process (its threads included)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def peak_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1)) / 1024


def units_recorded():
    c = sqlite3.connect("file:%s?mode=ro" % os.path.join(work, "record.db"), uri=True, timeout=10)
    try:
        return c.execute("SELECT COUNT(*) FROM units WHERE result <> 'unfinished'").fetchone()[0]
    finally:
        c.close()


def staleness():
    """The oldest of the open pages' last updates, in seconds: each page
    stamps itself with the server's time of the state it shows."""
    oldest = 0.0
    for browser in browsers:
        stamp = browser.execute_script("return document.body.dataset.updated || ''")
        at = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
            tzinfo=datetime.timezone.utc).timestamp() if stamp.endswith("Z") else 0
        oldest = max(oldest, time.time() - at)
    return oldest


def window(label, server, station):
    s0, t0, u0, w0 = cpu_seconds(server.pid), cpu_seconds(station.pid), units_recorded(), time.monotonic()
    # The pages are read between the two readings of the server's time:
    # that costs the browsers, not the server.
    stale = []
    while time.monotonic() < w0 + args.seconds:
        time.sleep(2)
        if browsers:
            stale.append(staleness())
    s1, t1, u1, w1 = cpu_seconds(server.pid), cpu_seconds(station.pid), units_recorded(), time.monotonic()
    units = u1 - u0
    per_unit = "%.1f ms" % (1000 * (t1 - t0) / units) if units else "-"
    print("%-12s server %5.2f %% of a core, peak %5.1f MiB; station %3d units, %s CPU per unit%s"
          % (label, 100 * (s1 - s0) / (w1 - w0), peak_mib(server.pid), units, per_unit,
             "; pages at most %.1f s behind (median %.1f)" % (max(stale), sorted(stale)[len(stale) // 2])
             if stale else ""), flush=True)
    return 100 * (s1 - s0) / (w1 - w0)


try:
    with open(os.path.join(work, "image.bin"), "wb") as f:
        f.write(os.urandom(16384))
    for n in range(20):
        host = 0x7f400000 + ((os.getpid() * 2654435761 + n) % 8192) * 1024 + 1
        address = "%d.%d.%d.%d" % (host >> 24 & 255, host >> 16 & 255, host >> 8 & 255, host & 255)
        sim = start([os.path.join(build, "kesp-sim"), "--listen", address, "--boards", "2",
                     "--swap", "600-900", "--erase-time", "50", "--program-time", "300"], "sim")
        wait_for(lambda: "listening on" in read("sim.err") or sim.poll() is not None, 10,
                 "kesp-sim")
        if "listening on" in read("sim.err"):
            break
    else:
        sys.exit("no free loopback address for kesp-sim")
    second = ".".join(address.split(".")[:3] + [str(int(address.split(".")[3]) + 1)])
    if args.units:
        subprocess.run([os.path.join(build, "bench", "kesp_web_record"),
                        os.path.join(work, "record.db"), str(args.units)], check=True)
    station = start([os.path.join(build, "kesp-batch"), "--station", "--settle", "0.2", "-i",
                     "image.bin", "-s", "--db", "record.db", "--serials", "KX{:06},1-999999",
                     "--station-name", "line-1", address, second], "station")
    wait_for(lambda: os.path.exists(os.path.join(work, "record.db")) and units_recorded() > 0,
             60, "the station's first unit")
    server = start([os.path.join(build, "kesp-units"), "--db", "record.db", "serve", "--listen",
                    "127.0.0.1:0"], "serve")
    wait_for(lambda: re.search(r"127\.0\.0\.1:\d+", read("serve.err")), 10, "the server")
    base = "http://" + re.search(r"127\.0\.0\.1:\d+", read("serve.err")).group(0)
    print("web watchers bench: %d watchers, %d s windows, %d units recorded before"
          % (args.watchers, args.seconds, args.units))
    idle = window("no watchers", server, station)
    for i in range(args.watchers):
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update",
                     "--user-data-dir=" + os.path.join(work, "chromium-%d" % i)]:
            options.add_argument(flag)
        browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
        browsers.append(browser)
        browser.get(base + "/")
    for browser in browsers:
        wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, "body[data-updated]"), 30,
                 "a page's first fetch")
    watched = window("%d watchers" % args.watchers, server, station)
    # Once more without them: the first window also holds the station's
    # first minute, which costs it more than the ones after.
    for browser in browsers:
        browser.quit()
    browsers.clear()
    window("none again", server, station)
    print("goal: %d watchers cost the server under 5 %% of one core: %.2f %% (%.2f %% more than"
          " none): %s" % (args.watchers, watched, watched - idle,
                          "met" if watched - idle < 5 else "NOT met"))
finally:
    for browser in browsers:
        browser.quit()
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()
    shutil.rmtree(work, ignore_errors=True)

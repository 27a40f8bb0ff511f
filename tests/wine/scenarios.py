#!/usr/bin/env python3
"""Wine scenarios for kvpcact.dll: real processes, real X input.

Usage: scenarios.py --arch x86|x64 --prefix DIR --state DIR [--scale F]
                    --probe EXE --probe-imp EXE --pcactmon EXE
                    [--other-probe EXE --other-pcactmon EXE] COMMAND [ARGS]

COMMAND is one of
  scale     print the factor for every timeout: 40 where 32-bit programs
            run through qemu emulation and the suite is 32-bit, else 1
  prefix    create the Wine prefix (once; built aside and moved into place)
  start     start the suite's session: an Xvfb display and a persistent
            wineserver with the prefix's system processes running
  stop      end that session
  run EXE [ARGS...]
            run one Windows program in the session; it must exit with 0
  SCENARIO  one of the test scenarios below
The scenarios share the session started once for the suite, so that Wine
starts its system processes only once: under emulation, every Wine process
start costs tens of seconds. Each scenario drives pcactprobe processes
through their stdin and stdout and exits non-zero with a message on the
first mismatch. Every timeout is multiplied by --scale. A missing wine,
Xvfb or xdotool is a failure, never a skip.

--other-probe and --other-pcactmon name the 32-bit build's programs, which
a 64-bit suite runs beside its own in two_monitors. The soak runs for
KVPCACT_SOAK_SECONDS (default 60).
"""
import argparse
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

TRUE = 0xFFFFFFFF
FALSE = 0
# Multiplied by the scale factor in main().
REPLY_TIMEOUT = 15.0
INPUT_TIMEOUT = 10.0
PREFIX_TIMEOUT = 300.0

# A window of the target process; pointer moves stay inside it.
WIN_X, WIN_Y, WIN_W, WIN_H = 100, 100, 400, 300

LOADERS = {"x86": "wine", "x64": "/usr/lib/wine/wine64"}
WINEARCH = {"x86": "win32", "x64": "win64"}
# A win64 prefix runs 32-bit programs too; a win32 one runs no 64-bit ones.
OTHER_ARCH = {"x64": "x86"}
# In a probe spec: the other build's probe.
OTHER = "other"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(predicate, what, timeout=None):
    """Polls `predicate` until it returns a true value, which it returns."""
    timeout = timeout or INPUT_TIMEOUT
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.02)


def tick_passes():
    """Lets GetTickCount move on, so that a new stamp differs from an old one."""
    time.sleep(0.03)


def wine_env(args):
    """The environment of every Wine process of the suite: its own prefix, no
    mono or gecko installers, no desktop menu entries, never the caller's
    own display."""
    env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    display = os.path.join(args.state, "display")
    if os.path.exists(display):
        with open(display) as f:
            env["DISPLAY"] = f.read().strip()
    return env


def wineserver(env, *words, timeout=None):
    # Never on the caller's stdout: a server that outlives this process
    # would keep the pipe of whoever reads it open.
    return subprocess.run(["wineserver", *words], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout or REPLY_TIMEOUT).returncode


class Session:
    """The suite's session, as one scenario uses it. The processes that a
    scenario starts end with it; when it fails, the whole session is ended,
    so that nothing it left behind reaches the next scenario, which starts
    a new one."""

    def __init__(self, args):
        self.args = args
        self.loader = LOADERS[args.arch]
        self.env = wine_env(args)
        self.procs = []

    def __enter__(self):
        if "DISPLAY" not in self.env or not x_display_answers(self.env):
            # Not started, or ended by a scenario that failed.
            start_session(self.args)
            self.env = wine_env(self.args)
        # Persistent: the prefix's system processes stay up between scenarios.
        wineserver(self.env, "-p")
        return self

    def __exit__(self, failed, *exc):
        for proc in self.procs:
            proc.close(kill=failed is not None)
        if failed is not None:
            stop_session(self.args)
        return False

    def start(self, argv, loader=None, **popen):
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stderr", subprocess.DEVNULL)
        return subprocess.Popen([loader or self.loader, *argv], env=self.env, **popen)

    def probe(self, name, imported=False):
        return self.probes((name, imported))[0]

    def probes(self, *specs):
        """Starts several probes at once, each (name, imported) or (name,
        OTHER) for the other build's probe, and waits until all are ready:
        starts overlap, which pays off under emulation."""
        started = [Probe(name, self, self.args.other_probe, LOADERS[OTHER_ARCH[self.args.arch]])
                   if imported is OTHER else
                   Probe(name, self, self.args.probe_imp if imported else self.args.probe)
                   for name, imported in specs]
        self.procs += started
        for probe in started:
            probe.ready()
        return started

    def xdotool(self, *words):
        subprocess.run(["xdotool", *[str(w) for w in words]], env=self.env, check=True,
                       stdin=subprocess.DEVNULL, timeout=INPUT_TIMEOUT)


def x_display_answers(env):
    return subprocess.run(["xdotool", "getdisplaygeometry"], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=INPUT_TIMEOUT).returncode == 0


def read_lines(stream):
    """A queue that a background thread fills with the lines of `stream`,
    without line ends, and then None at its end."""
    lines = queue.Queue()

    def read():
        for line in stream:
            lines.put(line.rstrip("\r\n"))
        lines.put(None)
    threading.Thread(target=read, daemon=True).start()
    return lines


class Probe:
    """One pcactprobe process: one command line in, one reply line out."""

    def __init__(self, name, session, exe, loader=None):
        self.name = name
        self.proc = session.start([exe], loader, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True, bufsize=1)
        self.lines = read_lines(self.proc.stdout)

    def ready(self):
        self._expect_reply("start")

    def _expect_reply(self, command):
        try:
            line = self.lines.get(timeout=REPLY_TIMEOUT)
        except queue.Empty:
            raise Failure(f"{self.name}: no reply to '{command}'") from None
        check(line is not None, f"{self.name}: ended during '{command}'")
        check(line.startswith("ok"), f"{self.name}: '{command}' failed: {line}")
        return dict(field.split("=", 1) for field in line.split()[1:] if "=" in field)

    def __call__(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self._expect_reply(command)

    def record(self, absent_ok=False):
        """The record as a dict of ints; None when the section is absent and
        that is expected."""
        reply = self("dump")
        if "keyboard" not in reply:
            check(absent_ok, f"{self.name}: the record is absent")
            return None
        return {key: int(reply[key], 0) for key in
                ("keyboard", "mouse", "x", "y", "time", "now")}

    def switch(self, activate):
        return int(self(f"switch {activate:#x}")["result"], 16)

    def quit(self):
        self("quit")
        check(self.proc.wait(REPLY_TIMEOUT) == 0, f"{self.name}: exit status not 0")

    def close(self, kill=False):
        if self.proc.poll() is None:
            try:
                if kill:
                    raise OSError
                self.proc.stdin.close()
                self.proc.wait(REPLY_TIMEOUT)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def fields(record):
    """The five fields, without the reader's own tick count."""
    return {k: v for k, v in record.items() if k != "now"}


def stats(probe):
    return {key: int(value) for key, value in probe("stats").items()}


def input_into(session, window, action, counter, at=None, origin=(WIN_X, WIN_Y)):
    """Sends one X action (xdotool words, or a callable that makes input) and
    waits until `window` has handled it: its hooks have run by then.
    `counter` is the stats entry it must raise; `at` a screen point the
    pointer must be seen at, in a window placed at `origin`."""
    before = stats(window)[counter]
    if callable(action):
        action()
    else:
        session.xdotool(*action)

    def handled():
        now = stats(window)
        if now[counter] <= before:
            return False
        return at is None or (now["lastx"], now["lasty"]) == (at[0] - origin[0], at[1] - origin[1])
    what = action.__doc__ if callable(action) else " ".join(map(str, action))
    wait_until(handled, f"{window.name} to take {what}")


def expect_stamp(before, after, what):
    check(before["time"] < after["time"] <= after["now"],
          f"{what}: LastActivityTime {after['time']} not restamped "
          f"(was {before['time']}, now {after['now']})")


# --- the record ---------------------------------------------------------------

def scenario_record(session):
    zero = dict(keyboard=0, mouse=0, x=0, y=0, time=0)
    # All three start at once; none loads the library before it is told to.
    first, second, third = session.probes(("first", False), ("second", False), ("third", False))
    check(first.record(absent_ok=True) is None,
          "the section exists before any process loaded the library")
    first("load")
    check(fields(first.record()) == zero, f"a new record is not 20 zero bytes: {first.record()}")

    second("load")
    check(fields(second.record()) == zero, "the second process sees other bytes")
    check(second.switch(1) == TRUE, "switching on from the second process failed")
    # Each process writes a field through its own view; the other reads it.
    for writer, reader, offset, value, key in ((second, first, 8, -5, "x"),
                                                (first, second, 12, 1234, "y")):
        writer(f"poke {offset} {value & 0xFFFFFFFF:#x}")
        check(reader.record()[key] == value,
              f"{reader.name} does not see {key}={value} written by {writer.name}")
    shared = fields(first.record())
    check(shared == fields(second.record()), "the two processes see different records")
    check(shared["keyboard"] and shared["mouse"], f"no hook handles stored: {shared}")

    second("unload")
    check(second("loaded")["loaded"] == "0", "the library stayed loaded after FreeLibrary")
    check(fields(first.record()) == shared, "unloading in one process changed the record")

    # Every holder gone, by unload and then by process end: the next load
    # makes a new, zero record.
    first("unload")
    check(first.record(absent_ok=True) is None,
          "the section outlived every process that had it mapped")
    first("load")
    check(fields(first.record()) == zero, "the record after the last holder left is not zero")
    first.quit()
    check(third.record(absent_ok=True) is None, "the section outlived its last holder's process")
    third("load")
    check(fields(third.record()) == zero, "a new record after process end is not zero")
    # The new record no longer names the hooks, which stay installed: the
    # session goes on with the next scenario.
    for hook in (shared["keyboard"], shared["mouse"]):
        check(third(f"unhook {hook}")["unhooked"] == "1", f"hook {hook:#x} could not be released")


# --- switching ------------------------------------------------------------------

def scenario_switch(session):
    # Imported, not loaded by hand: this also proves the import library.
    monitor = session.probe("monitor", imported=True)
    check(monitor("loaded")["loaded"] == "1", "the importing probe does not have the library")
    monitor("poke 8 7")
    monitor(f"poke 12 {-9 & 0xFFFFFFFF:#x}")
    for activate in (1, 2, 0x80000000, 0xFFFFFFFF):
        tag = f"Activate={activate:#x}"
        start = monitor.record()
        tick_passes()
        check(monitor.switch(activate) == TRUE, f"{tag}: switching on did not return 0xFFFFFFFF")
        on = monitor.record()
        expect_stamp(start, on, f"{tag} on")
        check(on["keyboard"] and on["mouse"], f"{tag}: handles not stored: {on}")
        check((on["x"], on["y"]) == (7, -9), f"{tag}: switching on moved the position")

        tick_passes()
        check(monitor.switch(activate) == FALSE, f"{tag}: switching on again did not return 0")
        again = monitor.record()
        expect_stamp(on, again, f"{tag} on again")
        check(fields(again) == dict(fields(on), time=again["time"]),
              f"{tag}: switching on again changed more than the time: {on} -> {again}")

        for step in ("off", "off with nothing stored"):
            check(monitor.switch(0) == TRUE, f"{tag}: switching {step} did not return 0xFFFFFFFF")
            off = monitor.record()
            check(fields(off) == dict(fields(again), keyboard=0, mouse=0),
                  f"{tag}: switching {step} left {off} (before: {again})")


# --- real input into a foreign process ---------------------------------------------

def show_target(target):
    reply = target(f"window {WIN_X} {WIN_Y} {WIN_W} {WIN_H}")
    check(reply["foreground"] == "1", f"{target.name}: its window did not become the foreground")
    return target


def scenario_input(session):
    target, monitor, cover = session.probes(("target", False), ("monitor", False),
                                            ("cover", False))
    show_target(target)
    check(target("loaded")["loaded"] == "0", "the target loaded the library by itself")
    monitor("load")

    # Phases of (switch to, steps); each step is (what, xdotool words, stats
    # counter that shows it was taken, pointer point, recorded?).
    phases = [
        (1, [("pointer move", ("mousemove", 200, 150), "moves", (200, 150), True),
             ("key press", ("key", "a"), "keyups", None, True),
             ("move along x only", ("mousemove", 201, 150), "moves", (201, 150), True),
             ("move along y only", ("mousemove", 201, 151), "moves", (201, 151), True),
             ("button click", ("click", 1), "buttonups", None, False),
             ("wheel turn", ("click", 4), "wheels", None, False)]),
        (0, [("pointer move with hooks off", ("mousemove", 250, 200), "moves", (250, 200), False),
             ("key press with hooks off", ("key", "b"), "keyups", None, False)]),
        # The pointer now rests away from the recorded point: a click is
        # still no move.
        (1, [("button click away from the recorded point", ("click", 1), "buttonups", None,
              False),
             ("pointer move with hooks on again", ("mousemove", 250, 201), "moves", (250, 201),
              True)]),
    ]
    for activate, steps in phases:
        check(monitor.switch(activate) == TRUE, f"switching to {activate} failed")
        for what, action, counter, point, recorded in steps:
            before = monitor.record()
            tick_passes()
            input_into(session, target, action, counter, point)
            after = monitor.record()
            if recorded:
                expect_stamp(before, after, what)
                where = point or (before["x"], before["y"])
                check((after["x"], after["y"]) == where,
                      f"{what}: position {after['x']},{after['y']} recorded, expected {where}")
            else:
                check(fields(after) == fields(before),
                      f"{what}: record changed: {before} -> {after}")
        check(not activate or target("loaded")["loaded"] == "1",
              "the library is not loaded in the process that took the input")

    # A window that appears under the resting pointer gets the move to the
    # same point again from the platform; that is no activity.

    def show_cover():
        """a move repeated to a window shown under the pointer"""
        cover("window 200 150 100 100")
    before = monitor.record()
    tick_passes()
    input_into(session, cover, show_cover, "moves", (250, 201), origin=(200, 150))
    after = monitor.record()
    check(fields(after) == fields(before), f"a repeated move was recorded: {before} -> {after}")
    check(monitor.switch(0) == TRUE, "switching off at the end failed")


# --- a release that fails ---------------------------------------------------------

def scenario_release_fails(session):
    monitor, other = session.probes(("monitor", False), ("other", False))
    monitor("load")
    for party in (other, monitor):
        check(monitor.switch(1) == TRUE, "switching on failed")
        hooks = monitor.record()
        check(party(f"unhook {hooks['keyboard']}")["unhooked"] == "1",
              f"{party.name} could not release the keyboard hook")
        check(monitor.switch(0) == FALSE,
              f"switching off after {party.name} released the keyboard hook did not return 0")
        after = monitor.record()
        check(fields(after) == dict(fields(hooks), keyboard=0, mouse=0),
              f"the failed switch-off left {after}")
        # The mouse hook was left alone, so it can still be released now.
        check(party(f"unhook {hooks['mouse']}")["unhooked"] == "1",
              "the mouse hook was released although the keyboard release failed")
        check(monitor.switch(0) == TRUE,
              "switching off with nothing stored did not return 0xFFFFFFFF")


# --- the section's name held by a mutex ---------------------------------------------

def scenario_name_taken(session):
    session.probe("holder")("mutex")
    # The importing process must start at all: the library loads without a record.
    monitor, target = session.probes(("monitor", True), ("target", False))
    check(monitor("loaded")["loaded"] == "1", "the library is not loaded")
    check(monitor.record(absent_ok=True) is None, "a section opened under a name a mutex holds")
    monitor("window 600 100 300 200")
    show_target(target)
    for activate in (1, 0xFFFFFFFF, 0):
        check(monitor.switch(activate) == FALSE,
              f"SetPCActivityHook({activate:#x}) without a record did not return 0")

    for window, point, origin in ((target, (250, 200), (WIN_X, WIN_Y)),
                                  (monitor, (700, 150), (600, 100))):
        input_into(session, window, ("mousemove", *point), "moves", point, origin)
        input_into(session, window, ("click", 1), "buttonups")
        input_into(session, window, ("key", "c"), "keyups")
    check(target("loaded")["loaded"] == "0", "hooks were installed: the library reached the target")
    pcactmon_fails(session, [(["--seconds", "1"], ExitRecord, "record")])
    monitor.quit()


# --- pcactmon.exe ----------------------------------------------------------------

ExitOk, ExitUsage, ExitLoad, ExitExport, ExitRecord, ExitSwitchOn, ExitSwitchOff = (
    0, 2, 3, 4, 5, 6, 7)
MONITOR_LINE = re.compile(r"idle_ms=(\d+) x=(-?\d+) y=(-?\d+)$")


def pcactmon_fails(session, cases, other=False):
    """Runs pcactmon.exe once per case (argv, status, keyword), all at once;
    each must fail with its status and one stderr line naming `keyword`,
    unless it is a usage error, which shows the usage too. `other` runs the
    other build's pcactmon.exe."""
    exe, loader = ((session.args.other_pcactmon, LOADERS[OTHER_ARCH[session.args.arch]])
                   if other else (session.args.pcactmon, None))
    runs = [(argv, session.start([exe, *argv], loader, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True))
            for argv, _, _ in cases]
    # They share the processor: under emulation each start takes a while.
    deadline = time.monotonic() + REPLY_TIMEOUT * len(cases)
    for (argv, proc), (_, status, keyword) in zip(runs, cases):
        try:
            stdout, stderr = proc.communicate(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            for _, other in runs:
                other.kill()
            raise
        lines = stderr.splitlines()
        what = f"pcactmon {' '.join(argv)}"
        check(proc.returncode == status, f"{what}: status {proc.returncode}, expected {status}: "
                                         f"{stderr.strip()}")
        check(lines and lines[0].startswith("pcactmon: ") and keyword in lines[0],
              f"{what}: stderr does not say '{keyword}' in one line: {stderr!r}")
        usage = status == ExitUsage and len(lines) > 1 and lines[1].startswith("usage:")
        check(usage or len(lines) == 1, f"{what}: more than one line on stderr: {stderr!r}")
        check(stdout == "", f"{what}: printed {stdout!r}")


class MonitorRun:
    """A pcactmon.exe run whose lines are parsed as they come."""

    def __init__(self, session, argv):
        self.proc = session.start([session.args.pcactmon, *argv], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        self.lines = read_lines(self.proc.stdout)
        session.procs.append(self)

    def close(self, kill=False):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def next(self):
        try:
            line = self.lines.get(timeout=REPLY_TIMEOUT)
        except queue.Empty:
            raise Failure("pcactmon printed nothing for too long") from None
        if line is None:
            raise Failure(f"pcactmon ended before it showed what was expected: "
                          f"{self.proc.stderr.read()!r}")
        match = MONITOR_LINE.match(line)
        check(match, f"pcactmon printed an unexpected line: {line!r}")
        return tuple(int(v) for v in match.groups())

    def idle_grows_to(self, floor):
        """Lines until idle time reaches `floor`, none of them lower than the one before."""
        idle = self.next()[0]
        while idle < floor:
            later = self.next()[0]
            check(later >= idle, f"idle time fell from {idle} to {later} with no input")
            idle = later
        return idle

    def drops_after(self, idle, at):
        """Lines until one shows the input: lower idle time, position `at` if given."""
        deadline = time.monotonic() + INPUT_TIMEOUT
        while time.monotonic() < deadline:
            now, x, y = self.next()
            if now < idle and (at is None or (x, y) == at):
                return
            idle = max(idle, now)
        raise Failure(f"pcactmon never showed the input (idle time stays from {idle} ms)")

    def finish(self):
        status = self.proc.wait(REPLY_TIMEOUT)
        rest = []
        while (line := self.lines.get(timeout=REPLY_TIMEOUT)) is not None:
            rest.append(line)
        return status, rest, self.proc.stderr.read()


def scenario_pcactmon(session):
    # The holder keeps the record alive, to read it afterwards.
    target, holder = session.probes(("target", False), ("holder", False))
    show_target(target)
    holder("load")

    pcactmon_fails(session, [
        (["--interval", "0"], ExitUsage, "--interval"),
        (["--seconds"], ExitUsage, "--seconds"),
        (["--frobnicate"], ExitUsage, "unknown argument"),
        (["--dll", "C:\\nowhere\\kvpcact.dll"], ExitLoad, "cannot load"),
        (["--dll", "C:\\windows\\system32\\user32.dll"], ExitExport, "SetPCActivityHook")])

    # Ended by the clock: idle time grows, then resets with a move and a key.
    run = MonitorRun(session, ["--seconds", "4", "--interval", "100"])
    idle = run.idle_grows_to(700)
    session.xdotool("mousemove", 260, 210)
    run.drops_after(idle, (260, 210))
    idle = run.idle_grows_to(300)
    session.xdotool("key", "x")
    run.drops_after(idle, None)
    status, rest, err = run.finish()
    check(status == ExitOk, f"pcactmon ended with status {status}: {err!r}")
    check(all(MONITOR_LINE.match(line) for line in rest), f"pcactmon printed {rest}")
    check(holder.record()["keyboard"] == holder.record()["mouse"] == 0,
          "pcactmon left the hooks on")
    check(target("loaded")["loaded"] == "1", "the library did not reach the target")

    # Hooks another process switched on stay with it.
    check(holder.switch(1) == TRUE, "switching on from the holder failed")
    pcactmon_fails(session, [(["--seconds", "1"], ExitSwitchOn, "already switched on")])
    check(holder.record()["keyboard"] != 0, "pcactmon switched off hooks that were not its own")
    check(holder.switch(0) == TRUE, "switching off from the holder failed")

    # Ended by Ctrl+C, which Wine raises on SIGINT. Under qemu's user-mode
    # emulation Wine's own SIGINT path crashes the emulator, so there the
    # suites on native Wine alone show this.
    if session.args.scale == 1:
        run = MonitorRun(session, ["--interval", "100"])
        run.next()
        check(holder.record()["keyboard"] != 0, "pcactmon did not switch the hooks on")
        run.proc.send_signal(signal.SIGINT)
        status, rest, err = run.finish()
        check(status == ExitOk, f"pcactmon ended by Ctrl+C with status {status}: {err!r}")
        check(holder.record()["keyboard"] == holder.record()["mouse"] == 0,
              "pcactmon left the hooks on after Ctrl+C")

    # Another party releases the keyboard hook meanwhile: switching off fails.
    run = MonitorRun(session, ["--seconds", "2", "--interval", "100"])
    run.next()
    hooks = holder.record()
    check(holder(f"unhook {hooks['keyboard']}")["unhooked"] == "1",
          "could not release the keyboard hook of pcactmon")
    status, rest, err = run.finish()
    check(status == ExitSwitchOff and err.startswith("pcactmon: switching the hooks off returned "
                                                     "0x00000000") and err.count("\n") == 1,
          f"pcactmon after a failed switch-off: status {status}, stderr {err!r}")
    # That switch-off left the mouse hook installed; the next scenario must not meet it.
    check(holder(f"unhook {hooks['mouse']}")["unhooked"] == "1",
          "could not release the mouse hook pcactmon left")


# --- a monitor that ends without switching off ----------------------------------------

def handles(probe):
    record = probe.record()
    return record["keyboard"], record["mouse"]


def scenario_killed_monitor(session):
    target, holder = session.probes(("target", False), ("holder", False))
    show_target(target)
    holder("load")

    crashed = MonitorRun(session, ["--seconds", "100000", "--interval", "100"])
    idle = crashed.idle_grows_to(200)
    session.xdotool("mousemove", 220, 170)
    crashed.drops_after(idle, (220, 170))
    left = handles(holder)
    check(all(left), f"the monitor did not store both handles: {left}")
    crashed.proc.kill()  # SIGKILL: no switch-off, as after a crash
    crashed.proc.wait()
    check(handles(holder) == left, "the killed monitor's handles left the record")

    # The left handles look like another monitor at work.
    pcactmon_fails(session, [(["--seconds", "1"], ExitSwitchOn, "already switched on")])
    check(handles(holder) == left, "a refused pcactmon changed the stored handles")

    # Ended by the clock, which leaves time for the input even under emulation.
    seconds = 8 if session.args.scale == 1 else 40
    run = MonitorRun(session, ["--take-over", "--seconds", str(seconds), "--interval", "100"])
    idle = run.idle_grows_to(200)
    check(all(handles(holder)), "pcactmon --take-over did not switch the hooks on")
    session.xdotool("mousemove", 240, 190)
    run.drops_after(idle, (240, 190))
    idle = run.idle_grows_to(200)
    session.xdotool("key", "k")
    run.drops_after(idle, None)
    status, rest, err = run.finish()
    check(status == ExitOk, f"pcactmon --take-over ended with status {status}: {err!r}")
    said = (f"pcactmon: took over hooks left by another process "
            f"(keyboard 0x{left[0]:08X}, mouse 0x{left[1]:08X})\n")
    check(err == said, f"pcactmon --take-over said {err!r}, expected {said!r}")
    check(handles(holder) == (0, 0), "pcactmon --take-over left handles stored")

    # Neither its own hooks nor the killed monitor's record anything now.
    before = holder.record()
    tick_passes()
    input_into(session, target, ("mousemove", 260, 230), "moves", (260, 230))
    input_into(session, target, ("key", "m"), "keyups")
    after = holder.record()
    check(fields(after) == fields(before), f"input after the take-over ended was recorded: "
                                           f"{before} -> {after}")


# --- monitors of both bitnesses ---------------------------------------------------

def scenario_two_monitors(session):
    check(session.args.other_probe and session.args.other_pcactmon,
          "two_monitors needs --other-probe and --other-pcactmon")
    # One process of the other bitness serves as monitor and as input target.
    own, other, target = session.probes(("own", False), ("other", OTHER), ("target", False))
    other_origin = (WIN_X + WIN_W + 50, WIN_Y)
    other(f"window {other_origin[0]} {other_origin[1]} 300 200")
    show_target(target)
    own("load")
    other("load")

    # Each bitness switches on first once; the second monitor, of the other
    # bitness, is refused through the library and through pcactmon. Input
    # goes into a window of the first one's bitness: Wine runs a hook only
    # in processes that can load its library, never on the installer's
    # thread for the other bitness as Windows does.
    for step, (first, second, other_pcactmon, window, origin) in enumerate((
            (other, own, False, other, other_origin),
            (own, other, True, target, (WIN_X, WIN_Y)))):
        tag = f"{first.name} first"
        check(first.switch(1) == TRUE, f"{tag}: switching on failed")
        on = handles(first)
        check(second.switch(1) == FALSE, f"{tag}: {second.name} switching on did not return 0")
        check(handles(second) == on, f"{tag}: {second.name} changed the handles {on}")
        pcactmon_fails(session, [(["--seconds", "1"], ExitSwitchOn, "already switched on")],
                       other=other_pcactmon)
        check(handles(first) == on, f"{tag}: the refused pcactmon changed the handles {on}")

        point = (origin[0] + 50 + step, origin[1] + 60)
        # A click activates the window: keys reach it only then.
        for what, action, counter, at in (("pointer move", ("mousemove", *point), "moves", point),
                                          ("click", ("click", 1), "buttonups", None),
                                          ("key press", ("key", "a"), "keyups", None)):
            before = first.record()
            tick_passes()
            input_into(session, window, action, counter, at, origin)
            after = first.record()
            if counter != "buttonups":
                expect_stamp(before, after, f"{tag}: {what} into {window.name}")
            check((after["x"], after["y"]) == point, f"{tag}: {what}: position {after}")
        check(first.switch(0) == TRUE, f"{tag}: switching off failed")
        check(handles(second) == (0, 0), f"{tag}: handles left after switching off")


# --- soak ------------------------------------------------------------------------------

SOAK_SECONDS = float(os.environ.get("KVPCACT_SOAK_SECONDS", "60"))


def wine_debuggers(session):
    """Pids of winedbg processes in the suite's prefix: a crash starts one."""
    mark = f"WINEPREFIX={session.args.prefix}".encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"winedbg" not in f.read().lower():
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if mark in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            continue
    return found


def tick_at_or_after(stamp, tick):
    return (stamp - tick) & 0xFFFFFFFF < 0x80000000


def scenario_soak(session):
    """Bursts of keys and moves into two windows whose processes load and
    unload the library all the while, with the hooks switched on and off
    about once a second."""
    monitor, left, right = session.probes(("monitor", True), ("left", False),
                                          ("right", False))
    origins = {left: (WIN_X, WIN_Y), right: (WIN_X + WIN_W + 50, WIN_Y)}
    for window, (x, y) in origins.items():
        window(f"window {x} {y} 300 200")
    loaded = {left: False, right: False}
    seen = dict(bursts=0, recorded=0, keys=0, moves=0, switches=0, loads=0, unloads=0)

    def burst(window, n):
        """Three moves into `window`, a click that activates it and three
        keys, in one xdotool run. Keys reach only the active window, and
        only while the pointer is in it."""
        x0, y0 = origins[window]
        points = [(x0 + 10 + (n * 7 + i * 3) % 280, y0 + 10 + (n * 5 + i * 11) % 180)
                  for i in range(3)]
        before = stats(window)
        words = [w for point in points for w in ("mousemove", *point)]
        session.xdotool(*words, "click", 1, "key", "a", "s", "d")
        seen.update(bursts=seen["bursts"] + 1, keys=seen["keys"] + 3, moves=seen["moves"] + 3)
        return points[-1], before

    def handled(window, at, before):
        rel = (at[0] - origins[window][0], at[1] - origins[window][1])

        def taken():
            now = stats(window)
            return (now["moves"] > before["moves"] and (now["lastx"], now["lasty"]) == rel and
                    now["keyups"] >= before["keyups"] + 3)
        wait_until(taken, f"{window.name} to take a burst")

    def load_or_unload(probe):
        """Races the hook calls of the burst the probe is taking."""
        probe("unload" if loaded[probe] else "load")
        seen["unloads" if loaded[probe] else "loads"] += 1
        loaded[probe] = not loaded[probe]

    on, switched, quiet = False, 0.0, None
    deadline = time.monotonic() + SOAK_SECONDS
    n = 0
    while time.monotonic() < deadline:
        if time.monotonic() - switched >= 1.0:
            on = not on
            check(monitor.switch(int(on)) == TRUE, f"switch {int(on)} #{seen['switches']} failed")
            seen["switches"] += 1
            switched = time.monotonic()
            tick_passes()  # the stamp of switching on is older than any tick read below
            quiet = None if on else monitor.record()
        window = (left, right)[n % 2]
        tick = monitor.record()["now"]
        at, before = burst(window, n)
        load_or_unload(window)
        handled(window, at, before)
        after = monitor.record()
        if on:
            check(tick_at_or_after(after["time"], tick),
                  f"burst {n}: LastActivityTime {after['time']} before the tick {tick} read "
                  f"before it")
            check((after["x"], after["y"]) == at, f"burst {n}: position {after} recorded, "
                                                  f"expected {at}")
            seen["recorded"] += 1
        else:
            check(fields(after) == fields(quiet), f"burst {n} with the hooks off was recorded: "
                                                  f"{quiet} -> {after}")
        debuggers = wine_debuggers(session)
        check(not debuggers, f"the Wine debugger started (pids {debuggers})")
        n += 1

    if on:
        check(monitor.switch(0) == TRUE, "the last switch-off failed")
        seen["switches"] += 1
    quiet = monitor.record()
    check((quiet["keyboard"], quiet["mouse"]) == (0, 0), f"handles left stored: {quiet}")
    for window in (left, right):
        at, before = burst(window, n)
        handled(window, at, before)
        n += 1
    check(fields(monitor.record()) == fields(quiet), "input after the last switch-off recorded")
    check(not wine_debuggers(session), "the Wine debugger started")
    for probe in (monitor, left, right):
        probe.quit()
    print(f"soak ({session.args.arch}): {SOAK_SECONDS:.0f} s, {seen['bursts']} bursts "
          f"({seen['keys']} keys, {seen['moves']} moves; {seen['recorded']} checked with the "
          f"hooks on), {seen['switches']} switches, {seen['loads']} loads, "
          f"{seen['unloads']} unloads")


# --- driver --------------------------------------------------------------------------

def i386_emulated():
    """Whether the kernel hands 32-bit x86 programs to qemu: an enabled
    binfmt_misc entry with a qemu-i386 interpreter."""
    folder = "/proc/sys/fs/binfmt_misc"
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        if "enabled" in lines and any(line.startswith("interpreter ") and "qemu-i386" in line
                                      for line in lines):
            return True
    return False


def make_prefix(args):
    """Creates the test prefix once, aside, and moves it into place only when
    it is complete: a creation cut short never leaves a broken prefix.

    The first program in a new prefix starts wineboot, which fills the
    prefix, and waits for it at most 5 minutes; under emulation filling it
    takes longer, and that program then fails. So the program here is one
    that may fail, and the wineserver's end tells when wineboot is done."""
    if os.path.exists(os.path.join(args.prefix, "system.reg")):
        return
    aside = args.prefix + ".new"
    shutil.rmtree(aside, ignore_errors=True)
    env = dict(wine_env(args), WINEPREFIX=aside, WINEARCH=WINEARCH[args.arch])
    env.pop("DISPLAY", None)
    try:
        subprocess.run([LOADERS[args.arch], "cmd.exe", "/c", "exit"], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=PREFIX_TIMEOUT)
        check(wineserver(env, "-w", timeout=PREFIX_TIMEOUT) == 0, "the wineserver did not end")
    except subprocess.TimeoutExpired:
        wineserver(env, "-k")
        raise
    for part in ("system.reg", "user.reg", "drive_c/windows/system32/kernel32.dll",
                 "drive_c/windows/system32/user32.dll"):
        check(os.path.exists(os.path.join(aside, part)), f"the new prefix lacks {part}")
    shutil.rmtree(args.prefix, ignore_errors=True)
    os.rename(aside, args.prefix)


def start_session(args):
    """An Xvfb display and a persistent wineserver for the whole suite, both
    detached from the caller, and the prefix's system processes started by a
    first program, so that no scenario pays for them."""
    stop_session(args)
    os.makedirs(args.state, exist_ok=True)
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=[write_fd], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        display = pipe.readline().strip()
    if not display.isdigit():
        xvfb.kill()
        raise Failure("Xvfb did not start")
    with open(os.path.join(args.state, "xvfb.pid"), "w") as f:
        f.write(str(xvfb.pid))
    with open(os.path.join(args.state, "display"), "w") as f:
        f.write(":" + display)
    env = wine_env(args)
    wineserver(env, "-p")
    start_keeper(args, env)


def start_keeper(args, env):
    """A probe with a small window in a corner, for as long as the session
    lasts: the desktop process ends with the last window and would start
    again, at great cost under emulation, for the next scenario's. Its input
    is a FIFO that it holds open itself, so it never reads an end; the
    session's end takes it."""
    # A new FIFO each time: nothing written for an earlier keeper reaches this one.
    fifo = os.path.join(args.state, "keeper.in")
    if os.path.exists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    reply = os.path.join(args.state, "keeper.out")
    commands = os.open(fifo, os.O_RDWR)
    with open(reply, "w") as out:
        subprocess.Popen([LOADERS[args.arch], args.probe], env=env, stdin=commands, stdout=out,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    os.write(commands, b"window 1010 754 12 12\n")
    os.close(commands)

    def shown():
        with open(reply) as f:
            text = f.read()
        check("err" not in text, f"the session's keeper failed: {text.strip()}")
        return "rect=" in text
    # The first program of a session also waits for Wine's own start-up.
    wait_until(shown, "the session's first window", PREFIX_TIMEOUT)


def stop_session(args):
    env = wine_env(args)
    wineserver(env, "-k")
    wineserver(env, "-w", timeout=REPLY_TIMEOUT)
    pid_file = os.path.join(args.state, "xvfb.pid")
    if os.path.exists(pid_file):
        with open(pid_file) as f:
            pid = int(f.read())
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        os.remove(pid_file)
    for name in ("display",):
        path = os.path.join(args.state, name)
        if os.path.exists(path):
            os.remove(path)


def run_program(session, argv):
    """One Windows program of the suite's architecture, which must exit with 0."""
    proc = session.start(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        output, _ = proc.communicate(timeout=REPLY_TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise
    sys.stdout.write(output)
    check(proc.returncode == 0, f"{os.path.basename(argv[0])} ended with status "
                                f"{proc.returncode}")


SCENARIOS = {
    "record": scenario_record,
    "switch": scenario_switch,
    "input": scenario_input,
    "release_fails": scenario_release_fails,
    "name_taken": scenario_name_taken,
    "pcactmon": scenario_pcactmon,
    "killed_monitor": scenario_killed_monitor,
    "two_monitors": scenario_two_monitors,
    "soak": scenario_soak,
}


def main():
    global REPLY_TIMEOUT, INPUT_TIMEOUT, PREFIX_TIMEOUT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=LOADERS)
    parser.add_argument("--prefix", default="wineprefix")
    parser.add_argument("--state", default="wine-session")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--probe")
    parser.add_argument("--probe-imp")
    parser.add_argument("--pcactmon")
    parser.add_argument("--other-probe", help="the other build's pcactprobe.exe")
    parser.add_argument("--other-pcactmon", help="the other build's pcactmon.exe")
    parser.add_argument("command", choices=["scale", "prefix", "start", "stop", "run",
                                            *SCENARIOS])
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command == "scale":
        print(40 if args.arch == "x86" and i386_emulated() else 1)
        return 0
    args.prefix = os.path.abspath(args.prefix)
    args.state = os.path.abspath(args.state)
    REPLY_TIMEOUT *= args.scale
    INPUT_TIMEOUT *= args.scale
    PREFIX_TIMEOUT *= args.scale

    missing = [tool for tool in (LOADERS[args.arch], "wineserver", "Xvfb", "xdotool")
               if shutil.which(tool) is None]
    if missing:
        print(f"FAIL: not installed: {', '.join(missing)}", file=sys.stderr)
        return 1
    started = time.monotonic()
    try:
        if args.command == "prefix":
            make_prefix(args)
        elif args.command == "start":
            start_session(args)
        elif args.command == "stop":
            stop_session(args)
        elif args.command == "run":
            check(args.program, "run needs a program")
            with Session(args) as session:
                run_program(session, args.program)
        else:
            with Session(args) as session:
                SCENARIOS[args.command](session)
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL {args.command} ({args.arch}): {error}", file=sys.stderr)
        return 1
    print(f"PASS {args.command} ({args.arch}, {time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Wine scenarios for kvpcact.dll: real processes, real X input.

Usage: scenarios.py --prefix DIR --probe EXE --probe-imp EXE --pcactmon EXE SCENARIO

SCENARIO is "prefix" (create the Wine prefix), "stop" (end its wineserver)
or one of the test scenarios below. Each test scenario runs on a fresh
wineserver and its own Xvfb display, drives pcactprobe processes through
their stdin and stdout, and exits non-zero with a message on the first
mismatch. A missing wine, Xvfb or xdotool is a failure, never a skip.
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
REPLY_TIMEOUT = 15.0
INPUT_TIMEOUT = 10.0

# A window of the target process; pointer moves stay inside it.
WIN_X, WIN_Y, WIN_W, WIN_H = 100, 100, 400, 300


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(predicate, what, timeout=INPUT_TIMEOUT):
    """Polls `predicate` until it returns a true value, which it returns."""
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


class Session:
    """A fresh wineserver on the test prefix and an Xvfb display of its own."""

    def __init__(self, args):
        self.args = args
        self.procs = []
        self.xvfb = None
        # No mono or gecko installers, no desktop menu entries, and never the
        # caller's own display.
        self.env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def __enter__(self):
        self.stop_wineserver()
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            display = pipe.readline().strip()
        if not display.isdigit():
            self.xvfb.kill()
            self.xvfb.wait()
            raise Failure("Xvfb did not start")
        self.env["DISPLAY"] = ":" + display
        return self

    def __exit__(self, *exc):
        for proc in self.procs:
            proc.close()
        self.stop_wineserver()
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait(10)
        return False

    def stop_wineserver(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=30)

    def probe(self, name, imported=False):
        exe = self.args.probe_imp if imported else self.args.probe
        proc = Probe(name, ["wine", exe], self.env)
        self.procs.append(proc)
        return proc

    def xdotool(self, *words):
        subprocess.run(["xdotool", *[str(w) for w in words]], env=self.env, check=True,
                       timeout=INPUT_TIMEOUT)


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

    def __init__(self, name, argv, env):
        self.name = name
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = read_lines(self.proc.stdout)
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

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(5)
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
    first = session.probe("first")
    check(first.record(absent_ok=True) is None,
          "the section exists before any process loaded the library")
    first("load")
    check(fields(first.record()) == zero, f"a new record is not 20 zero bytes: {first.record()}")

    second = session.probe("second")
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
    third = session.probe("third")
    check(third.record(absent_ok=True) is None, "the section outlived its last holder's process")
    third("load")
    check(fields(third.record()) == zero, "a new record after process end is not zero")


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

def show_target(session, name="target"):
    target = session.probe(name)
    reply = target(f"window {WIN_X} {WIN_Y} {WIN_W} {WIN_H}")
    check(reply["foreground"] == "1", f"{name}: its window did not become the foreground")
    return target


def scenario_input(session):
    target = show_target(session)
    check(target("loaded")["loaded"] == "0", "the target loaded the library by itself")
    monitor = session.probe("monitor")
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
    cover = session.probe("cover")

    def show_cover():
        """a move repeated to a window shown under the pointer"""
        cover("window 200 150 100 100")
    before = monitor.record()
    tick_passes()
    input_into(session, cover, show_cover, "moves", (250, 201), origin=(200, 150))
    after = monitor.record()
    check(fields(after) == fields(before), f"a repeated move was recorded: {before} -> {after}")


# --- a release that fails ---------------------------------------------------------

def scenario_release_fails(session):
    monitor = session.probe("monitor")
    monitor("load")
    other = session.probe("other")
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
    monitor = session.probe("monitor", imported=True)
    check(monitor("loaded")["loaded"] == "1", "the library is not loaded")
    check(monitor.record(absent_ok=True) is None, "a section opened under a name a mutex holds")
    monitor("window 600 100 300 200")
    target = show_target(session)
    for activate in (1, 0xFFFFFFFF, 0):
        check(monitor.switch(activate) == FALSE,
              f"SetPCActivityHook({activate:#x}) without a record did not return 0")

    for window, point, origin in ((target, (250, 200), (WIN_X, WIN_Y)),
                                  (monitor, (700, 150), (600, 100))):
        input_into(session, window, ("mousemove", *point), "moves", point, origin)
        input_into(session, window, ("click", 1), "buttonups")
        input_into(session, window, ("key", "c"), "keyups")
    check(target("loaded")["loaded"] == "0", "hooks were installed: the library reached the target")
    run_pcactmon(session, ["--seconds", "1"], ExitRecord, "record")
    monitor.quit()


# --- pcactmon.exe ----------------------------------------------------------------

ExitOk, ExitUsage, ExitLoad, ExitExport, ExitRecord, ExitSwitchOn, ExitSwitchOff = (
    0, 2, 3, 4, 5, 6, 7)
MONITOR_LINE = re.compile(r"idle_ms=(\d+) x=(-?\d+) y=(-?\d+)$")


def run_pcactmon(session, argv, status, keyword):
    """Runs a pcactmon.exe that must fail: its status, and one stderr line
    naming `keyword`, unless it is a usage error, which shows the usage too."""
    done = subprocess.run(["wine", session.args.pcactmon, *argv], env=session.env,
                          capture_output=True, text=True, timeout=30)
    lines = done.stderr.splitlines()
    what = f"pcactmon {' '.join(argv)}"
    check(done.returncode == status, f"{what}: status {done.returncode}, expected {status}: "
                                      f"{done.stderr.strip()}")
    check(lines and lines[0].startswith("pcactmon: ") and keyword in lines[0],
          f"{what}: stderr does not say '{keyword}' in one line: {done.stderr!r}")
    usage = status == ExitUsage and len(lines) > 1 and lines[1].startswith("usage:")
    check(usage or len(lines) == 1, f"{what}: more than one line on stderr: {done.stderr!r}")
    check(done.stdout == "", f"{what}: printed {done.stdout!r}")


class MonitorRun:
    """A pcactmon.exe run whose lines are parsed as they come."""

    def __init__(self, session, argv):
        self.proc = subprocess.Popen(["wine", session.args.pcactmon, *argv], env=session.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = read_lines(self.proc.stdout)

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

    def finish(self, timeout=REPLY_TIMEOUT):
        status = self.proc.wait(timeout)
        rest = []
        while (line := self.lines.get(timeout=REPLY_TIMEOUT)) is not None:
            rest.append(line)
        return status, rest, self.proc.stderr.read()


def scenario_pcactmon(session):
    target = show_target(session)
    holder = session.probe("holder")  # keeps the record alive to read it afterwards
    holder("load")

    for argv, status, keyword in [
            (["--interval", "0"], ExitUsage, "--interval"),
            (["--seconds"], ExitUsage, "--seconds"),
            (["--frobnicate"], ExitUsage, "unknown argument"),
            (["--dll", "C:\\nowhere\\kvpcact.dll"], ExitLoad, "cannot load"),
            (["--dll", "C:\\windows\\system32\\user32.dll"], ExitExport, "SetPCActivityHook")]:
        run_pcactmon(session, argv, status, keyword)

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
    run_pcactmon(session, ["--seconds", "1"], ExitSwitchOn, "already switched on")
    check(holder.record()["keyboard"] != 0, "pcactmon switched off hooks that were not its own")
    check(holder.switch(0) == TRUE, "switching off from the holder failed")

    # Ended by Ctrl+C, which Wine raises on SIGINT.
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
    check(holder(f"unhook {holder.record()['keyboard']}")["unhooked"] == "1",
          "could not release the keyboard hook of pcactmon")
    status, rest, err = run.finish()
    check(status == ExitSwitchOff and err.startswith("pcactmon: switching the hooks off returned "
                                                     "0x00000000") and err.count("\n") == 1,
          f"pcactmon after a failed switch-off: status {status}, stderr {err!r}")


# --- driver --------------------------------------------------------------------------

def make_prefix(args, env):
    """Creates the test prefix once; later runs find it ready."""
    if not os.path.exists(os.path.join(args.prefix, "system.reg")):
        env = dict(env, WINEARCH="win32")
    done = subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=300)
    check(done.returncode == 0, f"wineboot -i failed with status {done.returncode}")
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    check(os.path.exists(os.path.join(args.prefix, "system.reg")), "wineboot made no prefix")


SCENARIOS = {
    "record": scenario_record,
    "switch": scenario_switch,
    "input": scenario_input,
    "release_fails": scenario_release_fails,
    "name_taken": scenario_name_taken,
    "pcactmon": scenario_pcactmon,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--probe-imp", required=True)
    parser.add_argument("--pcactmon", required=True)
    parser.add_argument("scenario", choices=["prefix", "stop", *SCENARIOS])
    args = parser.parse_args()
    args.prefix = os.path.abspath(args.prefix)

    missing = [tool for tool in ("wine", "wineboot", "wineserver", "Xvfb", "xdotool")
               if shutil.which(tool) is None]
    if missing:
        print(f"FAIL: not installed: {', '.join(missing)}", file=sys.stderr)
        return 1
    started = time.monotonic()
    try:
        if args.scenario == "prefix":
            make_prefix(args, Session(args).env)
        elif args.scenario == "stop":
            Session(args).stop_wineserver()
        else:
            with Session(args) as session:
                SCENARIOS[args.scenario](session)
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL {args.scenario}: {error}", file=sys.stderr)
        return 1
    print(f"PASS {args.scenario} ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

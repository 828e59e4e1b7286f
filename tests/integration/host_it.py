#!/usr/bin/env python3
"""plc-host against the simulated controller over a pty. Usage: host_it.py CASE --host PLC_HOST --sim PLC_SIM --work DIR
Expected values come from the simulator's initial pattern and from its memory dump (--dump), never from plc-host."""
import argparse
import contextlib
import csv
import json
import os
import re
import select
import signal
import struct
import subprocess
import threading
import time
import tty

ARGS = None
WIDTHS = ["bit", "byte", "word", "dword"]
ITEM_SIZE = [None, 1, 2, 4]  # image bytes per item of each width


def check(cond, what):
    if not cond:
        raise AssertionError(what)


# ---- simulator memory model ---------------------------------------------------------------

def pattern_hr(s, r):
    return 0 if r < 2 else (s * 1000 + r) & 0xFFFF


class Memory:
    """The store's view of the first 1000 registers, coils and inputs of each station, as in the dump:
    bit areas packed 8 per byte, registers low byte first."""

    def __init__(self, stations):
        bits = lambda f: bytearray(sum(f(8 * n + k) << k for k in range(8)) for n in range(125))
        self.img = {}
        for s in stations:
            self.img["hr", s] = bytearray(struct.pack("<1000H", *[pattern_hr(s, r) for r in range(1000)]))
            self.img["coil", s] = bits(lambda i: int((i * 7 + s) % 3 == 0))
            self.img["di", s] = bits(lambda i: int((i + s) % 2 == 0))

    @classmethod
    def from_dump(cls, path):
        with open(path) as f:
            d = json.load(f)
        m = cls([])
        for key, v in d["stations"].items():
            s = int(key)
            m.img["hr", s] = bytearray(struct.pack("<%dH" % len(v["hr"]), *v["hr"]))
            m.img["coil", s], m.img["di", s] = bytearray.fromhex(v["coils"]), bytearray.fromhex(v["di"])
        return m, d["counters"]

    def diff(self, other):
        return ["%s st%d byte %d: %02x != %02x" % (k + (i, x, y)) for k in sorted(self.img)
                for i, (x, y) in enumerate(zip(self.img[k], other.img.get(k, b""))) if x != y]


def place(tag):
    """(area, width index, first item) of a tag; a bit's number counts from bit 0 of byte 0."""
    area, width = tag["kind"].split(".")
    byte, _, bit = tag["address"].partition(".")
    return area, WIDTHS.index(width), (int(byte) * 8 + int(bit) if bit else int(byte))


def tag_raw(mem, tag):
    """Bytes plc-host reports as raw for a tag: one 0/1 byte per bit, image bytes otherwise."""
    area, width, a = place(tag)
    img, n, size = mem.img[area, tag["station"]], tag.get("count", 1), ITEM_SIZE[width]
    if width == 0:
        return bytes((img[(a + i) // 8] >> ((a + i) % 8)) & 1 for i in range(n))
    return bytes(img[a * size:(a + n) * size])


def apply_write(mem, tag, items):
    """What a write of `items` (unsigned item values) does to the controllers; station 0 reaches both."""
    area, width, first = place(tag)
    size = ITEM_SIZE[width]
    for s in [tag["station"]] if tag["station"] else [1, 2]:
        img = mem.img[area, s]
        for a, v in enumerate(items, first):
            if width == 0:
                img[a // 8] = img[a // 8] & ~(1 << a % 8) | int(bool(v)) << a % 8
            else:
                img[a * size:(a + 1) * size] = v.to_bytes(size, "little")


def decode(tag, raw):
    """The value plc-host should print for raw bytes, by the tag's type."""
    width = place(tag)[1]
    typ = tag.get("type", ["bit", "u8", "u16", "u32"][width])
    size = 1 if width < 2 else ITEM_SIZE[width]
    fmt = {"bit": "B", "u8": "B", "u16": "<H", "i16": "<h", "u32": "<I", "i32": "<i", "f32": "<f"}
    items = [("0x%0*x" % (2 * size, int.from_bytes(raw[i:i + size], "little")) if typ == "hex"
              else struct.unpack(fmt[typ], raw[i:i + size])[0]) for i in range(0, len(raw), size)]
    return items[0] if len(items) == 1 else items


# ---- running plc-host -----------------------------------------------------------------------

def config(tags, link=None, driver=None):
    cfg = {"link": {"baud": 115200, "parity": "N", "responseTimeoutMs": 30, "retryLimit": 1, "turnaroundMs": 20},
           "driver": {"maxPerFrame": 16, "multiStation": True}, "tags": tags}
    cfg["link"].update(link or {})
    cfg["driver"].update(driver or {})
    return cfg


def write_file(name, content):
    path = os.path.join(ARGS.work, name)
    with open(path, "w") as f:
        f.write(content if isinstance(content, str) else json.dumps(content, indent=1))
    return path


def run(*cmd, timeout=30):
    p = subprocess.run([str(a) for a in cmd], capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def host(*args, cfg=None, timeout=30):
    """plc-host ARGS, with the file of configuration `cfg` after the command word."""
    if cfg is not None:
        args = args[:1] + (write_file("%s.json" % ARGS.case, cfg),) + args[1:]
    return run(ARGS.host, *args, timeout=timeout)


def read_json(cfg, sim_args="", expect_rc=0):
    args = ["read", "--json"] + (["--simulate", "--sim-args", "--no-pace " + sim_args] if sim_args is not None else [])
    rc, out, err = host(*args, cfg=cfg)
    check(rc == expect_rc, "read exit %d, expected %d\n%s\n%s" % (rc, expect_rc, out, err))
    res = json.loads(out)
    res["byName"] = {t["name"]: t for t in res["tags"]}
    return res


def check_tags(res, mem, tags):
    for tag in tags:
        got = res["byName"][tag["name"]]
        raw = tag_raw(mem, tag)
        check(got["ok"], "%s not read: %s" % (tag["name"], got))
        wire = raw
        if place(tag)[0] == "hr" and place(tag)[1] >= 2:  # raw is as registers travel: high byte first
            wire = bytes(raw[i ^ 1] for i in range(len(raw)))
        check(got["raw"] == wire.hex(), "%s raw %s, memory holds %s" % (tag["name"], got["raw"], wire.hex()))
        want, value = decode(tag, raw), got["value"]
        if tag.get("type") == "f32":  # printed with float precision: compare as 32-bit floats
            as_f32 = lambda v: struct.unpack("<f", struct.pack("<f", v))[0]
            value = [as_f32(v) for v in value] if isinstance(value, list) else as_f32(value)
        check(value == want, "%s value %r, expected %r" % (tag["name"], got["value"], want))


def tag(name, kind, address, station=1, count=1, typ=None):
    return dict(name=name, kind=kind, address=address, station=station, count=count, **({"type": typ} if typ else {}))


# ---- cases ----------------------------------------------------------------------------------

# Every kind, odd starts, runs crossing register and byte boundaries, blocks
# longer than maxPerFrame (8), two stations.
READ_TAGS = [
    tag("di_bits", "di.bit", "0.3", 1, 5), tag("coil_bits", "coil.bit", "1.6", 1, 4),
    tag("hr_bits", "hr.bit", "41.7", 1, 3), tag("di_bytes", "di.byte", "3", 1, 2, "hex"),
    tag("coil_byte", "coil.byte", "5", 1, 1, "u8"), tag("hr_bytes", "hr.byte", "7", 1, 3, "hex"),
    tag("di_word", "di.word", "1", 1, 1, "hex"), tag("coil_words", "coil.word", "2", 1, 2, "u16"),
    tag("hr_words", "hr.word", "100", 1, 20, "i16"), tag("di_dword", "di.dword", "2", 1, 1, "u32"),
    tag("coil_dword", "coil.dword", "1", 1, 1, "hex"), tag("hr_dwords", "hr.dword", "30", 1, 2, "f32"),
    tag("st2_words", "hr.word", "0", 2, 4), tag("st2_dword", "hr.dword", "60", 2, 1, "i32"),
    tag("st2_coils", "coil.bit", "0.0", 2, 16), tag("st2_di_word", "di.word", "10", 2, 1, "hex"),
]


# (tag, command-line value, unsigned items the controller must end up with)
WRITES = [
    (tag("cb", "coil.bit", "3.1", 1, 3), "1,0,on", [1, 0, 1]),
    (tag("cby", "coil.byte", "10", 1, 1, "hex"), "5a", [0x5A]),
    (tag("cw", "coil.word", "6", 1, 1, "hex"), "0xbeef", [0xBEEF]),
    (tag("cdw", "coil.dword", "5", 1, 1, "hex"), "12345678", [0x12345678]),
    (tag("hb_set", "hr.bit", "41.7"), "1", [1]),
    (tag("hb_clear", "hr.bit", "40.2"), "0", [0]),
    (tag("hby_hi", "hr.byte", "61", 1, 1, "hex"), "ab", [0xAB]),
    (tag("hby_lo", "hr.byte", "62"), "7", [7]),
    (tag("hw", "hr.word", "100", 1, 3, "i16"), "-1,2,-3", [0xFFFF, 2, 0xFFFD]),
    (tag("block", "hr.word", "300", 1, 20), ",".join(str(i) for i in range(1, 21)), list(range(1, 21))),
    (tag("hf", "hr.dword", "200", 1, 1, "f32"), "3.5", [struct.unpack("<I", struct.pack("<f", 3.5))[0]]),
    (tag("hdw", "hr.dword", "202", 1, 2, "u32"), "4000000000,1", [4000000000, 1]),
    (tag("st2_w", "hr.word", "5", 2), "65535", [65535]),
    (tag("st2_c", "coil.bit", "0.1", 2), "1", [1]),
    (tag("all_w", "hr.word", "900", 0), "4242", [4242]),  # broadcast: every station takes it
]


@contextlib.contextmanager
def sim(*extra):
    """plc-sim as its own process: the device plc-host opens (its pty or tcp://...) and the dump it leaves."""
    dump = os.path.join(ARGS.work, "external.dump")
    p = subprocess.Popen([ARGS.sim, "--stations", "1,2", "--no-animate", "--seconds", "40", "--dump", dump, *extra],
                         stdout=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline().split()
        check(len(line) == 2 and line[0] in ("PTY", "TCP"), "plc-sim did not announce its pty or port: %r" % line)
        yield (line[1] if line[0] == "PTY" else "tcp://" + line[1]), dump
    finally:
        p.send_signal(signal.SIGTERM)
        check(p.wait(timeout=10) == 0, "plc-sim failed")


def relay(a, b):
    """Joins two open ttys until one closes; `a` hears itself first, as through an RS-485 adapter that echoes."""
    def copy():
        with contextlib.suppress(OSError):
            while True:
                for fd in select.select([a, b], [], [])[0]:
                    data = os.read(fd, 512)
                    if fd == a:
                        os.write(a, data)
                    os.write(b if fd == a else a, data)

    threading.Thread(target=copy, daemon=True).start()


def case_roundtrip():
    """Writes of every kind, then a second plc-host reads them and every read kind back: on plc-sim's pty, through
    an adapter that echoes, and with plc-sim as a remote end (TCP: reconnect, pymodbus_sparse)."""
    for transport in ("pty", "echo", "remote"):
        with sim(*(["--remote"] if transport == "remote" else [])) as (device, dump):
            link = {"device": device, "parity": "E", "baud": 19200}
            if transport == "echo":  # plc-sim's pty behind an adapter that echoes
                master, slave = os.openpty()  # a raw pty pair of our own: plc-host opens the slave
                tty.setraw(slave)
                sim_fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
                tty.setraw(sim_fd)
                relay(master, sim_fd)
                link.update(device=os.ttyname(slave), echo=True)
            driver = {"maxPerFrame": 8, "remoteMode": int(transport == "remote")}
            cfg = config([w[0] for w in WRITES] + READ_TAGS, link=link, driver=driver)
            rc, out, err = host("write", *["%s=%s" % (t["name"], v) for t, v, _ in WRITES], cfg=cfg)
            check(rc == 0 and all("%s=%s: acknowledged" % (t["name"], v) in out for t, v, _ in WRITES),
                  "%s: write exit %d\n%s\n%s" % (transport, rc, out, err))
            want = Memory([1, 2])
            for t, _, items in WRITES:
                apply_write(want, t, items)
            check_tags(read_json(cfg, sim_args=None), want, [t for t in cfg["tags"] if t["station"]])
            if transport == "pty":  # the port is owned: a second plc-host is refused while one runs
                h = subprocess.Popen([ARGS.host, "run", write_file("owner.json", cfg), "--seconds", "2"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(0.5)
                rc, out, err = host("read", cfg=cfg)
                h.wait(timeout=10)
                check(rc == 1 and "%s is in use by another program (PID %d" % (device, h.pid) in err,
                      "second plc-host on a busy port: exit %d: %s" % (rc, err))
            if transport == "echo":  # without discarding the echo the host takes it for the answer
                res = read_json(config(READ_TAGS[:6], link=dict(link, echo=False)), sim_args=None, expect_rc=1)
                check(not any(t["ok"] for t in res["tags"]), "an echo was taken as an answer: %s" % res["tags"])
        got, counters = Memory.from_dump(dump)
        diff = want.diff(got)
        check(not diff, transport + ": controller memory differs:\n" + "\n".join(diff[:20]))
        check(counters["exceptions"] == 0 and counters["ignoredBadCrc"] == 0, "simulator counters %s" % counters)


def status_lines(out):
    """`run`'s status lines, each as ({station: {field: value}}, tag values, notes after " || ", the line)."""
    lines = []
    for line in [line for line in out.splitlines() if line.startswith("t=")]:
        head, *notes = line.split(" || ")
        parts = head.split(" | ")
        st = {int(p.split()[0][2:]): {k: int(v) for k, v in (f.split("=") for f in p.split()[1:])} for p in parts[1:-1]}
        lines.append((st, parts[-1].strip(" |"), notes, line))
    return lines


def run_status(cfg, sim_args, seconds):
    """`run` without a terminal: its status lines."""
    rc, out, err = host("run", "--simulate", "--seconds", seconds, "--sim-args", sim_args, cfg=cfg, timeout=60)
    check(rc == 0, "run exit %d: %s" % (rc, err))
    lines = status_lines(out)
    check(len(lines) >= 2, "expected a status line per second and a summary:\n" + out)
    return lines


def case_typed_writes():
    """NAME=VALUE lines piped into `run`: each outcome on the next status line, the value in the table after it."""
    tags = [tag("w", "hr.word", "10"), tag("s2", "hr.word", "10", 2), tag("refused", "hr.word", "200")]
    path = write_file("typed.json", config(tags))
    rows = [  # name, typed line, its outcome (an acknowledged value shows on the next status line)
        ("word", "w=4660", "acknowledged"),
        ("unknown name", "nosuch=1", '%s: no tag named "nosuch"' % path),
        ("exception", "refused=1", "given up, code 41, exception 2: exception 02 illegal data address"),
        ("station offline", "s2=7", "not sent: station 2 is offline (no answer (time-out))"),
    ]
    cmd = [ARGS.host, "run", path, "--simulate", "--seconds", "4", "--sim-args",
           "--no-pace --no-animate --silent 2 --exception 1:hr:200-200:2"]
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = p.stdout.readline()  # station 2 is offline by the first status line
    print(*(r[1] for r in rows), sep="\n", file=p.stdin, flush=True)
    out, err = p.communicate(timeout=30)
    lines = status_lines(first + out)
    check(p.returncode == 0 and len(lines) >= 3, "run exit %d: %s\n%s" % (p.returncode, err, out))
    problems = []
    for name, typed, outcome in rows:
        at = [i for i, (_, _, notes, _) in enumerate(lines) if any(typed + ": " + outcome in n for n in notes)]
        if len(at) != 1:
            problems.append("%s: %r on %d status lines, want 1" % (name, outcome, len(at)))
        elif outcome == "acknowledged" and (at[0] + 1 >= len(lines) or typed + " " not in lines[at[0] + 1][1] + " "):
            problems.append("%s: %s not in the next status line" % (name, typed))
    check(not problems, "\n".join(problems) + "\n" + out)


def case_dead_stations():
    """Eight stations of nine silent: all switched off within 4 s, the live station keeps at least 0.8 of the rate
    it has alone, and a write to a dead one fails the command."""
    tags = [tag("s%d" % s, "hr.word", "10", s, 2) for s in range(1, 10)]
    # A line paced at 19,200 baud: rates set by the wire, not by the machine's load.
    link = {"probeSeconds": 1, "responseTimeoutMs": 100, "retryLimit": 2, "baud": 19200}
    solo = run_status(config(tags[:1], link=link), "--no-animate --pace", 3)[-2][0][1]["persec"]
    runs = run_status(config(tags, link=link), "--stations 1,2,3,4,5,6,7,8,9 --silent 2,3,4,5,6,7,8,9 --no-animate --pace", 6)
    check(all(runs[3][0][s]["off"] == 1 for s in range(2, 10)), "not all off by 4 s: %s" % runs[3][0])
    live = [st[1]["persec"] for st, *_ in runs[4:-1]]
    check(sum(live) >= 0.8 * solo * len(live), "live station at %s per second, alone %d" % (live, solo))
    check("s1=1010 1011 " in runs[-1][1], "values: " + runs[-1][1])
    # A write to a dead station is given up and fails the command; the live station's still lands.
    rc, out, err = host("write", "--simulate", "--sim-args", "--no-pace --stations 1,2 --silent 2", "s1=5,6", "s2=1,2",
                        cfg=config(tags[:2]))
    check(rc == 1 and "s1=5,6: acknowledged" in out and "s2=1,2: given up, code 41" in out, "writes %d:\n%s%s"
          % (rc, out, err))


@contextlib.contextmanager
def tcp_peer(behaviour):
    """A serial server that misbehaves: "flood" sends without pause, "drop" accepts and closes at once.
    Yields its address and the list of connections it took."""
    import socket
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    accepted, stop = [], threading.Event()

    def serve():
        server.settimeout(0.1)
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except OSError:
                continue
            accepted.append(time.time())
            if behaviour == "drop":
                conn.close()
                continue
            conn.setblocking(False)
            while not stop.is_set():
                with contextlib.suppress(BlockingIOError):
                    conn.send(b"\x55" * 4096)
                with contextlib.suppress(BlockingIOError, ConnectionError):
                    if conn.recv(4096) == b"":
                        break
            conn.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    try:
        yield "tcp://127.0.0.1:%d" % server.getsockname()[1], accepted
    finally:
        stop.set()
        t.join()
        server.close()


def case_hostile_peers():
    """A peer that floods: `--seconds 3` still ends by 5 s, and SIGINT ends a run within 1 s. A server that
    accepts and drops, tried meanwhile: reconnected with growing waits, not in a storm."""
    tags = [tag("a", "hr.word", "10", 1, 2)]
    with tcp_peer("drop") as (dropper, accepted), tcp_peer("flood") as (device, _):
        dropped = subprocess.Popen([ARGS.host, "run", write_file("drop.json", config(tags, link={"device": dropper})),
                                    "--seconds", "4"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cfg = write_file("flood.json", config(tags, link={"device": device, "responseTimeoutMs": 1000}))
        start = time.time()
        rc, _, err = run(ARGS.host, "run", cfg, "--seconds", "3", timeout=30)
        took = time.time() - start
        check(rc == 0 and took < 5, "flooded --seconds 3 run: exit %d after %.1f s: %s" % (rc, took, err[-500:]))
        h = subprocess.Popen([ARGS.host, "run", cfg], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        start = time.time()
        h.send_signal(signal.SIGINT)
        h.wait(timeout=10)
        check(h.returncode == 0 and time.time() - start < 1, "SIGINT under a flood: exit %d after %.1f s"
              % (h.returncode, time.time() - start))
        dropped.wait(timeout=30)
        # Each try meets a closed link, so the station is given up and switched off: three connections, not a
        # storm (the growing waits themselves are HostReconnectingLink's table).
        check(len(accepted) <= 7, "%d connections in 4 s to a server that drops them" % len(accepted))


def case_remote_faults():
    """Input registers through a remote end (the one area the round trip has no memory model for). A remote end
    whose every answer is broken: nothing reaches the store, which stays zero, each broken answer is counted (one
    held up past the time-out on a loaded machine as a time-out), requests are retried, then given up. A silent
    one: given up."""
    ir = [tag("ir_words", "ir.word", "7", 1, 3), tag("ir_st2", "ir.word", "0", 2, 1)]
    res = read_json(config(ir, driver={"remoteMode": 1}), "--no-animate")
    got = {t["name"]: t["value"] for t in res["tags"]}
    check(got == {"ir_words": [1507, 1508, 1509], "ir_st2": 2500}, "input registers through a remote end: %s" % got)
    dump = os.path.join(ARGS.work, "corrupt1.dump")
    res = read_json(config(READ_TAGS[:4] + READ_TAGS[8:10], driver={"remoteMode": 1}),
                    "--no-animate --corrupt 1 --dump " + dump, expect_rc=1)
    _, counters = Memory.from_dump(dump)
    check(all(not t["ok"] and t["raw"].strip("0") == "" for t in res["tags"]), "a corrupt answer was stored: %s"
          % res["tags"])
    total = lambda field: sum(st[field] for st in res["stations"].values())
    check(total("crcErrors") > 0 and total("crcErrors") + total("timeouts") == total("exchanges")
          == counters["corrupted"] > total("giveUps") > 0, "counts %s %s" % (res["stations"], counters))
    res = read_json(config(READ_TAGS[:4], driver={"remoteMode": 1}), "--no-animate --silent 1", expect_rc=1)
    st = res["stations"]["1"]
    check(not any(t["ok"] for t in res["tags"]) and st["giveUps"] > 0 and st["timeouts"] == st["exchanges"],
          "a silent remote end is given up: %s" % st)


TRACE_LINE = re.compile(r"^ *(\d+\.\d{3}) +([+-]\d+\.\d{3}) (->|<-) (.*)$")


def trace_frames(err):
    """The frames of a --trace: (ms since the start, ms since the previous frame, "->" or "<-", the rest)."""
    return [(float(m[1]), float(m[2]), m[3], m[4]) for m in map(TRACE_LINE.match, err.splitlines()) if m]


def misplaced_answers(err):
    """(accepted, wrong): register reads in a --trace accepted, and those whose data is not the pattern asked for."""
    stored = wrong = 0
    frames = trace_frames(err)
    for req, ans in zip(frames, frames[1:]):
        data, _, status = ans[3].partition(" (")
        if req[2] == "->" and ans[2] == "<-" and status.split(",")[0] == "ok":
            req, stored = bytes.fromhex(req[3]), stored + 1
            first, count = struct.unpack(">HH", req[2:6])
            want = b"".join(struct.pack(">H", pattern_hr(req[0], r)) for r in range(first, first + count))
            # Late answers dropped on the way come first in the trace: the answer taken is the last frame.
            wrong += bytes.fromhex(data)[-2 - 2 * count:-2] != want
    return stored, wrong


def case_late_answers():
    """2 % of the answers come after the response time-out: none may be taken for a later request; once
    the late answers are seen, each station's time-out is raised (said once) and their answers are read.
    Then a station that always answers after the time-out: read, and never under another block's registers."""
    # The always-late station runs meanwhile: its line is idle most of the time.
    tags = [tag("r%d" % i, "hr.word", str(100 + 400 * i), 1, 2) for i in range(3)]
    always_late = subprocess.Popen(
        [ARGS.host, "run", write_file("always_late.json", config(tags, link={"responseTimeoutMs": 100})), "--simulate",
         "--seconds", "3", "--trace", "--sim-args", "--no-pace --no-animate --delay-ms 130"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    tags = [tag("r%d" % i, "hr.word", str(100 + 10 * i), 1 + i % 2, 4) for i in range(8)]
    cfg = config(tags, link={"responseTimeoutMs": 20, "retryLimit": 3})
    dump = os.path.join(ARGS.work, "late.dump")
    rc, out, err = host("run", "--simulate", "--seconds", 4, "--trace", "--sim-args",
                        "--no-pace --no-animate --late-ms 35 --late-rate 0.02 --dump " + dump, cfg=cfg, timeout=60)
    check(rc == 0, "run exit %d: %s" % (rc, err[-2000:]))
    _, counters = Memory.from_dump(dump)
    stored, wrong = misplaced_answers(err)
    late = sum(st["late"] for st in status_lines(out)[-1][0].values())
    check(stored >= 1000 and wrong == 0, "%d of %d accepted answers belong to another request" % (wrong, stored))
    check(counters["late"] >= 10 and late >= 2, "late sent %d, seen %d" % (counters["late"], late))
    raised = err.count("its time-out is raised")
    check(1 <= raised <= 2, "time-out raised %d times:\n%s" % (raised, err[-2000:]))
    out, err = always_late.communicate(timeout=60)
    stored, wrong = misplaced_answers(err)
    check(always_late.returncode == 0 and stored >= 5 and wrong == 0, "always late: %d of %d stored wrongly"
          % (wrong, stored))
    late, raised = status_lines(out)[-1][0][1]["late"], err.count("its time-out is raised")
    check(late >= 1 and raised == 1, "always late: %d late answers, time-out raised %d times" % (late, raised))


def reconnect(*sim_args):
    """The controller goes away for a second and comes back at the same address: the tags fail meanwhile, then are
    read again. Answers split by a pause, so the stop likely cuts one, are never accepted with others' data."""
    tags = [tag("a", "hr.word", "10", 1, 4), tag("b", "hr.word", "20", 2, 3)]
    link = sim_args[sim_args.index("--link") + 1] if "--link" in sim_args else None
    with sim("--split-ms", "20", *sim_args) as (device, _):
        device = link or device  # the pty's own number may go to another program meanwhile; the link stays
        cfg = config(tags, link={"device": device, "responseTimeoutMs": 100, "interByteMs": 50, "probeSeconds": 1,
                                 "retryLimit": 3})
        h = subprocess.Popen([ARGS.host, "run", write_file("%s.json" % ARGS.case, cfg), "--seconds", "7", "--trace"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(2)
    time.sleep(1)
    if device.startswith("tcp://"):  # back on the same port
        sim_args = ("--tcp", device.rsplit(":", 1)[1])
    with sim("--split-ms", "20", *sim_args) as (again, _):
        check((link or again) == device, "plc-sim came back at %s, not %s" % (again, device))
        out, err = h.communicate(timeout=30)
    check(h.returncode == 0, "run exit %d: %s" % (h.returncode, err[-2000:]))
    check("link %s down" % device in err and "link %s up again" % device in err, "no word of the loss:\n" + err[-2000:])
    lines = [line for *_, line in status_lines(out)]
    want = "a=1010 1011 1012 1013 b=2020 2021 2022"
    down = [i for i, line in enumerate(lines) if line.endswith("a=? b=?")]
    check(down, "tags never reported as failing:\n" + "\n".join(lines))
    check(any(line.endswith(want) for line in lines[down[-1]:]), "not recovered:\n" + "\n".join(lines))
    stored, wrong = misplaced_answers(err)
    check(stored >= 50 and wrong == 0, "%d of %d accepted answers carry wrong data" % (wrong, stored))


def case_reconnect_tcp():
    reconnect("--tcp", "0")


def case_reconnect_pty():
    reconnect("--link", os.path.join(ARGS.work, "line"))


def case_poll_and_overrides():
    """poll reads plc-sim without a configuration; --device and --station point a configuration elsewhere."""
    with sim() as (device, _):
        rc, out, err = host("poll", device, "--kind", "hr.word", "--address", "100", "--count", "10",
                            "--station", "2", "--baud", "19200", "--parity", "E", "--json")
        check(rc == 0, "poll exit %d\n%s\n%s" % (rc, out, err))
        got = json.loads(out)["tags"][0]
        check(got["value"] == [pattern_hr(2, 100 + i) for i in range(10)] and got["station"] == 2, "poll: %s" % got)
        # Coils by number, rows labelled by number, exactly the three coils asked for, in one request.
        rc, out, err = host("poll", device, "--kind", "coil", "--address", "6", "--count", "3", "--once", "--trace")
        rows = [line.split() for line in out.splitlines()[1:4]]
        want = [[str(c), str(int((7 * c + 1) % 3 == 0))] for c in (6, 7, 8)]
        check(rc == 0 and "station 1" in out and rows == want and err.count(" -> ") == 1
              and " -> 01 01 00 06 00 03 " in err, "poll table %d:\n%s%s" % (rc, out, err))
        cfg = config([tag("w", "hr.word", "30", 1, 2), tag("all", "hr.word", "30", 0)])
        res = json.loads(host("read", "--json", "--device", device, "--station", "2", cfg=cfg)[1])
        check(res["tags"][0]["value"] == [2030, 2031] and list(res["stations"]) == ["2"], "override: %s" % res)
    # The demo reads whole, paced at its 19200 baud: a scan carries about 120 ms of bytes (unpaced: a few ms).
    demo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "demo.json")
    rc, out, err = host("read", demo, "--json", "--simulate")
    check(rc == 0 and json.loads(out)["elapsedMs"] >= 100, "the demo on a simulated line: %d\n%s%s" % (rc, out, err))


def case_pymodbus_sparse():
    """A sparse meter on pymodbus (Debian's python3-pymodbus), configured as the README teaches, merging left to
    plc-host: every tag shows the device's values within 10 s, after one refusal unmerges the station; identify
    shows the meter's own texts."""
    with contextlib.closing(__import__("socket").socket()) as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pymodbus_device.py")
    device = subprocess.Popen(["/usr/bin/python3", script, str(port)], stdout=subprocess.PIPE, text=True)
    try:
        ready = device.stdout.readline()
        check(ready.strip() == "READY", "pymodbus device (Debian's python3-pymodbus) did not start: %r" % ready)
        cfg = {"link": {"device": "tcp://127.0.0.1:%d" % port, "baud": 9600, "parity": "N"},
               "driver": {"defaultStation": 7},
               "stations": {"7": {"name": "meter"}},
               "tags": [tag("setpoint", "hr.word", "40", 7), tag("mode", "hr.word", "41", 7, 1, "hex"),
                        tag("alarms", "hr.word", "44", 7),
                        dict(tag("voltages", "ir.word", "0", 7, 6, "f32"), wordOrder="CDAB", unit="V"),
                        dict(tag("current", "ir.word", "6", 7, 2, "f32"), wordOrder="CDAB", unit="A"),
                        dict(tag("power", "ir.word", "8", 7, 2, "f32"), wordOrder="CDAB", unit="W"),
                        tag("relays", "coil.bit", "0.0", 7, 10)]}
        started = time.monotonic()
        rc, out, err = host("read", "--json", cfg=cfg, timeout=20)
        took = time.monotonic() - started
        check(rc == 0 and took < 10, "read exit %d after %.1f s\n%s\n%s" % (rc, took, out, err))
        got = {t["name"]: t["value"] for t in json.loads(out)["tags"]}
        want = {"setpoint": 1234, "mode": "0xbeef", "alarms": 7, "voltages": [230.5, 231.25, 229.75],
                "current": 8.5, "power": 1960, "relays": [1, 0, 1, 1, 0, 0, 0, 1, 0, 1]}
        check(got == want, "values %r, the device holds %r" % (got, want))
        check(err.count("reads no longer merged") == 1, "the switch not said once on stderr: %s" % err)
        rc, out, err = host("identify", cfg["link"]["device"], "--station", "7", "--timeout-ms", "300")
        check(rc == 0 and '"Pymodbus Test Vendor"' in out and '"PMT-7"' in out and '"4.5"' in out,
              "identify %d:\n%s%s" % (rc, out, err))
    finally:
        device.kill()
        device.wait(timeout=10)


def case_commissioning():
    """A line found and identified from nothing, then polled and logged: scan finds exactly the stations of a
    plc-sim that hears only 9600 baud, identify shows its texts, poll keeps to its interval, and run --log writes
    one CSV row per scan."""
    with sim("--strict-baud", "--baud", "9600", "--parity", "N", "--stations", "3,7", "--seconds", "60", "--exception",
             "7:hr:0-0:2", "--vendor", "ACME Drives", "--product", "FX-200", "--revision", "2.3") as (device, _):
        start = time.time()
        rc, out, err = host("scan", device, "--stations", "1-10", "--bauds", "9600,19200", "--parity", "N,E",
                            "--timeout-ms", "50", "--json", timeout=40)
        found = {(f["station"], f["baud"], f["answer"]) for f in json.loads(out)["found"]} if rc == 0 else None
        # Station 7 refuses the probe's register: there all the same.
        check(found == {(3, 9600, "answers"), (7, 9600, "exception 02 illegal data address")} and
              time.time() - start < 30,
              "scan found %s in %.1f s:\n%s%s" % (found, time.time() - start, out, err))
        rc, out, err = host("identify", device, "--station", "7", "--baud", "9600", "--parity", "N")
        check(rc == 0 and '"ACME Drives"' in out and '"FX-200"' in out and '"2.3"' in out,
              "identify %d:\n%s%s" % (rc, out, err))
        rc, out, err = host("poll", device, "--station", "3", "--baud", "9600", "--parity", "N", "--interval", "500",
                            "--seconds", "3", "--trace")
        frames = trace_frames(err)
        sent = sum(f[2] == "->" for f in frames)
        check(rc == 0 and 5 <= sent <= 8 and "reads, %d ok" % sent in out, "poll sent %d:\n%s" % (sent, out))
        # Each line's gap is the time since the line before; requests come an interval apart.
        gaps = [round(b[0] - a[0] - b[1], 3) for a, b in zip(frames, frames[1:])]
        starts = [f[0] for f in frames if f[2] == "->"]
        check(all(abs(g) <= 0.002 for g in gaps) and all(450 <= b - a <= 600 for a, b in zip(starts, starts[1:])),
              "trace times:\n" + err)
    # run --log: a row per pass over the blocks, each pass reading every block once.
    tags = [tag("w", "hr.word", "10", 1, 2), tag("c", "coil.bit", "0.5", 1, 3), tag("far", "hr.word", "500", 2)]
    want = ["%d %d" % (pattern_hr(1, 10), pattern_hr(1, 11)), " ".join(str(int((7 * c + 1) % 3 == 0)) for c in (5, 6, 7)),
            str(pattern_hr(2, 500))]
    log, trace = os.path.join(ARGS.work, "scan.csv"), os.path.join(ARGS.work, "run.trace")
    for f in (log, trace):
        with contextlib.suppress(FileNotFoundError):
            os.remove(f)
    rc, out, err = host("run", "--simulate", "--seconds", "2", "--log", log, "--trace=" + trace, "--sim-args",
                        "--no-animate", cfg=config(tags, link={"baud": 38400}))
    with open(log) as f:
        rows = list(csv.reader(f))
    with open(trace) as f:
        firsts = sum(f[2] == "->" and f[3].startswith("01 03 00 0a") for f in trace_frames(f.read()))
    check(rc == 0 and rows[0] == ["time", "w", "c", "far"] and all(r[1:] == want for r in rows[1:])
          and 10 <= len(rows) - 1 and firsts - 1 <= len(rows) - 1 <= firsts,
          "%d rows for %d scans: %s\n%s" % (len(rows) - 1, firsts, rows[:3], err))


def case_cli_contract():
    good = config([tag("w", "hr.word", "1"), tag("c", "coil.bit", "0.1"), tag("in", "di.bit", "0.0"),
                   tag("ir", "ir.word", "0", 1, 2, "f32")])

    def edit(part, **fields):
        cfg = json.loads(json.dumps(good))
        (cfg["tags"][0] if part == "tag" else cfg["link"]).update(fields)
        return cfg

    poll = ["poll", "/dev/null", "--kind", "hr.word", "--address", "100"]
    rows = [  # (name, config or raw text or None, arguments, exit code, words its message (or --help) must hold)
        ("bad json", '{"tags": [', ["read"], 2, ["not valid JSON", "line 1"]),
        ("unknown kind", edit("tag", kind="hr.wrod"), ["read"], 2, ['tag "w"', 'field "kind"', '"hr.wrod"']),
        ("bit address", edit("tag", kind="coil.bit", address="12"), ["read"], 2, ['field "address"', "BYTE.BIT"]),
        ("type for kind", edit("tag", kind="coil.word", type="f32"), ["read"], 2, ['field "type"', "u16, i16, hex"]),
        ("count of a type", edit("tag", type="f64", count=6), ["read"], 2, ['field "count"', "multiple of 4"]),
        ("word order", edit("tag", type="u32", count=2, wordOrder="BA"), ["read"], 2, ['field "wordOrder"', "CDAB"]),
        ("scale of hex", edit("tag", type="hex", scale=2), ["read"], 2, ['field "scale"', "numeric"]),
        ("unknown field", edit("tag", colour="red"), ["read"], 2, ['field "colour"', "unknown field"]),
        ("name twice", edit("tag", name="c"), ["read"], 2, ['tag "c"', "earlier tag"]),
        ("link parity", edit("link", parity="X"), ["read"], 2, ["link", 'field "parity"']),
        ("interByteMs 0", edit("link", interByteMs=0), ["read"], 2, ['field "interByteMs"', "1..10000"]),
        ("realtime text", edit("link", realtime="yes"), ["read"], 2, ['field "realtime"', "true or false"]),
        ("rs485 word", edit("link", rs485="on"), ["read"], 2, ['field "rs485"', "off, rts-high or rts-low"]),
        ("rs485 on a pty", edit("link", device="/dev/ptmx", rs485="rts-high"), ["read"], 1, ["link.rs485: this port"]),
        ("link baud 14400", edit("link", baud=14400), ["read"], 2, ["14400 is not supported", "9600, 19200", "921600"]),
        ("tcp no port", edit("link", device="tcp://localhost"), ["read"], 2, ['field "device"', "tcp://HOST:PORT"]),
        ("no tags", {"link": {}}, ["read"], 2, ['field "tags"', "missing"]),
        ("write bit", good, ["write", "c=2"], 2, ['tag "c"', "not a bit"]),
        ("write input register", good, ["write", "ir=1"], 2, ['tag "ir"', "read-only (ir.word)"]),
        ("write twice", good, ["write", "w=1", "w=2"], 2, ['tag "w"', "twice"]),
        ("write no =", good, ["write", "w"], 2, ['"w" is not NAME=VALUE']),
        ("command", good, ["fetch"], 2, ['unknown command "fetch"']),
        ("option", good, ["read", "--fast"], 2, ['unknown option "--fast"']),
        ("sim-args unknown", good, ["read", "--simulate", "--sim-args", "--loud"], 2, ["--sim-args", '"--loud"']),
        ("library", good, ["read", "--library", "/nonexistent/libx.so"], 1, ["cannot load driver"]),
        ("version", None, ["--version"], 0, ["plc-host 1.", "/libkemo_ipc_rtu.so.1.", ", version 1."]),
        ("sim version", None, [ARGS.sim, "--version"], 0, ["plc-sim 1."]),
        ("no device", good, ["read"], 2, ["no serial device"]),
        ("--baud text", good, ["read", "--baud", "fast"], 2, ["--baud", '"fast"', "9600, 19200"]),
        ("--parity", good, ["run", "--parity", "X"], 2, ["--parity", "none, even, odd"]),
        ("--station 0", good, ["write", "w=1", "--station", "0"], 2, ["--station", "1..247"]),
        ("map option", good, ["map", "--timeout", "1"], 2, ['unknown option "--timeout" for map']),
        ("missing value", good, ["read", "--library"], 2, ["missing value", "--library"]),
        ("poll device", None, poll[:1] + poll[2:], 2, ["poll needs DEVICE", "--simulate"]),
        ("poll count", None, poll + ["--count", "200"], 2, ["--count", "1..123"]),
        ("sim missing value", None, [ARGS.sim, "--drop"], 2, ["missing value", "--drop"]),
        ("sim tcp and device", None, [ARGS.sim, "--tcp", "0", "--device", "/dev/null"], 2, ["exclude each other"]),
        ("missing file", None, ["read", os.path.join(ARGS.work, "missing.json")], 2, ["missing.json: cannot read"]),
        ("help", None, ["--help"], 0, ["--simulate", "--sim-args", "poll DEVICE", "--station N", "9600, 19200",
                                      "interByteMs (pause allowed inside an answer; default 20"]),
    ]
    problems = []
    for name, cfg, args, want_rc, words in rows:
        rc, out, err = run(*args) if args[0] == ARGS.sim else host(*args, cfg=cfg)
        if cfg is not good and cfg is not None and want_rc == 2:  # a bad configuration's message names its file
            words = words + [os.path.join(ARGS.work, "cli_contract.json")]
        missing = [w for w in words if w not in (out if want_rc == 0 else err)]
        if rc != want_rc or missing:
            problems.append("%s: exit %d (want %d), missing %s in: %s" % (name, rc, want_rc, missing, err.strip()))
    check(not problems, "\n".join(problems))


def main():
    global ARGS
    cases = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=sorted(cases))
    for option in ("--host", "--sim", "--work"):
        ap.add_argument(option, required=True)
    ARGS = ap.parse_args()
    ARGS.work = os.path.join(ARGS.work, ARGS.case)
    os.makedirs(ARGS.work, exist_ok=True)
    start = time.time()
    cases[ARGS.case]()  # a failed check ends the run with its message
    print("ok %s (%.1fs)" % (ARGS.case, time.time() - start))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Builds bench/RESULTS.md from the Google Benchmark JSON files of one run."""
import json
import os
import platform
import sys
import datetime


def load(path):
    with open(path) as f:
        return json.load(f)


def runs(doc):
    """name -> counters of the median aggregate (or the single run)."""
    out = {}
    for b in doc.get("benchmarks", []):
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") != "median":
                continue
        elif name in out:
            continue
        out[name] = b
    return out


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def find(table, prefix):
    for k, v in table.items():
        if k.startswith(prefix):
            return v
    return None


def main():
    src, dst = sys.argv[1], sys.argv[2]
    hexd = runs(load(os.path.join(src, "bench_hexdump.json")))
    net_doc = load(os.path.join(src, "bench_net.json"))
    net = runs(net_doc)
    ser = runs(load(os.path.join(src, "bench_serial.json")))
    dl = runs(load(os.path.join(src, "bench_dlopen.json")))
    lock = runs(load(os.path.join(src, "bench_lock.json")))

    rows = []  # (what, measured, goal, pass, note)
    notes = []  # lines under the table

    def ratio_row(what, value, limit, note):
        ok = value is not None and value <= limit
        rows.append((what, "n/a" if value is None else "%.2f×" % value,
                     "≤ %g×" % limit, "pass" if ok else "MISS", note))

    def alloc_row(what, value):
        ok = value is not None and value == 0
        rows.append((what, "n/a" if value is None else "%g" % value, "0",
                     "pass" if ok else "MISS", ""))

    dump = find(hexd, "BM_BufToHexStr")
    nib = find(hexd, "BM_NibbleTable")
    dr = dump["real_time"] / nib["real_time"] if dump and nib else None
    ratio_row("dump of 340 bytes vs plain nibble table", dr, 1.5,
              "%.0f ns vs %.0f ns" % (dump["real_time"], nib["real_time"]) if dr else "")

    for proto, limit in (("Tcp/", 1.05), ("Udp/", 1.1)):
        b = find(net, "BM_Exchange64" + proto)
        ratio_row("%s 64-byte exchange vs raw (caller and peer on one core)" % proto[:-1].upper(),
                  b["ratio"] if b else None, limit,
                  "%.1f µs vs %.1f µs" % (b["channel_us"], b["raw_us"]) if b else "")
    b = find(net, "BM_Exchange64TcpLogOff")
    ratio_row("TCP 64-byte exchange with the log off (KxSetLog(1)) vs raw", b["ratio"] if b else None, 1.02,
              "%.1f µs vs %.1f µs" % (b["channel_us"], b["raw_us"]) if b else "")
    b = find(net, "BM_Exchange64TcpLogToHost")
    if b:
        notes.append("Not a goal: the TCP exchange with the log in a host function that counts its lines "
                     "%.2f× raw (%.1f lines a exchange)." % (b["ratio"], b["lines_per_xfer"]))
    for kind in ("Write", "Read"):
        for size in (256, 4096):
            b = find(ser, "BM_Serial%s/%d" % (kind, size))
            ratio_row("pty %s of %d bytes vs raw" % (kind.lower(), size),
                      b["channel_per_raw"] if b else None, 1.1,
                      "%.1f µs per channel call" % (b["real_time"] / 1000) if b else "")

    b = find(ser, "BM_ModbusExchange/5/")
    ratio_row("Modbus-like exchange on a pty with gap=5 vs raw (write, read to 5 ms of silence)",
              b["channel_per_raw"] if b else None, 1.2,
              "%.2f ms per exchange" % (b["real_time"] / 1e6) if b else "")
    ok = b is not None and b["after_last_byte_ms"] <= 7
    rows.append(("Read with gap=5: from the reply's last byte to the Read's return",
                 "n/a" if b is None else "%.2f ms" % b["after_last_byte_ms"], "≤ 7 ms (gap + 2)",
                 "pass" if ok else "MISS", ""))
    b = find(lock, "BM_LockHandOver")
    ok = b is not None and b["worst_holds"] < 1.5
    rows.append(("contended Lock: the waiter's worst wait behind 20 ms holds",
                 "n/a" if b is None else "%.2f holds" % b["worst_holds"], "< 1.5 holds",
                 "pass" if ok else "MISS",
                 "mean %.1f ms, worst %.1f ms" % (b["mean_ms"], b["worst_ms"]) if b else ""))

    for proto in ("Tcp/", "Udp/", "TcpLogToHost/"):
        b = find(net, "BM_Exchange64" + proto)
        alloc_row("allocations per %s exchange (write + read)" % {"Tcp/": "TCP", "Udp/": "UDP",
                  "TcpLogToHost/": "TCP (log in a host function)"}[proto],
                  b["allocs_per_xfer"] if b else None)
    for kind in ("Write", "Read"):
        for size in (256, 4096):
            b = find(ser, "BM_Serial%s/%d" % (kind, size))
            alloc_row("allocations per pty %s of %d bytes" % (kind.lower(), size),
                      b["allocs_per_call"] if b else None)
    b = find(hexd, "BM_BufToHexStr")
    alloc_row("allocations per dump", b["allocs_per_dump"] if b else None)
    b = find(dl, "BM_FreshThreadTransfers")
    alloc_row("allocations on a fresh thread of a dlopen host (TCP exchange + pty write)",
              b["allocs_per_thread"] if b else None)

    ctx = net_doc.get("context", {})
    load_avg = ctx.get("load_avg", [])
    lines = []
    lines.append("# Benchmark results")
    lines.append("")
    lines.append("Generated by `make bench` (scripts/bench.sh, bench/report.py). "
                 "Ratios are channel time / raw time for the same transfer on the same "
                 "descriptor or peer, channel and raw alternating within one run; the "
                 "values are medians of %s repetitions. The channels' log goes to "
                 "/dev/null (fully buffered stdout)." % os.environ.get("BENCH_REPS", "5"))
    lines.append("")
    lines.append("| measurement | measured | goal | result | detail |")
    lines.append("|---|---|---|---|---|")
    for r in rows:
        lines.append("| %s | %s | %s | %s | %s |" % r)
    lines.append("")
    m = find(ser, "BM_ModbusExchange/0/")
    if m:
        lines.append("Not a goal: the same exchange without gap %.0f ms (the terminal's 0.2 s timer ends the "
                     "Read)." % (m["real_time"] / 1e6))
    u = find(lock, "BM_LockUnlockUncontended")
    if u:
        lines.append("Not a goal: an uncontended Lock + Unlock %.1f ns." % u["real_time"])
    for threads in (2, 4, 8):
        b = find(lock, "BM_LockShortHolds/real_time/threads:%d" % threads)
        if b:
            aim = " (aim: within 5 µs)" if threads == 8 else ""
            lines.append("Lock hand-over with short holds, %d threads: %.2f µs an acquisition%s."
                         % (threads, b["us_per_lock"], aim))
    lines.extend(notes)
    o = find(net, "BM_OpenTcp")
    if o:
        lines.append("Not a goal: TCP Open + Close %.1f µs vs blocking connect + close %.1f µs "
                     "(%.2f×)." % (o["channel_us"], o["raw_us"], o["ratio"]))
    s = find(net, "BM_TcpRttSamples")
    if s:
        lines.append("TCP round trip, individual samples (not pinned): channel p50 %.1f µs / p99 %.1f µs, "
                     "raw p50 %.1f µs / p99 %.1f µs (plot: tcp_rtt.png)."
                     % (s["channel_p50_us"], s["channel_p99_us"], s["raw_p50_us"], s["raw_p99_us"]))
    lines.append("")
    lines.append("![TCP round-trip distribution](tcp_rtt.png)")
    lines.append("")
    lines.append("## Where the channel loses time")
    lines.append("")
    lines.append("- pty read of a short block: the channel reads one byte first (a leading 0x00 is "
                 "dropped) and then the rest, two read calls where raw needs one; on a pty each "
                 "read waits for the tty buffer work (perf: queue_work_on / flush_work in the "
                 "kernel dominate; BufToHexStr about 2 %, vfprintf under 1 %). The second "
                 "call is part of the read's defined behaviour, so it stays.")
    lines.append("- Network exchanges: the caller and the echo peer are pinned to one core, so "
                 "every round trip has the same shape; unpinned, loopback round trips on this VM "
                 "are bimodal (a few µs when the echo thread runs on the caller's core, tens of µs "
                 "with a cross-core wake-up), which the individual samples above (not pinned) show. "
                 "perf puts the channel's own user-space work (dump, log assembly, poll "
                 "bookkeeping) at 1 to 2 % of the cycles of a TCP exchange; the rest is the "
                 "same kernel work as raw, so the ratio mostly reflects the load on the shared "
                 "machine.")
    lines.append("- UDP exchange: every channel Write converts the address text again and sends "
                 "with sendto (defined behaviour) where raw uses send on the connected socket.")
    lines.append("- pty write of 256 bytes: the dump (768 characters) costs about 0.2 µs against "
                 "a write of a few µs; the result varies from run to run on this shared machine.")
    lines.append("- Each transfer's log lines go to stdout with one fwrite, so a host whose "
                 "stdout is a terminal (line buffered) pays one write call per transfer, not one "
                 "per line. The fresh-thread count loads kxSer.so with dlopen, where a "
                 "per-thread buffer would be allocated by glibc on first use in each thread; "
                 "with the dump formatted on the stack no transfer allocates.")
    lines.append("")
    lines.append("## Machine")
    lines.append("")
    lines.append("- date: %s" % datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))
    lines.append("- nproc: %d" % os.cpu_count())
    lines.append("- CPU: %s" % cpu_model())
    lines.append("- kernel: %s %s" % (platform.system(), platform.release()))
    if load_avg:
        lines.append("- load average at start of the network run: %s"
                     % ", ".join("%.2f" % x for x in load_avg))
    note = os.environ.get("BENCH_NOTE")
    if note:
        lines.append("- note: %s" % note)
    lines.append("")
    with open(dst, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()

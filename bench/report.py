#!/usr/bin/env python3
"""Turns the benchmark's hyperfine and /usr/bin/time results into docs/PERFORMANCE.md."""
import datetime
import json
import os
import platform
import subprocess
import sys

TARGET_RATIO = 1.3
TARGET_MEMORY_KIB = 64 * 1024


def tool(command):
    word = os.path.basename(command.split()[0])
    return "zelkpatch" if word == "zelkpatch" else word


def load_times(path):
    with open(path) as f:
        return {tool(r["command"]): r["median"] for r in json.load(f)["results"]}


def load_tsv(path):
    table = {}
    with open(path) as f:
        for line in f:
            key, value = line.rstrip("\n").split("\t")
            table.setdefault(tool(key) if " " in key else key, []).append(int(value))
    return table


def describe(name):
    size = "".join(ch for ch in name if ch.isdigit())
    share = "10%" if name.startswith("dense") else "0.5%"
    mib = int(size)
    return f"{mib // 1024} GiB" if mib >= 1024 else f"{mib} MiB", share


def machine():
    cpu = "unknown"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                cpu = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    fs = subprocess.run(["df", "-T", "bench/data"], capture_output=True, text=True).stdout.splitlines()[-1].split()[1]
    return f"{os.cpu_count()} cores ({cpu}), {mem_gib:.0f} GiB memory, Linux {platform.release()}, {fs} file system"


def ms(seconds):
    return f"{seconds * 1000:.0f} ms" if seconds < 10 else f"{seconds:.1f} s"


def main():
    results, names = sys.argv[1], sys.argv[2:]
    out = []
    out.append("# Performance\n")
    out.append("Written by `make bench` (`bench/run.sh`, then `bench/report.py`); rerun it to refresh this page.\n")
    out.append(f"- Date: {datetime.date.today().isoformat()}")
    out.append(f"- Machine: {machine()}")
    out.append("- Times are medians of several runs by hyperfine (warm page cache, one warm-up run). Every run"
               " starts after `sync`, so that none pays for writing back the gigabyte the run before left"
               " behind; without it a run's time depends on the runs before it, for cp as for zelkpatch."
               " Peak memory is the maximum resident set size from `/usr/bin/time -v`.")
    out.append("- Data: generated ROM-like pairs. The original is 32 KiB banks of random bytes, some of them 0x00"
               " or 0xFF padding; the changed copy has the given share of bytes changed in clustered runs of 1 to 64"
               " bytes, and 1 MiB more at the end.")
    out.append("- The limits: `cmp` of two identical copies of the original reads and compares both files, which"
               " making a patch must do at least; `cp` of the original writes the result, which applying must do"
               " at least.\n")
    verdicts = []
    out.append("| data | changed | operation | zelkpatch | limit | ratio | xdelta3 | bsdiff / bspatch | zelkpatch peak memory |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    for name in names:
        size, share = describe(name)
        memory = load_tsv(os.path.join(results, f"{name}.mem.tsv"))
        for op, limit, other in (("make", "cmp", "bsdiff"), ("apply", "cp", "bspatch")):
            times = load_times(os.path.join(results, f"{name}.{op}.json"))
            ratio = times["zelkpatch"] / times[limit]
            peak = memory["zelkpatch"][0 if op == "make" else 1]
            bs = ms(times[other]) if other in times else "-"
            out.append(f"| {size} | {share} | {op} | {ms(times['zelkpatch'])} | {limit} {ms(times[limit])} |"
                       f" {ratio:.2f} | {ms(times['xdelta3'])} | {bs} | {peak / 1024:.1f} MiB |")
            if not name.startswith("dense") and size != "16 MiB":
                verdicts.append((f"{op} at {size}: {ratio:.2f} x {limit}", ratio <= TARGET_RATIO))
            verdicts.append((f"{op} memory at {size} ({share}): {peak / 1024:.1f} MiB", peak <= TARGET_MEMORY_KIB))
    out.append("")
    out.append("## Targets\n")
    out.append(f"Make and apply within {TARGET_RATIO} x of cmp and cp at 256 MiB and 1 GiB; peak memory within"
               " 64 MiB at every size.\n")
    for text, ok in verdicts:
        out.append(f"- {'met' if ok else 'MISSED'}: {text}")
    out.append("")
    out.append("## How, and what was tried\n")
    out.append("- Making a patch reads both files in 256 KiB pieces and skips equal stretches 64 bytes at a step"
               " (SSE2); block data goes from the read buffer to the patch's write buffer. `cmp` looks at every"
               " byte, so making a patch is faster than the limit.")
    out.append("- Applying a patch whose blocks ascend (every patch the maker writes) is one front-to-back pass:"
               " the original's bytes and the blocks' bytes are interleaved in a 256 KiB write buffer; gaps of 1 MiB"
               " or more are copied inside the kernel (copy_file_range). Other patches copy the original whole and"
               " then write each block at its place. The result goes to a temporary file that is renamed over the"
               " target. What is left between apply and `cp`: `cp` copies inside the kernel, apply copies through"
               " its own buffer, and the rename makes the file system allocate the new file's blocks at once.")
    out.append("- Tried and dropped: 4 MiB buffers (apply 2 to 3 times slower than now: the buffer no longer stays in"
               " the processor's cache between the read and the write); copying the original in the kernel and then"
               " writing every block with its own pwrite (1.6 x cp at 256 MiB: a system call per block). Mapping the"
               " original into memory would save one more copy, but a file shortened by another program meanwhile"
               " would then crash the process instead of giving a message.")
    out.append("- The dense case (10% changed) is there for information: its 745,000 blocks cost time of their"
               " own in both directions.\n")
    out.append("## Patch sizes\n")
    out.append("For information: the ZelkPatch format is fixed (8 bytes a block, data stored as it is).\n")
    out.append("| data | changed | zelkpatch | xdelta3 | bsdiff |")
    out.append("|---|---|---|---|---|")
    for name in names:
        size, share = describe(name)
        sizes = load_tsv(os.path.join(results, f"{name}.sizes.tsv"))
        cell = lambda key: f"{sizes[key][0]:,}" if key in sizes else "-"
        out.append(f"| {size} | {share} | {cell('zelkpatch')} | {cell('xdelta3')} | {cell('bsdiff')} |")
    out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main()

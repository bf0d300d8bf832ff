#!/usr/bin/env bash
# How much of each module's work runs in vector code on aarch64, counted under
# qemu-user: driver_streams (built for aarch64 by scripts/check-arm64.sh) runs units
# of one module's work (`driver_streams work`: FFT pairs, vocoder frames, analyses,
# driver blocks) on the scalar reference path and on the vector path, and qemu logs
# every block of guest code it translates and every block it executes. From the log
# this counts the instructions executed and, of those, the vector ones (those on
# SIMD registers as vectors: v0.4s, q0 and the like; scalar floating point on d0 or
# s0 is not). Each count is taken at UNITS and at 2 UNITS units and the first taken
# from the second, so that start-up and set-up drop out. Prints per module the
# instructions per unit on each path, their ratio (vector path / scalar path) and
# the vector instructions' share of the vector path's.
#
#   scripts/vector-share.sh [TARGET_BUILD] [UNITS]
#
# TARGET_BUILD is the aarch64 build folder (default build/arm64/target, or
# $BUILD_DIR/arm64/target, as check-arm64.sh leaves it); UNITS defaults to 4; WHAT
# (e.g. WHAT="fft vocoder") limits the modules counted. Needs
# qemu-user and the aarch64 C library (/usr/aarch64-linux-gnu), as check-arm64.sh
# does. A few minutes: the logging slows qemu down many times.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${1:-${BUILD_DIR:-$root/build}/arm64/target}
units=${2:-4}
driver=$target/tests/native/driver_streams
[[ -x $driver ]] || { echo "vector-share.sh: no $driver (run scripts/check-arm64.sh)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$driver" "$work" "$units" <<'EOF'
import os, re, subprocess, sys

driver, work, units = sys.argv[1], sys.argv[2], int(sys.argv[3])
# An operand on a SIMD register as a vector: an arrangement (v3.2d), a whole
# 128-bit register (q3) or a register list ({v0.4s, v1.4s}).
vector_operand = re.compile(r"\bv\d+\.\d*[bhsd]\b|\bq\d+\b")

def count(what, n, path):
    """Instructions executed and vector instructions among them, for n units."""
    log = os.path.join(work, "log")
    if not os.path.exists(log):
        os.mkfifo(log)
    run = subprocess.Popen(
        ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu", "-d", "in_asm,exec,nochain", "-D", log,
         driver, "work", what, str(n), path], stdout=subprocess.DEVNULL)
    blocks = {}  # start address -> [instructions, vector instructions]
    total = vector = 0
    block = None
    with open(log) as lines:
        for line in lines:
            if line.startswith("Trace"):
                b = blocks.get(int(line.split("[", 1)[1].split("/")[1], 16))
                if b is not None:
                    total += b[0]
                    vector += b[1]
            elif line.startswith("IN:"):
                block = None
            elif line.startswith("0x"):
                address, text = line.split(":", 1)
                if block is None:
                    block = blocks[int(address, 16)] = [0, 0]
                block[0] += 1
                block[1] += 1 if vector_operand.search(text) else 0
    if run.wait() != 0:
        sys.exit(f"vector-share.sh: driver_streams work {what} {n} {path} failed")
    return total, vector

print(f"instructions per unit under qemu-aarch64 (the counts at {2 * units} units less "
      f"those at {units})")
print(f"{'module (unit)':34} {'scalar path':>12} {'vector path':>12} {'ratio':>7} {'vector share':>13}")
names = {"fft": "fft (2048-point pair)", "vocoder": "vocoder (mono frame 2048/4)",
         "spectrum": "spectrum (one analysis)", "driver": "driver (stereo block 1024)"}
for what in os.environ.get("WHAT", "fft vocoder spectrum driver").split():
    per = {}
    for path in ("reference", "best"):
        t1, v1 = count(what, units, path)
        t2, v2 = count(what, 2 * units, path)
        per[path] = ((t2 - t1) / units, (v2 - v1) / units)
    scalar, vec = per["reference"][0], per["best"][0]
    share = per["best"][1] / vec if vec else 0.0
    print(f"{names[what]:34} {scalar:12.0f} {vec:12.0f} {vec / scalar:7.3f} {100 * share:12.1f}%")
EOF

#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_dsp into fuzz/corpus/.

Each seed is a short, valid call sequence in the input format described at the
top of fuzz_dsp.cpp, so that the fuzzer starts from streams that reach every
stage of the driver instead of having to discover the encoding. Run it again
after changing that format:

    python3 fuzz/make_corpus.py
"""
import os
import struct

# Indices into the value tables of fuzz_dsp.cpp (Reader::anyFloat, anyDouble,
# anyInt); a byte >= 0x80 followed by raw bits gives any other value.
F_ZERO, F_ONE, F_HALF, F_TWO, F_FLT_MAX, F_INF, F_NAN, F_QUARTER = 0, 2, 4, 5, 11, 13, 15, 25
D_INF, D_NAN, D_HUGE = 22, 24, 20
I_ZERO, I_ONE, I_25, I_50, I_75, I_100, I_120, I_INT_MIN, I_INT_MAX = 0, 1, 3, 5, 7, 8, 10, 13, 14

INIT, PROCESS, PREAMP, PANNING, VOICE_ON, VOICE_AMOUNT, SPECTRUM_ON, EQ_ON = range(8)
FILTER, GAINS, SPECTRUM, LEVEL = range(8, 12)
SELECT, REMAKE = 224, 232  # + the engine (0 = default, 1, 2); REMAKE + 0 or 1 remakes 1 or 2

SILENCE, SQUARE, SINE, MIN_DC, NOISE, IMPULSE, DC, RAW = range(8)
RATES = {4: 0, 8: 1, 31: 2, 32: 3, 100: 4, 8000: 5, 11025: 6, 22050: 7, 44100: 8, 48000: 9,
         96000: 10}
CHANNELS = {2: 0, 1: 1, 0: 2, 3: 3, -1: 4}


def header(frame_size, over_sampling, rate, channels):
    exponent = frame_size.bit_length() - 3  # 4 << exponent
    return bytes([exponent, (over_sampling - 1) % 256, RATES[rate], CHANNELS[channels]])


def count(n):
    if n < 0:
        return bytes([1])  # -1
    if n > 20000:
        return bytes([0x08]) + struct.pack("<H", 0xffff if n == 2**31 - 1 else 0xfffe)
    return bytes([0x08]) + struct.pack("<H", n)


def process(samples_in, samples_out, kind=SINE, amplitude=16000, period=100, seed=1):
    return (bytes([PROCESS]) + count(samples_in) + count(samples_out) + bytes([kind]) +
            struct.pack("<HHI", amplitude, period - 2, seed))


def raw_double(x):
    return bytes([0x80]) + struct.pack("<d", x)


def raw_float(x):
    return bytes([0x80]) + struct.pack("<f", x)


def filt(a, b):
    """a and b: lists of table indices (int) or floats (raw)."""
    def enc(v):
        return bytes([v]) if isinstance(v, int) else raw_double(v)
    return bytes([FILTER, len(a) - 1, len(b) - 1]) + b"".join(map(enc, a)) + b"".join(
        map(enc, b))


# A band-pass biquad around 1 kHz at 44.1 kHz (RBJ design, Q = 1), normalised.
BAND_A = [1.0, -1.8596, 0.8670]
BAND_B = [0.0665, 0.0, -0.0665]

seeds = {
    "stereo_voice_removal": header(1024, 4, 44100, 2) + filt(BAND_A, BAND_B) +
    bytes([VOICE_ON, 1, VOICE_AMOUNT, F_ONE]) + process(4096, 4096) +
    process(4096, 4096, NOISE) + bytes([SPECTRUM, I_100, LEVEL]),
    "mono_equaliser": header(2048, 4, 48000, 1) + bytes([EQ_ON, I_ONE, GAINS, 1, 2, F_HALF,
                                                         F_TWO, F_ZERO]) +
    bytes([PREAMP, F_TWO]) + process(4096, 8192, NOISE) + process(4096, 2048, SQUARE) +
    bytes([SPECTRUM, I_50]),
    "nan_filter_then_sane": header(512, 4, 22050, 2) + filt([I_ONE, D_NAN], [D_NAN, 0.5]) +
    bytes([VOICE_ON, 1, VOICE_AMOUNT, F_HALF]) + process(2048, 2048) + filt(BAND_A, BAND_B) +
    process(2048, 2048) + bytes([LEVEL, SPECTRUM, I_100]),
    "unstable_filter": header(256, 4, 44100, 2) + filt([1.0, -2.0], [1.0]) +
    bytes([VOICE_ON, 1, VOICE_AMOUNT, F_ONE]) + process(4000, 4000) + process(4000, 4000) +
    bytes([LEVEL]),
    "huge_filter": header(256, 2, 44100, 2) + filt([D_HUGE], [D_HUGE, D_INF, D_HUGE]) +
    bytes([VOICE_ON, 1, VOICE_AMOUNT, F_FLT_MAX]) + process(1000, 1000, SQUARE),
    "panning_extremes": header(128, 4, 8000, 2) + bytes([PANNING, I_ONE, I_ZERO, I_INT_MIN]) +
    process(1000, 1000, SQUARE) + bytes([PANNING, I_ONE, I_ZERO, I_120]) +
    process(1000, 1000, NOISE) + bytes([PANNING, I_ONE, I_ONE, I_INT_MAX]) +
    process(1000, 1000, MIN_DC),
    "bad_counts_and_init": header(64, 4, 44100, 2) + bytes([INIT, 1]) +
    struct.pack("<iiii", 100, 4, 44100, 2) + process(-1, 100) + process(100, -1) +
    process(0, 0) + bytes([INIT, 0]) + header(32, 32, 4, 1) + process(300, 5, IMPULSE) +
    process(5, 300, DC) + process(2**31 - 1, 100) + process(100, 2**28 + 1),
    "hostile_gains_and_preamp": header(1024, 8, 44100, 2) + bytes([EQ_ON, I_ONE, GAINS, 1, 3,
                                                                   F_INF, F_NAN, F_FLT_MAX,
                                                                   F_ZERO]) +
    process(3000, 3000, NOISE) + bytes([PREAMP, F_INF]) + process(1024, 1024) +
    bytes([PREAMP, F_NAN]) + process(1024, 1024) + bytes([PREAMP, F_FLT_MAX]) +
    process(1024, 1024) + bytes([SPECTRUM, I_100, LEVEL]),
    # Every refinement on (opcode 240 + 15), over noise, a square wave and voice removal,
    # then all off again mid-stream.
    "refinements": header(2048, 8, 44100, 2) + bytes([255]) + filt(BAND_A, BAND_B) +
    bytes([VOICE_ON, 1, VOICE_AMOUNT, F_HALF]) + process(4096, 8192, NOISE) +
    process(4096, 2048, SQUARE) + process(512, 512, IMPULSE) + bytes([240]) +
    process(4096, 4096, NOISE) + bytes([LEVEL, SPECTRUM, I_100]),
    # Three engines interleaved, each with its own format and settings: the default one,
    # engine 1 made by its first selection, engine 2 made mono with hostile gains; then
    # engine 1 remade with another format and fed again.
    "three_engines": header(512, 4, 44100, 2) + process(1024, 1024, NOISE) +
    bytes([SELECT + 1]) + header(256, 4, 48000, 2) + filt(BAND_A, BAND_B) +
    bytes([VOICE_ON, 1, VOICE_AMOUNT, F_ONE]) + process(1024, 1024) +
    bytes([SELECT + 2]) + header(128, 8, 8000, 1) +
    bytes([EQ_ON, I_ONE, GAINS, 1, 1, F_INF, F_HALF, PREAMP, F_TWO]) +
    process(500, 750, SQUARE) + bytes([SELECT]) + process(1024, 512) +
    bytes([SELECT + 1, 255]) + process(1024, 2048, NOISE) + bytes([SPECTRUM, I_100]) +
    bytes([SELECT + 2]) + process(500, 250, NOISE) + bytes([LEVEL]) +
    bytes([REMAKE]) + header(128, 2, 22050, 1) + bytes([SELECT + 1]) +
    process(300, 450, IMPULSE) + bytes([SPECTRUM, I_100, LEVEL]),
    "tiny_frames": header(4, 4, 4, 1) + process(64, 64, NOISE) + process(7, 3) +
    bytes([SPECTRUM_ON, I_ZERO]) + process(64, 128, SQUARE) + bytes([SPECTRUM_ON, I_ONE]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
print(f"wrote {len(seeds)} seeds to {here}")

package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.OVER;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Random;
import org.junit.jupiter.api.Test;

/**
 * One hour of stereo 44.1 kHz audio through the library, with random control changes on the way:
 * ten-second stretches of music-like sound, silence, full-scale noise, DC, a single impulse and a
 * sine at the Nyquist frequency, in turn. Every output sample must stay within full scale, every
 * peak level must be finite, the music must still come out of every music stretch and silence out
 * of every silent one, the process's memory must not grow after the first minute, and at the end
 * the vocoder must still reproduce a test tone.
 *
 * <p>Not part of the default test run: the ctest entry java_soak belongs to the configuration and
 * the label "soak" ({@code ctest --test-dir build -C soak -L soak}). It starts the JVM with a
 * fixed, pre-touched heap, so that the resident anonymous memory it reads from /proc/self/status
 * (RssAnon) changes only with native and JVM-internal allocations; the Java heap in use is read
 * separately, after a collection. {@code -Dhopwarbler.soak.seconds} sets another length of audio.
 */
class SoakTest {
  private static final int SECONDS = Integer.getInteger("hopwarbler.soak.seconds", 3600);
  private static final long SEED = 0x50a4L;
  private static final int SEGMENT = 10 * RATE;
  private static final int MINUTE = 60 * RATE;
  private static final String[] KINDS = {"music", "silence", "noise", "DC", "impulse", "Nyquist"};
  private static final int MUSIC = 0;
  private static final int SILENCE = 1;
  private static final int[] BLOCKS = {512, 1024, 2048, 4096, 8192};
  private static final double[] RATIOS = {0.5, 0.8, 1.0, 1.25, 1.5, 2.0};
  private static final int[] FRAMES = {256, 512, 1024, 2048, 4096};
  private static final int[] OVERS = {2, 4, 8};
  /** Growth allowed after the first minute: the JIT compiler's code and malloc's caches move. */
  private static final long NATIVE_SLACK_KB = 16 * 1024;
  private static final long HEAP_SLACK_KB = 8 * 1024;

  private final NativeInterface dsp = new NativeInterface();
  private final Random random = new Random(SEED);
  // The stream's format and the frames fed since its dspInit.
  private int frameSize;
  private int hop;
  private long fedSinceInit;

  private void init(int frame, int over) {
    dsp.dspInit(frame, over, RATE, 2);
    frameSize = frame;
    hop = frame / over;
    fedSinceInit = 0;
  }

  /**
   * Whether a block returns only frames the vocoder hands out in it: one hop of output (stepOut
   * frames) for every hop of input completed; frames asked for beyond those repeat what the output
   * buffers held from some earlier block.
   */
  private boolean allFresh(int in, int out) {
    long stepOut = Math.max(1, Math.min(frameSize, (long) hop * out / in));
    long framesDue = (fedSinceInit + in) / hop - fedSinceInit / hop;
    return framesDue * stepOut >= out;
  }

  /** Generated audio: the kind of each ten-second stretch follows from the frame index. */
  private static final class Source {
    private static final int TABLE = 4096;
    private static final float[] SINE = new float[TABLE];
    private static final double[] SCALE = {220, 246.9, 277.2, 293.7, 329.6, 370, 415.3, 440};

    static {
      for (int i = 0; i < TABLE; i++) {
        SINE[i] = (float) Math.sin(2 * Math.PI * i / TABLE);
      }
    }

    private final double[] phase = new double[4];
    private final double[] step = new double[4];
    private final Random notes = new Random(SEED + 1);
    private long noise = 0x9E3779B97F4A7C15L;

    private int nextNoise() {
      noise ^= noise << 13;
      noise ^= noise >>> 7;
      noise ^= noise << 17;
      return (int) (noise >>> 48) - 32768;
    }

    static int kind(long frame) {
      return (int) (frame / SEGMENT % KINDS.length);
    }

    void fill(short[] block, int frames, long start) {
      for (int i = 0; i < frames; i++) {
        long n = start + i;
        int kind = kind(n);
        int left = 0;
        int right = 0;
        if (kind == MUSIC) {
          if (n % (RATE / 4) == 0) {
            // A new chord every quarter second: four voices from the scale, each up to two
            // octaves higher at random.
            for (int v = 0; v < 4; v++) {
              double hz = SCALE[notes.nextInt(SCALE.length)] * (1 << notes.nextInt(3));
              step[v] = hz * TABLE / RATE;
            }
          }
          double envelope = 1 - (n % (RATE / 4)) / (double) (RATE / 2);
          for (int v = 0; v < 4; v++) {
            phase[v] = (phase[v] + step[v]) % TABLE;
          }
          float s0 = SINE[(int) phase[0]];
          float s1 = SINE[(int) phase[1]];
          float s2 = SINE[(int) phase[2]];
          float s3 = SINE[(int) phase[3]];
          int hiss = nextNoise() >> 5;
          // The first and third voices sit in the centre, the others on one side each.
          left = (int) (envelope * (9000 * s0 + 6000 * s1 + 4000 * s2)) + hiss;
          right = (int) (envelope * (9000 * s0 + 5000 * s3 + 4000 * s2)) - hiss;
        } else if (kind == 2) {
          left = nextNoise();
          right = nextNoise();
        } else if (kind == 3) {
          left = 32767;
          right = -32768;
        } else if (kind == 4) {
          boolean first = n % SEGMENT == 0;
          left = first ? 32767 : 0;
          right = first ? -32768 : 0;
        } else if (kind == 5) {
          left = n % 2 == 0 ? 32767 : -32767;
          right = -left;
        }
        block[2 * i] = (short) left;
        block[2 * i + 1] = (short) right;
      }
    }
  }

  /** Resident and anonymous resident memory of this process, in kB, and the heap in use. */
  private record Memory(long rssKb, long anonKb, long heapKb) {
    static Memory now() {
      System.gc();
      Runtime r = Runtime.getRuntime();
      long heap = (r.totalMemory() - r.freeMemory()) / 1024;
      long rss = -1;
      long anon = -1;
      try {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
          if (line.startsWith("VmRSS:")) {
            rss = kb(line);
          } else if (line.startsWith("RssAnon:")) {
            anon = kb(line);
          }
        }
      } catch (IOException e) {
        throw new AssertionError("cannot read /proc/self/status", e);
      }
      return new Memory(rss, anon, heap);
    }

    private static long kb(String line) {
      return Long.parseLong(line.replaceAll("[^0-9]", ""));
    }

    String format() {
      return String.format(Locale.ROOT,
          "VmRSS %7.1f MiB, RssAnon %7.1f MiB, Java heap in use %6.1f MiB", rssKb / 1024.0,
          anonKb / 1024.0, heapKb / 1024.0);
    }
  }

  private void randomChange() {
    int pick = random.nextInt(7);
    if (pick == 0) {
      dsp.dspSetPreamp(0.1f + 2.9f * random.nextFloat());
    } else if (pick == 1) {
      dsp.dspPanning(random.nextInt(2), random.nextInt(4) == 0 ? 1 : 0, random.nextInt(101));
    } else if (pick == 2) {
      dsp.dspVoiceRemovalEnable(random.nextInt(2));
      dsp.dspVoiceRemovalAmount(random.nextFloat());
    } else if (pick == 3) {
      // A second-order band-pass (bilinear transform) with a random centre and width.
      double centre = 100 + 5000 * random.nextDouble();
      double q = 0.3 + 3 * random.nextDouble();
      double w = 2 * Math.PI * centre / RATE;
      double alpha = Math.sin(w) / (2 * q);
      double a0 = 1 + alpha;
      dsp.dspVoiceRemovalFilter(new double[] {1, -2 * Math.cos(w) / a0, (1 - alpha) / a0},
          new double[] {alpha / a0, 0, -alpha / a0}, 3, 3);
    } else if (pick == 4) {
      float[] gains = new float[FRAME / 2];
      for (int i = 0; i < gains.length; i++) {
        gains[i] = 0.25f + 1.75f * random.nextFloat();
      }
      dsp.dspEQSetBands(gains);
      dsp.dspEQEnable(random.nextInt(2));
    } else if (pick == 5) {
      dsp.dspSpectrumEnable(random.nextInt(4) == 0 ? 0 : 1);
    } else {
      float[] bands = new float[72];
      dsp.dspGetSpectrum(bands, 72);
      for (float b : bands) {
        assertTrue(Float.isFinite(b) && b >= 0, "a band reads " + b);
      }
    }
  }

  /** Checks a block's output; returns how many entries sit at full scale. */
  private static int check(short[] block, int out, String where) {
    int clamped = 0;
    for (int i = 0; i < 2 * out; i++) {
      if (block[i] == -32768) {
        fail(where + ": entry " + i + " is -32768");
      }
      if (block[i] == 32767 || block[i] == -32767) {
        clamped++;
      }
    }
    return clamped;
  }

  @Test
  void anHourOfAudioWithRandomControlChanges() {
    long startNanos = System.nanoTime();
    Memory atStart = Memory.now();
    short[] block = new short[2 * 8192 * 2];
    // The first dspInit of the process sizes the equaliser; then every format the run uses meets
    // the largest block at the largest ratio, so that every buffer the library grows has grown
    // before the first minute is over.
    init(FRAME, OVER);
    for (int frame : FRAMES) {
      for (int over : OVERS) {
        init(frame, over);
        dsp.dspProcess(block, 8192, 16384, 0f);
      }
    }
    init(FRAME, OVER);

    Source source = new Source();
    long total = (long) SECONDS * RATE;
    long fed = 0;
    long produced = 0;
    long blocks = 0;
    long changes = 0;
    long inits = 0;
    long clamped = 0;
    double loudest = 0;
    double musicPeak = 0;
    int lastKind = MUSIC;
    Memory afterFirstMinute = null;
    List<String> table = new ArrayList<>();
    long nextMinute = MINUTE;
    while (fed < total) {
      int in = (int) Math.min(BLOCKS[random.nextInt(BLOCKS.length)], total - fed);
      int out = (int) Math.round(in * RATIOS[random.nextInt(RATIOS.length)]);
      source.fill(block, in, fed);
      int kind = Source.kind(fed);
      String where = "block " + blocks + " at " + fed / RATE + " s (" + KINDS[kind] + ", " + in
          + " in, " + out + " out)";
      boolean fresh = allFresh(in, out);
      dsp.dspProcess(block, in, out, 0f);
      fedSinceInit += in;
      clamped += check(block, out, where);
      float peak = dsp.dspGetMaxLevel();
      assertTrue(Float.isFinite(peak) && peak >= 0, where + ": peak level " + peak);
      loudest = Math.max(loudest, peak);
      if (kind != lastKind) {
        if (lastKind == MUSIC) {
          // The vocoder's latency is far below a stretch, so the music has come out by now.
          assertTrue(musicPeak > 0.002,
              where + ": the music stretch before came out at a peak of " + musicPeak);
          musicPeak = 0;
        }
        lastKind = kind;
      }
      if (kind == MUSIC) {
        musicPeak = Math.max(musicPeak, peak);
      }
      if (kind == SILENCE && fed % SEGMENT >= RATE && fed % SEGMENT + in <= SEGMENT && fresh) {
        // A second into the silence the frames and the filter have let go of what came before:
        // every fresh frame of a block that ends before the silence does is silent.
        assertTrue(peak < 1e-4, where + ": silence came out at a peak of " + peak);
      }
      fed += in;
      produced += out;
      blocks++;
      if (random.nextInt(20) == 0) {
        randomChange();
        changes++;
      }
      if (random.nextInt(3000) == 0) {
        init(FRAMES[random.nextInt(FRAMES.length)], OVERS[random.nextInt(OVERS.length)]);
        inits++;
      }
      if (fed >= nextMinute) {
        Memory m = Memory.now();
        long minute = nextMinute / MINUTE;
        if (minute == 1) {
          afterFirstMinute = m;
        }
        if (minute == 1 || minute % 5 == 0 || fed >= total) {
          table.add(String.format(Locale.ROOT, "  minute %3d: %s, %6.1f s elapsed", minute,
              m.format(), (System.nanoTime() - startNanos) / 1e9));
        }
        if (afterFirstMinute != null) {
          assertTrue(m.anonKb() - afterFirstMinute.anonKb() <= NATIVE_SLACK_KB,
              "minute " + minute + ": native memory grew from " + afterFirstMinute.format() + " to "
                  + m.format());
          assertTrue(m.heapKb() - afterFirstMinute.heapKb() <= HEAP_SLACK_KB,
              "minute " + minute + ": the Java heap grew from " + afterFirstMinute.format() + " to "
                  + m.format());
        }
        nextMinute += MINUTE;
      }
    }
    Memory atEnd = Memory.now();
    double seconds = (System.nanoTime() - startNanos) / 1e9;

    StreamChecks.restoreDefaults(dsp, FRAME / 2);
    StreamChecks.assertToneComesBack(dsp, 2, "after the soak");
    StreamChecks.assertToneComesBack(dsp, 1, "after the soak");

    System.out.println("SoakTest (seed " + SEED + "):");
    table.forEach(System.out::println);
    System.out.printf(Locale.ROOT,
        "  %.3f hours of stereo audio (%d frames in, %d out) in %d blocks, %d control changes,"
            + " %d format changes%n",
        fed / (3600.0 * RATE), fed, produced, blocks, changes, inits);
    System.out.printf(
        Locale.ROOT, "  loudest block peak %.3f, %d entries at full scale%n", loudest, clamped);
    System.out.println("  memory at the start:           " + atStart.format());
    if (afterFirstMinute != null) {
      System.out.println("  memory after the first minute: " + afterFirstMinute.format());
    }
    System.out.println("  memory at the end:             " + atEnd.format());
    System.out.printf(
        Locale.ROOT, "  took %.1f s, %.1f x real time%n", seconds, fed / (double) RATE / seconds);
  }
}

package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.fail;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.HOP;
import static quenlab.hopwarbler.NativeStreams.OVER;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.ArrayDeque;
import java.util.Arrays;
import java.util.Deque;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import quenlab.hopwarbler.support.Sounds;

/**
 * Every native method called in a random order with random and hostile arguments: null and short
 * arrays, negative and huge sizes, the extremes of int, NaN and infinite floats, new formats (valid
 * or not) between blocks. Each call either succeeds or throws exactly the exception its rules
 * give, worked out here from the arguments and the stream's format; a refused call touches no
 * array. Afterwards a fresh stream comes out right.
 *
 * <p>The library's state is process-wide and this class leaves it anywhere, so it runs in a JVM of
 * its own. The seed is fixed ({@code -Dhopwarbler.hostile.seed} overrides it, {@code
 * -Dhopwarbler.hostile.calls} the number of calls) and every failure names it with the call's
 * index; {@code -Dhopwarbler.hostile.trace=true} prints every call before it is made, for a crash
 * of the JVM.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class HostileCallsTest {
  private static final long SEED = Long.getLong("hopwarbler.hostile.seed", 0x5eed_4a11L);
  private static final int CALLS = Integer.getInteger("hopwarbler.hostile.calls", 10000);
  private static final boolean TRACE = Boolean.getBoolean("hopwarbler.hostile.trace");
  /** The first dspInit of the process (frame 2048) sizes the equaliser for good. */
  private static final int EQ_BANDS = FRAME / 2;
  /**
   * Bounds on a block that is processed, to keep the run short: the vocoder transforms a frame for
   * every hop (samplesIn x overSampling / frameSize frames of frameSize samples), and at a low
   * sample rate the analyser runs after every one of them.
   */
  private static final long WORK = 1 << 17;
  private static final int HOPS = 32;

  private static final int[] INTS = {Integer.MIN_VALUE, Integer.MIN_VALUE + 1, -65536, -4097, -2,
      -1, 0, 1, 2, 3, 4, 5, 7, 8, 49, 50, 51, 63, 64, 100, 101, 511, 512, 513, 1023, 1024, 1025,
      2047, 2048, 4095, 4096, 4097, 8192, 44100, 1 << 20, Integer.MAX_VALUE - 1, Integer.MAX_VALUE};
  private static final float[] FLOATS = {Float.NaN, Float.POSITIVE_INFINITY,
      Float.NEGATIVE_INFINITY, Float.MAX_VALUE, -Float.MAX_VALUE, Float.MIN_VALUE, -Float.MIN_VALUE,
      Float.MIN_NORMAL, 0f, -0f, 1f, -1f, 0.5f, 2f, 1e-30f, 1e30f, 100f, -100f};
  private static final double[] DOUBLES = {Double.NaN, Double.POSITIVE_INFINITY,
      Double.NEGATIVE_INFINITY, Double.MAX_VALUE, -Double.MAX_VALUE, Double.MIN_VALUE, 0.0, -0.0, 1,
      -1, 1e300, -1e300, 0.5, 2, -2, 1e-300};
  private static final int[] CHANNELS = {1, 2, 0, -1, 3, 8, Integer.MIN_VALUE, Integer.MAX_VALUE};
  private static final int[] RATES = {
      4, 5, 7, 31, 32, 8000, 22050, 44100, 48000, 192000, Integer.MAX_VALUE};
  private static final int[] OVERS = {1, 2, 3, 4, 8};

  private final NativeInterface dsp = new NativeInterface();
  private final Random random = new Random(SEED);
  private final Deque<String> recent = new ArrayDeque<>();
  private int call;

  // The stream as the calls have set it up.
  private int width = 2;
  private int overSampling = OVER;
  private int hop = HOP;

  @BeforeAll
  static void firstInit() {
    new NativeInterface().dspInit(FRAME, OVER, RATE, 2);
  }

  private String where(String what) {
    return "seed " + SEED + ", call " + call + ": " + what + "\n  (the calls before it, newest "
        + "first: " + String.join("; ", recent) + ")";
  }

  /**
   * Runs a call that must throw {@code expected}, or nothing when it is null, and remembers it in
   * the list of recent calls that failures print.
   */
  private void expect(Class<? extends Throwable> expected, String what, Executable body) {
    if (TRACE) {
      System.out.println("call " + call + ": " + what);
      System.out.flush();
    }
    Throwable thrown = null;
    try {
      body.execute();
    } catch (Throwable t) {
      thrown = t;
    }
    if (expected == null && thrown != null) {
      throw new AssertionError(where(what) + " threw " + thrown, thrown);
    }
    if (expected != null) {
      if (thrown == null) {
        fail(where(what) + " should throw " + expected.getSimpleName());
      }
      if (thrown.getClass() != expected) {
        throw new AssertionError(
            where(what) + " threw " + thrown + ", expected " + expected.getSimpleName(), thrown);
      }
      assertNotNull(thrown.getMessage(), where(what) + ": no message");
    }
    recent.addFirst(what);
    if (recent.size() > 8) {
      recent.removeLast();
    }
  }

  private int anInt() {
    int pick = random.nextInt(4);
    if (pick == 0) {
      return random.nextInt();
    }
    if (pick == 1) {
      return random.nextInt(10000) - 2000;
    }
    return INTS[random.nextInt(INTS.length)];
  }

  private float aFloat() {
    return random.nextBoolean() ? FLOATS[random.nextInt(FLOATS.length)]
                                : (float) (random.nextGaussian() * 2);
  }

  private double aDouble() {
    return random.nextInt(3) == 0 ? DOUBLES[random.nextInt(DOUBLES.length)] : random.nextGaussian();
  }

  private static String describe(Object array) {
    if (array == null) {
      return "null";
    }
    if (array instanceof short[] a) {
      return "short[" + a.length + "]";
    }
    if (array instanceof float[] a) {
      return "float[" + a.length + "]" + (a.length <= 8 ? Arrays.toString(a) : "");
    }
    double[] a = (double[]) array;
    return "double[" + a.length + "]" + Arrays.toString(a);
  }

  private static boolean validFormat(int frameSize, int over, int sampleRate) {
    return frameSize >= 4 && frameSize <= 4096 && Integer.bitCount(frameSize) == 1 && over >= 1
        && over <= frameSize && sampleRate >= 4;
  }

  private void init() {
    int frameSize;
    int over;
    int sampleRate;
    int channels;
    if (random.nextBoolean()) {
      frameSize = 4 << random.nextInt(11);
      over = random.nextInt(4) == 0 ? 1 + random.nextInt(frameSize)
                                    : Math.min(frameSize, OVERS[random.nextInt(OVERS.length)]);
      sampleRate = random.nextInt(3) == 0 ? 4 + random.nextInt(Integer.MAX_VALUE - 4)
                                          : RATES[random.nextInt(RATES.length)];
      channels =
          random.nextInt(3) == 0 ? random.nextInt() : CHANNELS[random.nextInt(CHANNELS.length)];
    } else {
      frameSize = random.nextBoolean() ? anInt() : 4 << random.nextInt(11);
      over = random.nextBoolean() ? anInt() : 4;
      sampleRate = random.nextBoolean() ? anInt() : RATE;
      channels = anInt();
    }
    boolean valid = validFormat(frameSize, over, sampleRate);
    expect(valid ? null : IllegalArgumentException.class,
        "dspInit(" + frameSize + ", " + over + ", " + sampleRate + ", " + channels + ")",
        () -> dsp.dspInit(frameSize, over, sampleRate, channels));
    if (valid) {
      width = channels == 1 ? 1 : 2;
      overSampling = over;
      hop = frameSize / over;
    }
  }

  /** Noise over the whole 16-bit range, the two extremes in turn, all -32768, or a loud sine. */
  private short[] content(int length) {
    short[] a = new short[length];
    int pick = random.nextInt(4);
    for (int i = 0; i < length; i++) {
      if (pick == 0) {
        a[i] = (short) random.nextInt(65536);
      } else if (pick == 1) {
        a[i] = (short) (i % 2 == 0 ? -32768 : 32767);
      } else if (pick == 2) {
        a[i] = -32768;
      } else {
        a[i] = (short) (20000 * Math.sin(i * 0.05));
      }
    }
    return a;
  }

  private void process() {
    long cap = Math.max(1, Math.min(Math.min(16384, WORK / overSampling), (long) HOPS * hop));
    int in;
    int out;
    int length;
    boolean isNull = false;
    int mode = random.nextInt(10);
    if (mode == 0) {
      isNull = true;
      in = random.nextBoolean() ? anInt() : 512;
      out = random.nextBoolean() ? anInt() : 512;
      length = 0;
    } else if (mode <= 2) {
      in = anInt();
      out = anInt();
      length = random.nextInt(4097);
    } else if (mode == 3) {
      // One entry or more short of what the sizes need.
      in = 1 + random.nextInt((int) cap);
      out = random.nextInt(4 * (int) cap);
      int need = Math.max(in, out) * width;
      length = need - 1 - random.nextInt(Math.min(need, 64));
    } else {
      in = 1 + random.nextInt((int) cap);
      int[] outs = {in, in / 2, 2 * in, random.nextInt(4 * in + 1), in * 5 / 4, 0, 1 << 20};
      out = outs[random.nextInt(random.nextInt(20) == 0 ? outs.length : outs.length - 1)];
      length = Math.max(in, out) * width + random.nextInt(8);
    }
    boolean empty = in <= 0 || out < 0;
    boolean fits = (long) Math.max(in, out) * width <= length;
    if (!isNull && !empty && fits && in > cap) {
      in = (int) cap;
    }
    short[] samples = isNull ? null : content(length);
    short[] before = isNull ? null : samples.clone();
    float pitch = aFloat();
    Class<? extends Throwable> expected = isNull ? NullPointerException.class
        : empty || fits                          ? null
                                                 : IllegalArgumentException.class;
    final int samplesIn = in;
    final int samplesOut = out;
    String what = "dspProcess(" + describe(samples) + ", " + in + ", " + out + ", " + pitch
        + ") on a stream of width " + width + ", hop " + hop;
    expect(expected, what, () -> dsp.dspProcess(samples, samplesIn, samplesOut, pitch));
    if (isNull) {
      return;
    }
    if (expected != null || empty) {
      assertArrayEquals(before, samples, where(what) + ": a refused block wrote the array");
      if (empty) {
        assertEquals(0f, dsp.dspGetMaxLevel(), where(what) + ": peak after an empty block");
      }
      return;
    }
    int written = out * width;
    for (int i = 0; i < length; i++) {
      if (i < written && samples[i] == -32768) {
        fail(where(what) + ": entry " + i + " is -32768");
      }
      if (i >= written && samples[i] != before[i]) {
        fail(where(what) + ": entry " + i + " past samplesOut changed");
      }
    }
    float peak = dsp.dspGetMaxLevel();
    if (peak < 0) {
      fail(where(what) + ": peak level " + peak);
    }
  }

  private void filter() {
    double[] a = random.nextInt(20) == 0 ? null : new double[random.nextInt(12)];
    double[] b = random.nextInt(20) == 0 ? null : new double[random.nextInt(12)];
    for (double[] c : new double[][] {a, b}) {
      if (c != null) {
        for (int i = 0; i < c.length; i++) {
          c[i] = aDouble();
        }
      }
    }
    int sizeA =
        a != null && a.length > 0 && random.nextBoolean() ? 1 + random.nextInt(a.length) : anInt();
    int sizeB =
        b != null && b.length > 0 && random.nextBoolean() ? 1 + random.nextInt(b.length) : anInt();
    Class<? extends Throwable> expected = a == null || b == null ? NullPointerException.class
        : sizeA < 1 || sizeA > a.length || sizeB < 1 || sizeB > b.length
        ? IllegalArgumentException.class
        : null;
    double[] aBefore = a == null ? null : a.clone();
    double[] bBefore = b == null ? null : b.clone();
    String what = "dspVoiceRemovalFilter(" + describe(a) + ", " + describe(b) + ", " + sizeA + ", "
        + sizeB + ")";
    expect(expected, what, () -> dsp.dspVoiceRemovalFilter(a, b, sizeA, sizeB));
    assertArrayEquals(aBefore, a, where(what) + ": coeffA changed");
    assertArrayEquals(bBefore, b, where(what) + ": coeffB changed");
  }

  private void spectrum() {
    float[] values = random.nextInt(20) == 0 ? null : new float[random.nextInt(100)];
    if (values != null) {
      Arrays.fill(values, -7.25f);
    }
    int size = random.nextBoolean() ? anInt() : random.nextInt(110) - 5;
    int count = Math.min(size, 72);
    Class<? extends Throwable> expected = values == null ? NullPointerException.class
        : count > values.length                          ? IllegalArgumentException.class
                                                         : null;
    String what = "dspGetSpectrum(" + describe(values) + ", " + size + ")";
    expect(expected, what, () -> dsp.dspGetSpectrum(values, size));
    if (values == null) {
      return;
    }
    int untouchedFrom = expected == null ? Math.max(count, 0) : 0;
    for (int i = untouchedFrom; i < values.length; i++) {
      assertEquals(-7.25f, values[i], where(what) + ": entry " + i + " was written");
    }
  }

  private void equaliser() {
    int[] lengths = {0, EQ_BANDS - 1, EQ_BANDS, EQ_BANDS + 1, 2048, 4096};
    int length =
        random.nextBoolean() ? random.nextInt(2100) : lengths[random.nextInt(lengths.length)];
    float[] levels = random.nextInt(20) == 0 ? null : new float[length];
    if (levels != null) {
      for (int i = 0; i < length; i++) {
        levels[i] = random.nextInt(8) == 0 ? aFloat() : 2 * random.nextFloat();
      }
    }
    Class<? extends Throwable> expected = levels == null ? NullPointerException.class
        : levels.length < EQ_BANDS                       ? IllegalArgumentException.class
                                                         : null;
    expect(expected, "dspEQSetBands(" + describe(levels) + ")", () -> dsp.dspEQSetBands(levels));
  }

  private void control() {
    int a = anInt();
    int b = anInt();
    int c = anInt();
    float f = aFloat();
    int pick = random.nextInt(7);
    if (pick == 0) {
      expect(null, "dspVoiceRemovalEnable(" + a + ")", () -> dsp.dspVoiceRemovalEnable(a));
    } else if (pick == 1) {
      expect(null, "dspVoiceRemovalAmount(" + f + ")", () -> dsp.dspVoiceRemovalAmount(f));
    } else if (pick == 2) {
      expect(null, "dspSetPreamp(" + f + ")", () -> dsp.dspSetPreamp(f));
    } else if (pick == 3) {
      expect(null, "dspPanning(" + a + ", " + b + ", " + c + ")", () -> dsp.dspPanning(a, b, c));
    } else if (pick == 4) {
      expect(null, "dspSpectrumEnable(" + a + ")", () -> dsp.dspSpectrumEnable(a));
    } else if (pick == 5) {
      expect(null, "dspEQEnable(" + a + ")", () -> dsp.dspEQEnable(a));
    } else {
      expect(null, "dspGetMaxLevel()", () -> {
        float peak = dsp.dspGetMaxLevel();
        if (peak < 0) {
          fail("peak level " + peak);
        }
      });
    }
  }

  @Test
  @Order(1)
  void randomHostileCallsThrowOnlyTheDocumentedExceptions() {
    for (call = 0; call < CALLS; call++) {
      int pick = random.nextInt(100);
      if (pick < 8) {
        init();
      } else if (pick < 40) {
        process();
      } else if (pick < 50) {
        filter();
      } else if (pick < 58) {
        spectrum();
      } else if (pick < 66) {
        equaliser();
      } else {
        control();
      }
    }
  }

  /** Whatever the calls above left behind, a new stream with the defaults comes out right. */
  @ParameterizedTest(name = "{0} channel(s)")
  @ValueSource(ints = {1, 2})
  @Order(2)
  void aValidStreamAfterwardsIsCorrect(int channels) {
    StreamChecks.restoreDefaults(dsp, EQ_BANDS);
    StreamChecks.assertToneComesBack(dsp, channels, "after the hostile calls (seed " + SEED + ")");
  }

  /**
   * Any channel count other than 1 means interleaved stereo, for the output and for the analyser
   * alike: a stream set up with such a count gives exactly the output of the same stream set up
   * with 2, and the analyser shows both channels' tones as it does then. (The analyser's moments of
   * analysis follow on from the stream before, so its bands match to the window's placement on the
   * tones, not to the bit.)
   */
  @ParameterizedTest(name = "channels {0}")
  @ValueSource(ints = {0, 3, 8, -1, Integer.MIN_VALUE, Integer.MAX_VALUE})
  @Order(3)
  void everyChannelCountButOneIsStereo(int channels) {
    StreamChecks.restoreDefaults(dsp, EQ_BANDS);
    // A4 (band 45) on the left, D#6 (band 63) on the right.
    short[] in =
        Sounds.pcm(12 * FRAME, Sounds.sine(9000, 440, RATE), Sounds.sine(7000, 1244.5, RATE));
    short[] stereo = streamAs(2, in);
    float[] stereoBands = bands();
    short[] other = streamAs(channels, in);
    float[] otherBands = bands();
    assertArrayEquals(stereo, other, "output");
    for (int band : new int[] {45, 63}) {
      assertEquals(stereoBands[band], otherBands[band], 0.15 * stereoBands[band],
          "band " + band + " of " + Arrays.toString(otherBands) + ", in stereo "
              + Arrays.toString(stereoBands));
    }
  }

  /**
   * Calls the host contract keeps apart, made at once from several threads: new formats set up
   * while another thread processes blocks (and sets the equaliser, reads the spectrum and changes
   * the settings), two threads processing, two threads setting up, and three threads replacing the
   * voice-removal filter, alone and while audio with voice removal runs. A set-up or a block that
   * meets the other, or itself, on another thread is refused with IllegalStateException; every
   * other call succeeds, the filter replacements taking turns; and the library works afterwards.
   */
  @Test
  @Order(4)
  void overlappingCallsFromSeveralThreadsAreRefusedOrTakenInTurn() throws Exception {
    int[][] formats = {
        {2048, 4, 44100, 2}, {512, 2, 8000, 1}, {4096, 8, 48000, 2}, {256, 4, 22050, 1}};
    AtomicLong inits = new AtomicLong();
    Runnable init = () -> {
      int[] f = formats[(int) (inits.getAndIncrement() % formats.length)];
      dsp.dspInit(f[0], f[1], f[2], f[3]);
    };
    short[][] blocks = {new short[2 * 512], new short[2 * 512]};
    AtomicLong blocksMade = new AtomicLong();
    Runnable process = () -> {
      short[] block = blocks[(int) (blocksMade.getAndIncrement() % 2)];
      dsp.dspProcess(block, 512, 384, 0f);
    };
    float[] gains = new float[EQ_BANDS];
    Arrays.fill(gains, 0.5f);
    Runnable controls = () -> {
      dsp.dspEQSetBands(gains);
      dsp.dspGetSpectrum(new float[72], 72);
      dsp.dspSetPreamp(0.5f);
      dsp.dspPanning(1, 0, 30);
      dsp.dspGetMaxLevel();
    };
    dsp.dspInit(FRAME, OVER, RATE, 2);
    long refused = race("set-ups during blocks", true, 60, init, process, controls)
        + race("two threads processing", true, 400, process, process)
        + race("two threads setting up", true, 30, init, init);

    dsp.dspInit(FRAME, OVER, RATE, 2);
    dsp.dspVoiceRemovalAmount(1f);
    dsp.dspVoiceRemovalEnable(1);
    Runnable[] filters = new Runnable[3];
    for (int t = 0; t < filters.length; t++) {
      int order = 2 + 4 * t;
      double[] a = new double[order + 1];
      double[] b = new double[order + 1];
      a[0] = 1;
      b[0] = 0.5;
      filters[t] = () -> dsp.dspVoiceRemovalFilter(a, b, a.length, b.length);
    }
    race("filters replaced at once", false, 3000, filters);
    race("filters replaced at once during blocks", false, 3000, filters[0], filters[1],
        filters[2], process);
    System.out.println("HostileCallsTest: " + refused + " overlapping calls refused");

    StreamChecks.restoreDefaults(dsp, EQ_BANDS);
    StreamChecks.assertToneComesBack(dsp, 2, "after the overlapping calls");
  }

  /**
   * Runs the bodies on threads of their own, started together; the first body {@code rounds}
   * times, the others until it is done. Returns how many calls were refused with
   * IllegalStateException, which fails the test unless {@code mayRefuse}.
   */
  private static long race(String what, boolean mayRefuse, int rounds, Runnable... bodies)
      throws InterruptedException {
    CountDownLatch start = new CountDownLatch(1);
    AtomicBoolean done = new AtomicBoolean();
    AtomicLong refused = new AtomicLong();
    AtomicReference<Throwable> failure = new AtomicReference<>();
    Thread[] threads = new Thread[bodies.length];
    for (int t = 0; t < bodies.length; t++) {
      Runnable body = bodies[t];
      boolean first = t == 0;
      threads[t] = new Thread(() -> {
        try {
          start.await();
          for (int round = 0; first ? round < rounds : !done.get(); round++) {
            try {
              body.run();
            } catch (IllegalStateException e) {
              if (!mayRefuse || e.getMessage() == null) {
                throw e;
              }
              refused.incrementAndGet();
            }
          }
        } catch (Throwable e) {
          failure.compareAndSet(null, e);
        } finally {
          if (first) {
            done.set(true);
          }
        }
      }, what + " " + t);
      threads[t].start();
    }
    start.countDown();
    for (Thread thread : threads) {
      thread.join();
    }
    if (failure.get() != null) {
      throw new AssertionError(what + ": a call failed", failure.get());
    }
    return refused.get();
  }

  private short[] streamAs(int channels, short[] in) {
    dsp.dspInit(FRAME, OVER, RATE, channels);
    short[] out = new short[in.length];
    short[] block = new short[2 * 4 * HOP];
    for (int at = 0; at < in.length; at += block.length) {
      System.arraycopy(in, at, block, 0, block.length);
      dsp.dspProcess(block, 4 * HOP, 4 * HOP, 0f);
      System.arraycopy(block, 0, out, at, block.length);
    }
    return out;
  }

  private float[] bands() {
    float[] values = new float[72];
    dsp.dspGetSpectrum(values, 72);
    return values;
  }
}

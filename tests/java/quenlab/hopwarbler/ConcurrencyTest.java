package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.OVER;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/**
 * The host's two threads at once: an audio thread streams 30 s of stereo music-like audio in
 * blocks of changing sizes and ratios while a control thread, in a tight loop, changes every
 * setting (pre-amplifier, balance and mono fold, voice removal and its amount, the voice-removal
 * filter, the equaliser and its gains, the analyser switch) and reads the spectrum and the peak
 * level. No call may throw, no output sample may leave full scale (-32768 is never written), and
 * every peak level and band read is a finite number: the control thread never sets an infinite
 * pre-amplifier. A fresh stream comes out right afterwards.
 *
 * <p>The settings are process-wide, so this class runs in a JVM of its own. The seeds are fixed;
 * the interleaving of the two threads is not, so a failure names the block and the control
 * calls made so far.
 */
class ConcurrencyTest {
  private static final long SEED = 0xc0ffee;
  private static final int SECONDS = 30;
  private static final int[] BLOCKS = {256, 500, 512, 1024, 2048, 3000, 4096};
  private static final double[] RATIOS = {0.5, 0.8, 1.0, 1.0, 1.25, 2.0};

  private final NativeInterface dsp = new NativeInterface();

  /** Two detuned chords with a slow tremolo and a little noise, in 16-bit units. */
  private static void music(short[] block, int frames, long start, Random noise) {
    for (int i = 0; i < frames; i++) {
      double t = (start + i) / (double) RATE;
      double chord = Math.floor(t * 2) % 2 == 0 ? 1.0 : 1.189;
      double tremolo = 0.75 + 0.25 * Math.sin(2 * Math.PI * 3 * t);
      double left = Math.sin(2 * Math.PI * 220 * chord * t) + 0.6 * Math.sin(2 * Math.PI * 330 * t)
          + 0.4 * Math.sin(2 * Math.PI * 1320 * chord * t);
      double right = Math.sin(2 * Math.PI * 221 * chord * t)
          + 0.6 * Math.sin(2 * Math.PI * 277 * chord * t) + 0.3 * Math.sin(2 * Math.PI * 4400 * t);
      block[2 * i] = (short) (9000 * tremolo * left + 800 * noise.nextGaussian());
      block[2 * i + 1] = (short) (9000 * tremolo * right + 800 * noise.nextGaussian());
    }
  }

  private static float[] gains(Random random, int count) {
    float[] g = new float[count];
    float base = random.nextInt(4) == 0 ? 1000f : 2f;
    for (int i = 0; i < count; i++) {
      g[i] = base * random.nextFloat();
    }
    return g;
  }

  /**
   * One pass of the control thread's loop: every setting once, in an order and with values drawn
   * from random; returns a short description of the last step for failure messages.
   */
  private String controlStep(Random random, float[] bands) {
    dsp.dspSetPreamp(random.nextInt(8) == 0 ? 1000f * random.nextFloat() : 3 * random.nextFloat());
    int level = random.nextInt(10) == 0 ? random.nextInt() : random.nextInt(101);
    dsp.dspPanning(random.nextInt(2), random.nextInt(4) == 0 ? 1 : 0, level);
    dsp.dspVoiceRemovalEnable(random.nextInt(2));
    dsp.dspVoiceRemovalAmount((float) (4 * random.nextDouble() - 2));
    int order = 1 + random.nextInt(6);
    double[] a = new double[order + 1];
    double[] b = new double[order + 1];
    a[0] = 1;
    for (int k = 0; k <= order; k++) {
      b[k] = random.nextGaussian() * 0.3;
      if (k > 0) {
        // Small feedback keeps most filters stable; the occasional unstable one must be survived.
        a[k] = random.nextGaussian() * (random.nextInt(16) == 0 ? 2 : 0.2);
      }
    }
    dsp.dspVoiceRemovalFilter(a, b, order + 1, order + 1);
    dsp.dspEQEnable(random.nextInt(2));
    dsp.dspEQSetBands(gains(random, FRAME / 2));
    dsp.dspSpectrumEnable(random.nextInt(5) == 0 ? 0 : 1);
    dsp.dspGetSpectrum(bands, bands.length);
    for (int band = 0; band < bands.length; band++) {
      if (!Float.isFinite(bands[band]) || bands[band] < 0) {
        return "band " + band + " read " + bands[band];
      }
    }
    float peak = dsp.dspGetMaxLevel();
    if (!Float.isFinite(peak) || peak < 0) {
      return "peak level read " + peak;
    }
    return null;
  }

  @Test
  void controlThreadChangesEverythingWhileTheAudioThreadStreams() throws Exception {
    dsp.dspInit(FRAME, OVER, RATE, 2);
    AtomicBoolean done = new AtomicBoolean();
    AtomicReference<Throwable> controlFailure = new AtomicReference<>();
    AtomicReference<String> controlFinding = new AtomicReference<>();
    AtomicLong controlPasses = new AtomicLong();
    // The stream starts once the control thread has gone round once, so the two overlap.
    CountDownLatch started = new CountDownLatch(1);
    Thread control = new Thread(() -> {
      Random random = new Random(SEED + 1);
      float[] bands = new float[72];
      try {
        while (!done.get()) {
          String finding = controlStep(random, bands);
          controlPasses.incrementAndGet();
          started.countDown();
          if (finding != null) {
            controlFinding.compareAndSet(null, finding + " after " + controlPasses + " passes");
          }
        }
      } catch (Throwable t) {
        controlFailure.set(t);
      } finally {
        started.countDown();
      }
    }, "control");

    Random random = new Random(SEED);
    Random noise = new Random(SEED + 2);
    short[] block = new short[2 * 4096 * 2];
    long fed = 0;
    long blocks = 0;
    long frames = (long) SECONDS * RATE;
    control.start();
    started.await();
    try {
      while (fed < frames) {
        int in = BLOCKS[random.nextInt(BLOCKS.length)];
        int out = (int) Math.round(in * RATIOS[random.nextInt(RATIOS.length)]);
        music(block, in, fed, noise);
        dsp.dspProcess(block, in, out, 0f);
        for (int i = 0; i < 2 * out; i++) {
          if (block[i] == -32768) {
            fail("block " + blocks + " (" + in + " in, " + out + " out, seed " + SEED + "): entry "
                + i + " is -32768, after " + controlPasses + " control passes");
          }
        }
        float peak = dsp.dspGetMaxLevel();
        assertTrue(Float.isFinite(peak) && peak >= 0,
            "block " + blocks + ": peak level " + peak + ", after " + controlPasses
                + " control passes");
        fed += in;
        blocks++;
      }
    } finally {
      done.set(true);
      control.join();
    }
    if (controlFailure.get() != null) {
      throw new AssertionError(
          "the control thread failed after " + controlPasses + " passes", controlFailure.get());
    }
    assertEquals(null, controlFinding.get(), "the control thread read a bad value");
    System.out.println("ConcurrencyTest: " + blocks + " blocks, " + fed + " frames (" + fed / RATE
        + " s), " + controlPasses + " control passes");

    StreamChecks.restoreDefaults(dsp, FRAME / 2);
    StreamChecks.assertToneComesBack(dsp, 2, "after the concurrent run");
  }
}

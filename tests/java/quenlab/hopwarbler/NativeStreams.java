package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.IntUnaryOperator;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Windows;

/**
 * Streams through the raw {@link NativeInterface} for the JNI tests: the format they run at, block
 * feeding, and models of what the output must be (the vocoder's output buffer, a closed-form
 * ratio-1 overlap-add). The signals and measures themselves are in quenlab.hopwarbler.support.
 */
final class NativeStreams {
  static final int FRAME = 2048;
  static final int OVER = 4;
  static final int HOP = FRAME / OVER;
  static final int RATE = 44100;
  /** Silence the vocoder's history starts with, in input frames. */
  static final int LATENCY = FRAME - HOP;

  private NativeStreams() {}

  /** Hop for a time-scale ratio given as samplesOut / samplesIn, as the driver forms it. */
  static int stepOut(int samplesIn, int samplesOut) {
    return (int) (HOP * ((float) samplesOut / samplesIn));
  }

  /**
   * Sets up a fresh stream and feeds input through it in equal blocks of blockIn frames, asking
   * blockOut frames back from each; the input is padded with silence to whole blocks. Returns the
   * concatenated output. Checks on the way that the entries past blockOut frames keep the input.
   */
  static short[] stretch(
      NativeInterface dsp, short[] input, int channels, int blockIn, int blockOut) {
    dsp.dspInit(FRAME, OVER, RATE, channels);
    int frames = input.length / channels;
    int blocks = (frames + blockIn - 1) / blockIn;
    short[] output = new short[blocks * blockOut * channels];
    short[] block = new short[Math.max(blockIn, blockOut) * channels];
    for (int b = 0; b < blocks; b++) {
      Arrays.fill(block, (short) 0);
      int from = b * blockIn;
      System.arraycopy(
          input, from * channels, block, 0, Math.min(blockIn, frames - from) * channels);
      short[] given = block.clone();
      dsp.dspProcess(block, blockIn, blockOut, 0f);
      for (int i = blockOut * channels; i < block.length; i++) {
        assertEquals(given[i], block[i], "entry " + i + " past samplesOut of block " + b);
      }
      System.arraycopy(block, 0, output, b * blockOut * channels, blockOut * channels);
    }
    return output;
  }

  /**
   * Feeds consecutive blocks of (samplesIn, samplesOut) frames from input, continuing the current
   * stream, and returns the samplesOut frames each block gave back.
   */
  static List<short[]> feed(NativeInterface dsp, short[] input, int channels, int[][] sizes) {
    List<short[]> outputs = new ArrayList<>();
    int at = 0;
    for (int[] size : sizes) {
      short[] block = new short[Math.max(size[0], size[1]) * channels];
      System.arraycopy(input, at * channels, block, 0, size[0] * channels);
      at += size[0];
      dsp.dspProcess(block, size[0], size[1], 0f);
      outputs.add(Arrays.copyOf(block, size[1] * channels));
    }
    return outputs;
  }

  /**
   * What blocks of any size must give back, given the output of the same stream fed in hop-aligned
   * blocks at the same stepOut. The vocoder hands out stepOut samples for each frame completed
   * (one per hop of input, the first after one hop) into the start of a per-channel output buffer
   * that keeps its contents between blocks; each block returns the first samplesOut entries of
   * that buffer. Entries never written since the stream started are {@code unknown}.
   */
  static List<int[]> bufferModel(
      short[] aligned, int channels, int stepOut, int[][] sizes, int unknown) {
    int[] buffer = new int[0];
    List<int[]> expected = new ArrayList<>();
    long fed = 0;
    for (int[] size : sizes) {
      long framesBefore = fed / HOP;
      fed += size[0];
      int newFrames = (int) (fed / HOP - framesBefore);
      int written = newFrames * stepOut * channels;
      int needed = Math.max(written, size[1] * channels);
      if (buffer.length < needed) {
        int old = buffer.length;
        buffer = Arrays.copyOf(buffer, needed);
        Arrays.fill(buffer, old, needed, unknown);
      }
      int src = (int) (framesBefore * stepOut * channels);
      for (int i = 0; i < written; i++) {
        buffer[i] = aligned[src + i];
      }
      expected.add(Arrays.copyOf(buffer, size[1] * channels));
    }
    return expected;
  }

  /**
   * The ratio-1 output of one channel, worked out from the overlap-add directly rather than by
   * FFT. Each frame is FRAME samples of the history (LATENCY zeros, then x) taken every HOP samples
   * with a periodic Hann window w. With the analysis phases kept, the inverse of the one-sided
   * spectrum has the real part N/2 w z + (X0 - X(N/2) (-1)^m) / 2 (X0 and X(N/2) are the frame's
   * DC and Nyquist bins); the synthesis window 2 w / N and the overlap-add give w^2 z + w (X0 -
   * X(N/2) (-1)^m) / N summed over the frames, and the driver divides by FRAME / (2 HOP). The
   * result is at full scale 1.0 (x in 16-bit units / 32768).
   */
  static double[] ratioOneModel(double[] x, int outFrames) {
    double[] window = new double[FRAME];
    for (int m = 0; m < FRAME; m++) {
      window[m] = Windows.hann(m, FRAME);
    }
    double[] y = new double[outFrames];
    for (int start = 0; start < outFrames; start += HOP) {
      double dc = 0;
      double nyquist = 0;
      double[] z = new double[FRAME];
      for (int m = 0; m < FRAME; m++) {
        int t = start + m - LATENCY;
        z[m] = t >= 0 && t < x.length ? x[t] / 32768.0 : 0;
        dc += window[m] * z[m];
        nyquist += (m % 2 == 0 ? 1 : -1) * window[m] * z[m];
      }
      for (int m = 0; m < FRAME && start + m < outFrames; m++) {
        double alternating = m % 2 == 0 ? 1 : -1;
        y[start + m] +=
            window[m] * window[m] * z[m] + window[m] * (dc - nyquist * alternating) / FRAME;
      }
    }
    double norm = FRAME / (2.0 * HOP);
    for (int n = 0; n < outFrames; n++) {
      y[n] /= norm;
    }
    return y;
  }

  /**
   * Fails unless actual[n] is within tolerance of expected(n) for every n in from..to-1, naming
   * the frame that is furthest off.
   */
  static void assertClose(
      String context, IntUnaryOperator expected, double[] actual, int from, int to, int tolerance) {
    int worst = -1;
    double worstError = 0;
    for (int n = from; n < to; n++) {
      double error = Math.abs(actual[n] - expected.applyAsInt(n));
      if (error > worstError) {
        worstError = error;
        worst = n;
      }
    }
    if (worstError > tolerance) {
      fail(context + ": frame " + worst + " is " + (long) actual[worst] + ", expected "
          + expected.applyAsInt(worst) + " (tolerance " + tolerance + ", checked frames " + from
          + ".." + (to - 1) + ")");
    }
  }

  /**
   * Fails unless each channel of out is the same channel of in times gain, LATENCY frames late, to
   * one step of the quantiser, from the first frame that holds nothing but signal on.
   */
  static void assertScaledAndDelayed(
      String context, short[] in, short[] out, int channels, double gain) {
    for (int ch = 0; ch < channels; ch++) {
      double[] x = Pcm.rawChannel(in, channels, ch);
      double[] y = Pcm.rawChannel(out, channels, ch);
      assertClose(context + ", channel " + ch,
          n -> quantize(gain * x[n - LATENCY] / 32768), y, LATENCY + FRAME, y.length, 1);
    }
  }

  /** 16-bit value of a full-scale sample below the soft-limit knee: clamp, then truncate. */
  static int quantize(double v) {
    if (v < -1) {
      return -32767;
    }
    if (v > 1) {
      return 32767;
    }
    return (int) (v * 32767);
  }
}

package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.function.IntToDoubleFunction;
import java.util.function.IntUnaryOperator;

/**
 * Test signals, block feeding and independent measurements (least-squares tone fits, DTFT peak
 * search, cross-correlation, a closed-form model of the ratio-1 overlap-add) for the JNI tests.
 */
final class Signals {
  static final int FRAME = 2048;
  static final int OVER = 4;
  static final int HOP = FRAME / OVER;
  static final int RATE = 44100;
  /** Silence the vocoder's history starts with, in input frames. */
  static final int LATENCY = FRAME - HOP;

  private Signals() {}

  /** Interleaved 16-bit PCM, one function of the frame index per channel, in 16-bit units. */
  static short[] pcm(int frames, IntToDoubleFunction... channels) {
    int c = channels.length;
    short[] out = new short[frames * c];
    for (int i = 0; i < frames; i++) {
      for (int ch = 0; ch < c; ch++) {
        double v = Math.rint(channels[ch].applyAsDouble(i));
        out[i * c + ch] = (short) Math.max(-32768, Math.min(32767, v));
      }
    }
    return out;
  }

  static IntToDoubleFunction sine(double amplitude, double hz) {
    return i -> amplitude * Math.sin(2 * Math.PI * hz * i / RATE);
  }

  static IntToDoubleFunction constant(double value) {
    return i -> value;
  }

  /** Uniform noise in [-amplitude, amplitude), the same for a given seed. */
  static IntToDoubleFunction noise(double amplitude, long seed, int frames) {
    Random random = new Random(seed);
    double[] v = new double[frames];
    for (int i = 0; i < frames; i++) {
      v[i] = amplitude * (2 * random.nextDouble() - 1);
    }
    return i -> v[i];
  }

  static double[] channel(short[] pcm, int channels, int ch) {
    double[] x = new double[pcm.length / channels];
    for (int i = 0; i < x.length; i++) {
      x[i] = pcm[i * channels + ch];
    }
    return x;
  }

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

  /** Amplitude of the tone at hz in x[from..to), fitted by least squares with a DC term. */
  static double toneAmplitude(double[] x, int from, int to, double hz) {
    double w = 2 * Math.PI * hz / RATE;
    // Normal equations for x ~ a cos + b sin + c.
    double[][] m = new double[3][4];
    for (int i = from; i < to; i++) {
      double[] basis = {Math.cos(w * i), Math.sin(w * i), 1};
      for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
          m[r][c] += basis[r] * basis[c];
        }
        m[r][3] += basis[r] * x[i];
      }
    }
    double[] s = solve3(m);
    return Math.hypot(s[0], s[1]);
  }

  private static double[] solve3(double[][] m) {
    for (int p = 0; p < 3; p++) {
      int best = p;
      for (int r = p + 1; r < 3; r++) {
        if (Math.abs(m[r][p]) > Math.abs(m[best][p])) {
          best = r;
        }
      }
      double[] t = m[p];
      m[p] = m[best];
      m[best] = t;
      for (int r = 0; r < 3; r++) {
        if (r != p) {
          double f = m[r][p] / m[p][p];
          for (int c = p; c < 4; c++) {
            m[r][c] -= f * m[p][c];
          }
        }
      }
    }
    return new double[] {m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2]};
  }

  static double rms(double[] x, int from, int to) {
    double sum = 0;
    for (int i = from; i < to; i++) {
      sum += x[i] * x[i];
    }
    return Math.sqrt(sum / (to - from));
  }

  /**
   * Frequency in Hz of the strongest component of x[from..to) within a semitone of near: the
   * magnitude of the Hann-windowed DTFT is scanned at a tenth of the segment's resolution and its
   * maximum refined by golden-section search.
   */
  static double peakFrequency(double[] x, int from, int to, double near) {
    int n = to - from;
    double[] xw = new double[n];
    for (int i = 0; i < n; i++) {
      xw[i] = x[from + i] * (0.5 - 0.5 * Math.cos(2 * Math.PI * i / n));
    }
    double resolution = RATE / (double) n;
    double lo = near * Math.pow(2, -1 / 12.0);
    double hi = near * Math.pow(2, 1 / 12.0);
    double best = lo;
    double bestMag = -1;
    for (double f = lo; f <= hi; f += resolution / 10) {
      double mag = dtft(xw, f);
      if (mag > bestMag) {
        bestMag = mag;
        best = f;
      }
    }
    double a = best - resolution / 10;
    double b = best + resolution / 10;
    double g = (Math.sqrt(5) - 1) / 2;
    double c = b - g * (b - a);
    double d = a + g * (b - a);
    double mc = dtft(xw, c);
    double md = dtft(xw, d);
    while (b - a > 1e-7) {
      if (mc > md) {
        b = d;
        d = c;
        md = mc;
        c = b - g * (b - a);
        mc = dtft(xw, c);
      } else {
        a = c;
        c = d;
        mc = md;
        d = a + g * (b - a);
        md = dtft(xw, d);
      }
    }
    return (a + b) / 2;
  }

  /** |sum xw[i] e^(-i w i)| at hz, with the phasor advanced by rotation. */
  static double dtft(double[] xw, double hz) {
    double w = 2 * Math.PI * hz / RATE;
    double stepRe = Math.cos(w);
    double stepIm = -Math.sin(w);
    double pRe = 1;
    double pIm = 0;
    double re = 0;
    double im = 0;
    for (double v : xw) {
      re += v * pRe;
      im += v * pIm;
      double t = pRe * stepRe - pIm * stepIm;
      pIm = pRe * stepIm + pIm * stepRe;
      pRe = t;
    }
    return Math.hypot(re, im);
  }

  static double cents(double hz, double reference) {
    return 1200 * Math.log(hz / reference) / Math.log(2);
  }

  /** The lag in 0..maxLag at which y best matches x delayed (largest cross-correlation). */
  static int bestLag(double[] x, double[] y, int maxLag) {
    int best = -1;
    double bestSum = Double.NEGATIVE_INFINITY;
    for (int lag = 0; lag <= maxLag; lag++) {
      double sum = 0;
      for (int n = lag; n < y.length && n - lag < x.length; n++) {
        sum += y[n] * x[n - lag];
      }
      if (sum > bestSum) {
        bestSum = sum;
        best = lag;
      }
    }
    return best;
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
      window[m] = 0.5 - 0.5 * Math.cos(2 * Math.PI * m / FRAME);
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

package quenlab.hopwarbler;

import java.util.Arrays;
import java.util.Locale;

/**
 * Runs a generated stereo test signal (440 Hz left, 660 Hz right, 3 s at 44.1 kHz) through the
 * native library at time-scale ratios 1.0, 0.8 and 1.25 and prints what comes out: output length,
 * gain, the frequency of each stretched tone and the latency.
 */
public final class Demo {
  private static final int FRAME_SIZE = 2048;
  private static final int OVER_SAMPLING = 4;
  private static final int HOP = FRAME_SIZE / OVER_SAMPLING;
  private static final int RATE = 44100;
  private static final int HOPS_PER_BLOCK = 8;
  private static final double[] TONES_HZ = {440.0, 660.0};
  private static final double AMPLITUDE = 0.5 * 32767;

  private Demo() {}

  public static void main(String[] args) {
    int frames = 3 * RATE;
    short[] input = stereoTones(frames);
    NativeInterface dsp = new NativeInterface();

    System.out.printf(Locale.ROOT,
        "input: %d frames stereo at %d Hz, tones %.1f Hz (left) and %.1f Hz (right), peak %.0f%n",
        frames, RATE, TONES_HZ[0], TONES_HZ[1], AMPLITUDE);
    System.out.printf(Locale.ROOT, "dspInit(%d, %d, %d, 2), blocks of %d frames in%n", FRAME_SIZE,
        OVER_SAMPLING, RATE, HOPS_PER_BLOCK * HOP);
    System.out.printf(Locale.ROOT,
        "latency: frames from the input tone first reaching half its peak to the output tone doing"
            + " so (%d = frameSize - hop at ratio 1)%n",
        FRAME_SIZE - HOP);
    System.out.println("gain: rms out / rms in over the steady part");
    for (double ratio : new double[] {1.0, 0.8, 1.25}) {
      run(dsp, input, frames, ratio);
    }
  }

  private static void run(NativeInterface dsp, short[] input, int frames, double ratio) {
    int stepOut = (int) (HOP * ratio);
    int blockIn = HOPS_PER_BLOCK * HOP;
    int blockOut = HOPS_PER_BLOCK * stepOut;
    int blocks = (frames + blockIn - 1) / blockIn;
    short[] output = new short[2 * blocks * blockOut];
    short[] block = new short[2 * Math.max(blockIn, blockOut)];

    long started = System.nanoTime();
    dsp.dspInit(FRAME_SIZE, OVER_SAMPLING, RATE, 2);
    for (int b = 0; b < blocks; b++) {
      Arrays.fill(block, (short) 0);
      int from = b * blockIn;
      int count = Math.min(blockIn, frames - from);
      System.arraycopy(input, 2 * from, block, 0, 2 * count);
      dsp.dspProcess(block, blockIn, blockOut, 0f);
      System.arraycopy(block, 0, output, 2 * b * blockOut, 2 * blockOut);
    }
    double seconds = (System.nanoTime() - started) * 1e-9;

    int outFrames = blocks * blockOut;
    System.out.printf(Locale.ROOT,
        "%nratio %.2f: stepOut %d, %d frames out (%.3f s), %.0f x real time%n", ratio, stepOut,
        outFrames, outFrames / (double) RATE, frames / (RATE * seconds));
    for (int ch = 0; ch < 2; ch++) {
      double[] in = channel(input, ch, 0, frames);
      double[] out = channel(output, ch, 0, outFrames);
      // Latency: from the input tone's first reaching half its peak to the output tone's.
      int latency = firstAbove(out, 0.5 * 0.75 * AMPLITUDE) - firstAbove(in, 0.5 * AMPLITUDE);
      // Steady part: past the latency and one more frame of build-up, short of the padded tail.
      int steadyFrom = 3 * FRAME_SIZE;
      int steadyTo = (int) ((frames - FRAME_SIZE) * (stepOut / (double) HOP));
      double gain = rms(out, steadyFrom, steadyTo) / rms(in, FRAME_SIZE, frames - FRAME_SIZE);
      double hz = peakFrequency(out, steadyFrom, steadyTo, TONES_HZ[ch]);
      System.out.printf(Locale.ROOT,
          "  %-5s latency %d frames, gain %.4f, tone %.3f Hz (%+.2f cents)%n",
          ch == 0 ? "left" : "right", latency, gain, hz,
          1200 * Math.log(hz / TONES_HZ[ch]) / Math.log(2));
    }
  }

  private static short[] stereoTones(int frames) {
    short[] pcm = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      for (int ch = 0; ch < 2; ch++) {
        pcm[2 * i + ch] =
            (short) Math.round(AMPLITUDE * Math.sin(2 * Math.PI * TONES_HZ[ch] * i / RATE));
      }
    }
    return pcm;
  }

  private static double[] channel(short[] pcm, int ch, int from, int to) {
    double[] x = new double[to - from];
    for (int i = from; i < to; i++) {
      x[i - from] = pcm[2 * i + ch];
    }
    return x;
  }

  private static int firstAbove(double[] x, double threshold) {
    for (int i = 0; i < x.length; i++) {
      if (Math.abs(x[i]) > threshold) {
        return i;
      }
    }
    return -1;
  }

  private static double rms(double[] x, int from, int to) {
    double sum = 0;
    for (int i = from; i < to; i++) {
      sum += x[i] * x[i];
    }
    return Math.sqrt(sum / (to - from));
  }

  /** Magnitude of the DTFT of the windowed segment xw at f Hz, by a rotating phasor. */
  private static double dtft(double[] xw, double hz) {
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

  /**
   * Frequency of the strongest component within a semitone of near: the windowed DTFT is scanned
   * at a tenth of its resolution and the maximum refined by golden-section search.
   */
  private static double peakFrequency(double[] x, int from, int to, double near) {
    int n = Math.min(to - from, 32768);
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
      double m = dtft(xw, f);
      if (m > bestMag) {
        bestMag = m;
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
    while (b - a > 1e-6) {
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
}

package quenlab.hopwarbler.support;

/** Measures in the frequency domain over short stretches: a tone's amplitude, frequency, energy. */
public final class Spectra {
  private Spectra() {}

  /**
   * Amplitude of the component at {@code hz} in x[from..to), by a Hann-windowed direct DFT at that
   * frequency.
   */
  public static double amplitudeAt(double[] x, int from, int to, double hz, int rate) {
    double re = 0;
    double im = 0;
    double weight = 0;
    int n = to - from;
    for (int i = 0; i < n; i++) {
      double w = Windows.hann(i, n);
      double phase = 2 * Math.PI * hz * (from + i) / rate;
      re += w * x[from + i] * Math.cos(phase);
      im -= w * x[from + i] * Math.sin(phase);
      weight += w;
    }
    return 2 * Math.hypot(re, im) / weight;
  }

  /** Amplitude of the tone at hz in x[from..to), fitted by least squares with a DC term. */
  public static double toneAmplitude(double[] x, int from, int to, double hz, int rate) {
    double w = 2 * Math.PI * hz / rate;
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

  /**
   * Frequency in Hz of the strongest component of x[from..to) within a semitone of near: the
   * magnitude of the Hann-windowed DTFT is scanned at a tenth of the segment's resolution and its
   * maximum refined by golden-section search.
   */
  public static double peakFrequency(double[] x, int from, int to, double near, int rate) {
    int n = to - from;
    double[] xw = new double[n];
    for (int i = 0; i < n; i++) {
      xw[i] = x[from + i] * Windows.hann(i, n);
    }
    double resolution = rate / (double) n;
    double lo = near * Math.pow(2, -1 / 12.0);
    double hi = near * Math.pow(2, 1 / 12.0);
    double best = lo;
    double bestMag = -1;
    for (double f = lo; f <= hi; f += resolution / 10) {
      double mag = dtft(xw, f, rate);
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
    double mc = dtft(xw, c, rate);
    double md = dtft(xw, d, rate);
    while (b - a > 1e-7) {
      if (mc > md) {
        b = d;
        d = c;
        md = mc;
        c = b - g * (b - a);
        mc = dtft(xw, c, rate);
      } else {
        a = c;
        c = d;
        mc = md;
        d = a + g * (b - a);
        md = dtft(xw, d, rate);
      }
    }
    return (a + b) / 2;
  }

  /**
   * |sum xw[i] e^(-i w i)| at hz, with the phasor advanced by rotation (a few thousand points; the
   * long windows of {@link QualityMeasures} keep the phasor's magnitude at 1 as they go).
   */
  public static double dtft(double[] xw, double hz, int rate) {
    double w = 2 * Math.PI * hz / rate;
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
   * Mean-square energy of x above {@code hz} in the Blackman-Harris window x[from .. from +
   * length), in dB of full scale; the window is zero-padded to the next power of two.
   */
  public static double energyAboveDb(double[] x, int from, int length, double hz, int rate) {
    int n = Integer.highestOneBit(Math.max(1, length - 1)) * 2;
    double[] re = new double[n];
    double[] im = new double[n];
    double weight = 0;
    for (int i = 0; i < length; i++) {
      double w = Windows.blackmanHarris(i, length);
      re[i] = x[from + i] * w;
      weight += w * w;
    }
    Fft.forward(re, im);
    double energy = 0;
    for (int k = (int) Math.ceil(hz * n / rate); k < n / 2; k++) {
      energy += 2 * (re[k] * re[k] + im[k] * im[k]);
    }
    return 10 * Math.log10(energy / (n * weight) + 1e-30);
  }

  /**
   * The worst {@link #energyAboveDb} over windows of {@code length} frames a quarter window apart
   * within x[from..to) (clipped to x); negative infinity when none fits.
   */
  public static double worstEnergyAboveDb(
      double[] x, int from, int to, int length, double hz, int rate) {
    double worst = Double.NEGATIVE_INFINITY;
    for (int at = Math.max(0, from); at + length <= Math.min(x.length, to); at += length / 4) {
      worst = Math.max(worst, energyAboveDb(x, at, length, hz, rate));
    }
    return worst;
  }
}

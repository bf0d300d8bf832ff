package quenlab.hopwarbler.support;

/**
 * What a time-stretch does to a steady tone and to attacks, on mono signals at full scale 1.0: the
 * measures of the quality benchmark. Spectral measures use a Kaiser window (beta 20, side lobes
 * below -150 dB) over {@link #WINDOW} frames, so that the window's own leakage stays far below what
 * is measured.
 */
public final class QualityMeasures {
  /** Frames analysed for purity, pitch and level: 2^17, about 3 s at 44.1 kHz. */
  public static final int WINDOW = 1 << 17;

  /** Half-width of the band around each partial that counts as the tone, in Hz. */
  public static final double PURITY_BAND_HZ = 8;

  private static final double KAISER_BETA = 20;

  private QualityMeasures() {}

  /**
   * Energy within {@link #PURITY_BAND_HZ} of the partials over all the rest, in dB, over {@link
   * #WINDOW} frames from {@code from}. The in-band energy is summed from DFT bins computed
   * directly; the total comes from the windowed signal itself (Parseval).
   */
  public static double purityDb(double[] x, int from, int rate, double[] partialsHz) {
    double[] w = windowed(x, from);
    double total = 0;
    for (double v : w) total += v * v;
    total *= WINDOW; // sum over all N bins of |X_k|^2
    double[] cos = new double[WINDOW];
    double[] sin = new double[WINDOW];
    for (int j = 0; j < WINDOW; j++) {
      cos[j] = Math.cos(2 * Math.PI * j / WINDOW);
      sin[j] = Math.sin(2 * Math.PI * j / WINDOW);
    }
    double binHz = (double) rate / WINDOW;
    double inBand = 0;
    for (double hz : partialsHz) {
      int first = (int) Math.ceil((hz - PURITY_BAND_HZ) / binHz);
      int last = (int) Math.floor((hz + PURITY_BAND_HZ) / binHz);
      for (int k = first; k <= last; k++) {
        double re = 0;
        double im = 0;
        int index = 0;
        for (int n = 0; n < WINDOW; n++) {
          re += w[n] * cos[index];
          im -= w[n] * sin[index];
          index += k;
          if (index >= WINDOW)
            index -= WINDOW;
        }
        inBand += 2 * (re * re + im * im); // the bin and its mirror at N - k
      }
    }
    return 10 * Math.log10(inBand / Math.max(total - inBand, 1e-300));
  }

  /**
   * The largest pitch error of the partials in cents: each partial's frequency is where the
   * windowed spectrum's magnitude peaks within 1.5 Hz of its nominal frequency.
   */
  public static double pitchErrorCents(double[] x, int from, int rate, double[] partialsHz) {
    double[] w = windowed(x, from);
    double worst = 0;
    for (double hz : partialsHz) {
      double low = hz - 1.5;
      double high = hz + 1.5;
      double ratio = (Math.sqrt(5) - 1) / 2;
      double a = high - ratio * (high - low);
      double b = low + ratio * (high - low);
      double fa = magnitude(w, a / rate);
      double fb = magnitude(w, b / rate);
      while (high - low > 1e-7) {
        if (fa < fb) {
          low = a;
          a = b;
          fa = fb;
          b = low + ratio * (high - low);
          fb = magnitude(w, b / rate);
        } else {
          high = b;
          b = a;
          fb = fa;
          a = high - ratio * (high - low);
          fa = magnitude(w, a / rate);
        }
      }
      double cents = Levels.cents(0.5 * (low + high), hz);
      if (Math.abs(cents) > Math.abs(worst))
        worst = cents;
    }
    return worst;
  }

  /** RMS of {@link #WINDOW} frames from {@code from}. */
  public static double rms(double[] x, int from) {
    return Levels.rms(x, from, from + WINDOW);
  }

  /**
   * Transient measures of one signal of bursts: the mean width, the pre-echo over all bursts, and
   * the mean offset of the bursts' attacks from where they were expected.
   */
  public record Transients(double smearMs, double preEchoDb, double offsetMs) {}

  /**
   * Finds each burst within 150 ms of its expected onset ({@code expected}, frames of {@code x})
   * on a 64-frame energy average. Its width is the span above -30 dB of its peak; its attack is
   * where the average first reaches -10 dB of the peak, less the 6 frames the average of a burst
   * takes to get there. The pre-echo is the energy from 50 ms to 1 ms before the attacks over the
   * energy of the 50 ms after.
   */
  public static Transients transients(double[] x, double[] expected, int rate) {
    double widthSum = 0;
    double offsetSum = 0;
    double before = 0;
    double after = 0;
    int span = (int) Math.round(0.05 * rate);
    int search = (int) Math.round(0.15 * rate);
    for (double onset : expected) {
      int centre = (int) Math.round(onset);
      int from = Math.max(0, centre - search);
      int to = Math.min(x.length, centre + search);
      if (to - from < 64)
        return new Transients(Double.NaN, Double.NaN, Double.NaN);
      double[] energy = new double[to - from];
      double running = 0;
      for (int n = from; n < to; n++) {
        running += x[n] * x[n];
        if (n - 64 >= from)
          running -= x[n - 64] * x[n - 64];
        energy[n - from] = Math.max(running, 0) / 64;
      }
      double peak = 0;
      for (double e : energy) peak = Math.max(peak, e);
      int first = -1;
      int last = -1;
      int attack = -1;
      for (int i = 0; i < energy.length; i++) {
        if (energy[i] >= peak * 1e-3) {
          if (first < 0)
            first = i;
          last = i;
        }
        if (attack < 0 && energy[i] >= peak * 0.1)
          attack = i;
      }
      widthSum += (last - first + 1) * 1000.0 / rate;
      int start = from + attack - 6;
      offsetSum += (start - onset) * 1000.0 / rate;
      for (int n = Math.max(0, start - span); n < Math.max(0, start - rate / 1000); n++)
        before += x[n] * x[n];
      for (int n = Math.max(0, start - rate / 1000); n < Math.min(x.length, start + span); n++)
        after += x[n] * x[n];
    }
    return new Transients(widthSum / expected.length,
        10 * Math.log10(Math.max(before, 1e-30) / Math.max(after, 1e-30)),
        offsetSum / expected.length);
  }

  private static double[] windowed(double[] x, int from) {
    if (from < 0 || from + WINDOW > x.length) {
      throw new IllegalArgumentException(
          "need " + WINDOW + " frames from " + from + ", the signal has " + x.length);
    }
    double[] w = new double[WINDOW];
    double norm = Windows.besselI0(KAISER_BETA);
    for (int n = 0; n < WINDOW; n++) {
      w[n] = x[from + n] * Windows.kaiserUnscaled(n, WINDOW, KAISER_BETA) / norm;
    }
    return w;
  }

  // |sum w[n] e^{-2 pi i f n}| for f in cycles per frame, by a rotation renormalised every 4096
  // steps so that its magnitude stays at 1 over the long window.
  private static double magnitude(double[] w, double cyclesPerFrame) {
    double stepRe = Math.cos(2 * Math.PI * cyclesPerFrame);
    double stepIm = -Math.sin(2 * Math.PI * cyclesPerFrame);
    double re = 0;
    double im = 0;
    double rotRe = 1;
    double rotIm = 0;
    for (int n = 0; n < w.length; n++) {
      re += w[n] * rotRe;
      im += w[n] * rotIm;
      double nextRe = rotRe * stepRe - rotIm * stepIm;
      rotIm = rotRe * stepIm + rotIm * stepRe;
      rotRe = nextRe;
      if ((n & 4095) == 4095) {
        double norm = Math.hypot(rotRe, rotIm);
        rotRe /= norm;
        rotIm /= norm;
      }
    }
    return Math.hypot(re, im);
  }
}

package quenlab.hopwarbler.support;

/** Analysis windows, as values at index i of a window of n (or length) points. */
public final class Windows {
  private Windows() {}

  /** Periodic Hann window: 0.5 - 0.5 cos(2 pi i / n). */
  public static double hann(int i, int n) {
    return 0.5 - 0.5 * Math.cos(2 * Math.PI * i / n);
  }

  /** Periodic four-term Blackman-Harris window (side lobes below -92 dB). */
  public static double blackmanHarris(int i, int length) {
    double t = 2 * Math.PI * i / length;
    return 0.35875 - 0.48829 * Math.cos(t) + 0.14128 * Math.cos(2 * t) - 0.01168 * Math.cos(3 * t);
  }

  /** Symmetric Kaiser window of {@code length} points, 1 at its centre. */
  public static double[] kaiser(int length, double beta) {
    double[] w = new double[length];
    double norm = besselI0(beta);
    for (int i = 0; i < length; i++) w[i] = kaiserUnscaled(i, length, beta) / norm;
    return w;
  }

  /**
   * The symmetric Kaiser window at i before its division by I0(beta), for callers that divide the
   * windowed sample instead of the window.
   */
  public static double kaiserUnscaled(int i, int length, double beta) {
    double u = 2.0 * i / (length - 1) - 1;
    return besselI0(beta * Math.sqrt(Math.max(0, 1 - u * u)));
  }

  /** The modified Bessel function of the first kind, order 0, by its power series. */
  public static double besselI0(double x) {
    double sum = 1;
    double term = 1;
    for (int k = 1; k < 200; k++) {
      term *= (x / (2 * k)) * (x / (2 * k));
      sum += term;
      if (term < sum * 1e-17)
        break;
    }
    return sum;
  }
}

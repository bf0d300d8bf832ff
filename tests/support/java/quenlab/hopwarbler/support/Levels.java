package quenlab.hopwarbler.support;

/** Measures in the time domain: level, pitch from zero crossings, position, delay. */
public final class Levels {
  private Levels() {}

  /** RMS of x[from..to). */
  public static double rms(double[] x, int from, int to) {
    double sum = 0;
    for (int i = from; i < to; i++) sum += x[i] * x[i];
    return Math.sqrt(sum / (to - from));
  }

  /** An amplitude ratio in dB. */
  public static double db(double ratio) {
    return 20 * Math.log10(ratio);
  }

  /** The interval from {@code reference} to {@code hz} in cents. */
  public static double cents(double hz, double reference) {
    return 1200 * Math.log(hz / reference) / Math.log(2);
  }

  /**
   * RMS of x[from + 32 k .. from + 32 k + 256) in dB of {@code reference}, for k below (to - from -
   * 256) / 32.
   */
  public static double[] shortTimeLevelsDb(double[] x, int from, int to, double reference) {
    double[] levels = new double[Math.max(0, (to - 256 - from) / 32)];
    for (int k = 0; k < levels.length; k++) {
      levels[k] = db(rms(x, from + 32 * k, from + 32 * k + 256) / reference);
    }
    return levels;
  }

  /**
   * Frequency of a tone from its rising zero crossings in x[from..to), each located by linear
   * interpolation between the samples around it.
   */
  public static double zeroCrossingHz(double[] x, int from, int to, int rate) {
    double first = -1;
    double last = -1;
    int count = 0;
    for (int i = from; i + 1 < to; i++) {
      if (x[i] < 0 && x[i + 1] >= 0) {
        double t = i + x[i] / (x[i] - x[i + 1]);
        if (first < 0)
          first = t;
        last = t;
        count++;
      }
    }
    return (count - 1) * rate / (last - first);
  }

  /** Energy centroid of x, in samples. */
  public static double centroid(double[] x) {
    double weighted = 0;
    double energy = 0;
    for (int i = 0; i < x.length; i++) {
      weighted += i * x[i] * x[i];
      energy += x[i] * x[i];
    }
    return weighted / energy;
  }

  /** The lag in 0..maxLag at which y best matches x delayed (largest cross-correlation). */
  public static int bestLag(double[] x, double[] y, int maxLag) {
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
}

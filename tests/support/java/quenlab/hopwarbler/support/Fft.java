package quenlab.hopwarbler.support;

/** The one FFT of the tests and benchmarks: in-place radix-2, complex, in double. */
public final class Fft {
  private Fft() {}

  /** Forward transform (e^-i) of a power-of-two length, in place, unscaled. */
  public static void forward(double[] re, double[] im) {
    forward(re, im, new Twiddles(re.length));
  }

  /**
   * The twiddle factors of one transform length, worked out once for a caller that makes many
   * transforms of it.
   */
  public static final class Twiddles {
    final int size;
    final double[] cos;
    final double[] sin;

    /** The factors of transforms of {@code size} points, a power of two. */
    public Twiddles(int size) {
      this.size = size;
      cos = new double[size / 2];
      sin = new double[size / 2];
      for (int k = 0; k < size / 2; k++) {
        cos[k] = Math.cos(2 * Math.PI * k / size);
        sin[k] = Math.sin(2 * Math.PI * k / size);
      }
    }
  }

  /** Forward transform of the first {@code twiddles.size} points of re and im, in place. */
  public static void forward(double[] re, double[] im, Twiddles twiddles) {
    int n = twiddles.size;
    for (int i = 1, j = 0; i < n; i++) {
      int bit = n >> 1;
      for (; (j & bit) != 0; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) {
        double t = re[i];
        re[i] = re[j];
        re[j] = t;
        t = im[i];
        im[i] = im[j];
        im[j] = t;
      }
    }
    for (int len = 2; len <= n; len <<= 1) {
      int half = len / 2;
      int stride = n / len;
      for (int i = 0; i < n; i += len) {
        for (int k = 0; k < half; k++) {
          double wr = twiddles.cos[k * stride];
          double wi = -twiddles.sin[k * stride];
          int a = i + k;
          int b = a + half;
          double xr = re[b] * wr - im[b] * wi;
          double xi = re[b] * wi + im[b] * wr;
          re[b] = re[a] - xr;
          im[b] = im[a] - xi;
          re[a] += xr;
          im[a] += xi;
        }
      }
    }
  }
}

package quenlab.hopwarbler.support;

/** The one FFT of the tests and benchmarks: in-place radix-2, complex, in double. */
public final class Fft {
  private Fft() {}

  /** Forward transform (e^-i) of a power-of-two length, in place, unscaled. */
  public static void forward(double[] re, double[] im) {
    int n = re.length;
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
      double angle = -2 * Math.PI / len;
      for (int i = 0; i < n; i += len) {
        for (int k = 0; k < len / 2; k++) {
          double wr = Math.cos(angle * k);
          double wi = Math.sin(angle * k);
          int a = i + k;
          int b = a + len / 2;
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

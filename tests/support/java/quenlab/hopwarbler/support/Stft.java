package quenlab.hopwarbler.support;

/**
 * Short-time spectra of long signals: frames of {@code length} samples under a periodic Hann
 * window, zero-padded to {@code size} (a power of two) and transformed by {@link Fft} with
 * twiddle factors computed once, for the tens of thousands of frames that the music measures
 * take. An instance keeps no state between calls
 * and may be shared between threads.
 */
public final class Stft {
  /** Points of the transform, a power of two. */
  public final int size;
  /** Samples in a frame, at most {@link #size}. */
  public final int length;
  /** Samples from one frame's start to the next one's. */
  public final int hop;

  private final double[] window;
  private final Fft.Twiddles twiddles;

  /** Frames of {@code size} samples, {@code hop} apart. */
  public Stft(int size, int hop) {
    this(size, size, hop);
  }

  /** Frames of {@code length} samples, {@code hop} apart, each padded to {@code size} points. */
  public Stft(int length, int size, int hop) {
    if (Integer.bitCount(size) != 1 || length < 1 || length > size || hop < 1)
      throw new IllegalArgumentException("frame " + length + ", size " + size + ", hop " + hop);
    this.size = size;
    this.length = length;
    this.hop = hop;
    window = new double[length];
    for (int i = 0; i < length; i++) window[i] = Windows.hann(i, length);
    twiddles = new Fft.Twiddles(size);
  }

  /** The number of whole frames in a signal of {@code samples} samples. */
  public int frames(int samples) {
    return samples < length ? 0 : (samples - length) / hop + 1;
  }

  /** The centre frequency of bin k in Hz. */
  public double binHz(int k, int rate) {
    return (double) k * rate / size;
  }

  /** Forward transform (e^-i) of {@link #size} points, in place, unscaled. */
  public void transform(double[] re, double[] im) {
    Fft.forward(re, im, twiddles);
  }

  /**
   * The spectra of two real frames at once: x[fromA ..] into aRe, aIm and y[fromB ..] into bRe,
   * bIm, bins 0 .. size / 2 (the arrays hold {@link #size} points; the upper ones are scratch).
   * Samples past the end of a signal count as zeros.
   */
  public void pair(double[] x, int fromA, double[] y, int fromB, double[] aRe, double[] aIm,
      double[] bRe, double[] bIm) {
    for (int i = 0; i < size; i++) {
      aRe[i] = i < length && fromA + i < x.length ? x[fromA + i] * window[i] : 0;
      aIm[i] = i < length && fromB + i < y.length ? y[fromB + i] * window[i] : 0;
    }
    transform(aRe, aIm);
    // Z = A + iB with A and B real: A_k = (Z_k + conj Z_{n-k}) / 2, B_k = (Z_k - conj Z_{n-k}) /
    // 2i. Bin k is written after its mirror n - k (above n / 2, or k itself) has been read.
    for (int k = 0; k <= size / 2; k++) {
      int m = (size - k) & (size - 1);
      double zr = aRe[k];
      double zi = aIm[k];
      double wr = aRe[m];
      double wi = aIm[m];
      bRe[k] = 0.5 * (zi + wi);
      bIm[k] = 0.5 * (wr - zr);
      aRe[k] = 0.5 * (zr + wr);
      aIm[k] = 0.5 * (zi - wi);
    }
  }

  /** The windowed spectrum of x[from ..] into re, im (all {@link #size} points). */
  public void frame(double[] x, int from, double[] re, double[] im) {
    for (int i = 0; i < size; i++) {
      re[i] = i < length && from + i < x.length ? x[from + i] * window[i] : 0;
      im[i] = 0;
    }
    transform(re, im);
  }
}

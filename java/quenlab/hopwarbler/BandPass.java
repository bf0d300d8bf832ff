package quenlab.hopwarbler;

/**
 * A second-order Butterworth band-pass filter designed by the bilinear transform, as used for
 * voice removal.
 *
 * <p>The analog prototype is H(s) = B&middot;s / (s&sup2; + B&middot;s + &Omega;<sub>0</sub>&sup2;)
 * with the band edges pre-warped (&Omega; = 2&middot;f<sub>s</sub>&middot;tan(&pi;f /
 * f<sub>s</sub>)), B = &Omega;<sub>high</sub> &minus; &Omega;<sub>low</sub> and
 * &Omega;<sub>0</sub>&sup2; = &Omega;<sub>low</sub>&middot;&Omega;<sub>high</sub>. After the
 * transform the digital filter has exactly &minus;3 dB at both band edges and passes its centre
 * frequency ({@link #centreHz()}, the geometric mean of the edges on the pre-warped scale) with
 * gain 1 and phase 0. The coefficients are normalised so that a[0] = 1, the form the native
 * direct-form filter expects (it never reads a[0]).
 */
public final class BandPass {
  private final double lowHz;
  private final double highHz;
  private final double sampleRate;
  private final double[] a;
  private final double[] b;

  private BandPass(double lowHz, double highHz, double sampleRate, double[] a, double[] b) {
    this.lowHz = lowHz;
    this.highHz = highHz;
    this.sampleRate = sampleRate;
    this.a = a;
    this.b = b;
  }

  /**
   * Designs the band-pass for the band {@code lowHz} .. {@code highHz}.
   *
   * @param lowHz lower &minus;3 dB edge in Hz, above 0 and below {@code highHz}
   * @param highHz upper &minus;3 dB edge in Hz, below the Nyquist frequency {@code sampleRate / 2}
   * @param sampleRate sample rate in Hz, above 0
   * @return the filter
   * @throws IllegalArgumentException if an argument is outside its range; the message names it
   */
  public static BandPass design(double lowHz, double highHz, double sampleRate) {
    if (!(sampleRate > 0) || Double.isInfinite(sampleRate)) {
      throw new IllegalArgumentException(
          "sampleRate must be a finite rate above 0 Hz, got " + sampleRate);
    }
    double nyquist = sampleRate / 2;
    if (!(lowHz > 0 && lowHz < nyquist)) {
      throw new IllegalArgumentException(
          "lowHz must be above 0 and below the Nyquist frequency " + nyquist + " Hz, got " + lowHz);
    }
    if (!(highHz > lowHz && highHz < nyquist)) {
      throw new IllegalArgumentException("highHz must be above lowHz (" + lowHz
          + " Hz) and below the Nyquist frequency " + nyquist + " Hz, got " + highHz);
    }
    // The factor 2 fs of the bilinear transform cancels out of the normalised coefficients, so
    // the design works with k = 1 and pre-warped edges tan(pi f / fs).
    double wLow = Math.tan(Math.PI * lowHz / sampleRate);
    double wHigh = Math.tan(Math.PI * highHz / sampleRate);
    double bandwidth = wHigh - wLow;
    double centreSquared = wLow * wHigh;
    double a0 = 1 + bandwidth + centreSquared;
    double[] a = {1.0, 2 * (centreSquared - 1) / a0, (1 - bandwidth + centreSquared) / a0};
    double[] b = {bandwidth / a0, 0.0, -bandwidth / a0};
    return new BandPass(lowHz, highHz, sampleRate, a, b);
  }

  /** {@return the feedback coefficients a[0..2], a[0] = 1 (a copy)} */
  public double[] a() {
    return a.clone();
  }

  /** {@return the feed-forward coefficients b[0..2] (a copy)} */
  public double[] b() {
    return b.clone();
  }

  /** {@return the lower &minus;3 dB edge in Hz} */
  public double lowHz() {
    return lowHz;
  }

  /** {@return the upper &minus;3 dB edge in Hz} */
  public double highHz() {
    return highHz;
  }

  /** {@return the sample rate in Hz the filter is designed for} */
  public double sampleRate() {
    return sampleRate;
  }

  /**
   * The frequency in Hz that the filter passes with gain 1 and phase 0: the edges' geometric mean
   * on the pre-warped scale, slightly below sqrt(lowHz &middot; highHz) for wide bands.
   *
   * @return the centre frequency in Hz
   */
  public double centreHz() {
    double wLow = Math.tan(Math.PI * lowHz / sampleRate);
    double wHigh = Math.tan(Math.PI * highHz / sampleRate);
    return Math.atan(Math.sqrt(wLow * wHigh)) * sampleRate / Math.PI;
  }

  @Override
  public String toString() {
    return String.format(java.util.Locale.ROOT,
        "BandPass[%.1f..%.1f Hz at %.0f Hz, b=(%.9g, %.9g, %.9g), a=(1, %.9g, %.9g)]", lowHz,
        highHz, sampleRate, b[0], b[1], b[2], a[1], a[2]);
  }
}

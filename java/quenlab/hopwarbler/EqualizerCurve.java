package quenlab.hopwarbler;

import java.util.Objects;

/**
 * An equaliser curve given as gains in dB at a few frequencies, interpolated linearly in dB over
 * the logarithm of the frequency between the points and held flat below the first and above the
 * last point.
 */
final class EqualizerCurve {
  /** Largest gain a point may ask for, in dB (either sign). */
  static final double MAX_GAIN_DB = 60.0;

  private final double[] hz;
  private final double[] gainDb;

  /**
   * @param hz frequencies in Hz, strictly increasing, each above 0 and at most {@code nyquistHz}
   * @param gainDb gains in dB, one per frequency, each within &plusmn;60 dB
   * @throws IllegalArgumentException if the arrays are empty, differ in length or hold a value
   *     outside its range
   */
  EqualizerCurve(double[] hz, double[] gainDb, double nyquistHz) {
    Objects.requireNonNull(hz, "hz");
    Objects.requireNonNull(gainDb, "gainDb");
    if (hz.length == 0) {
      throw new IllegalArgumentException("hz must hold at least one frequency");
    }
    if (gainDb.length != hz.length) {
      throw new IllegalArgumentException("gainDb must hold one gain per frequency: " + hz.length
          + " frequencies, " + gainDb.length + " gains");
    }
    for (int i = 0; i < hz.length; i++) {
      if (!(hz[i] > 0 && hz[i] <= nyquistHz)) {
        throw new IllegalArgumentException("hz[" + i
            + "] must be above 0 and at most the Nyquist frequency " + nyquistHz + " Hz, got "
            + hz[i]);
      }
      if (i > 0 && !(hz[i] > hz[i - 1])) {
        throw new IllegalArgumentException("hz must be strictly increasing, but hz[" + i
            + "] = " + hz[i] + " follows " + hz[i - 1]);
      }
      if (!(Math.abs(gainDb[i]) <= MAX_GAIN_DB)) {
        throw new IllegalArgumentException("gainDb[" + i + "] must be from -" + MAX_GAIN_DB
            + " to +" + MAX_GAIN_DB + " dB, got " + gainDb[i]);
      }
    }
    this.hz = hz.clone();
    this.gainDb = gainDb.clone();
  }

  /** Gain in dB at {@code f} Hz (f = 0 takes the first point's gain). */
  double gainDbAt(double f) {
    int last = hz.length - 1;
    if (f <= hz[0])
      return gainDb[0];
    if (f >= hz[last])
      return gainDb[last];
    int i = 1;
    while (hz[i] < f) i++;
    double t = Math.log(f / hz[i - 1]) / Math.log(hz[i] / hz[i - 1]);
    return gainDb[i - 1] + t * (gainDb[i] - gainDb[i - 1]);
  }

  /**
   * Linear gains for the FFT bins of a frame: entry k is the gain at k &middot; sampleRate /
   * frameSize Hz for k &lt; frameSize / 2; entries from frameSize / 2 on (bins the frame does not
   * have) repeat the last point's gain.
   *
   * @param length entries wanted, at least frameSize / 2
   */
  float[] binGains(int frameSize, double sampleRate, int length) {
    float[] gains = new float[length];
    int bins = frameSize / 2;
    for (int k = 0; k < length; k++) {
      double db = k < bins ? gainDbAt(k * sampleRate / frameSize) : gainDb[hz.length - 1];
      gains[k] = (float) Math.pow(10.0, db / 20.0);
    }
    return gains;
  }
}

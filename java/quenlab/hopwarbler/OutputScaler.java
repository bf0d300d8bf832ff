package quenlab.hopwarbler;

/**
 * Scales 16-bit samples that the native output stage has already amplified, soft-limited and
 * quantised, as if the stage had applied a larger gain.
 *
 * <p>The native stage computes {@code v = preamp * o / norm}; from a level {@code a = |v|} of 0.95
 * on it bends the sample to {@code v (1 + (a - 0.95) k)} ({@code k} = -0.25 in mono, -0.125 in
 * stereo), rails it at full scale past the curve's turning point, clamps it to &plusmn;1 and
 * truncates {@code v * 32767}. To scale a sample by {@code r >= 1}, the level before the limiter
 * is recovered (the curve is inverted on its rising branch), scaled, and sent through the same
 * limiter and clamp, so that the sample comes out as the native stage would have made it with the
 * pre-amplifier times {@code r}, to within a step of quantisation times {@code r}. A sample the
 * native stage clamped had a level the scaled one exceeds too, and stays clamped.
 */
final class OutputScaler {
  private static final double THRESHOLD = NativeFacts.LIMIT_THRESHOLD;
  private static final int LIMITED = NativeFacts.LIMITER_SAMPLE;
  private static final int FULL_SCALE = NativeFacts.FULL_SCALE;

  private final double k;
  private final double turningPoint;

  OutputScaler(int channels) {
    this.k = NativeFacts.limiterSlope(channels);
    this.turningPoint = NativeFacts.limiterTurningPoint(k);
  }

  /** Scales frame i of {@code samples} (interleaved) by {@code ratios[i] >= 1}, i < frames. */
  void scale(short[] samples, double[] ratios, int frames, int channels) {
    for (int i = 0; i < frames; i++) {
      double r = ratios[i];
      if (r == 1.0)
        continue;
      for (int c = 0; c < channels; c++) {
        int index = i * channels + c;
        int s = samples[index];
        double y = Math.abs(s) / (double) FULL_SCALE;
        double level = Math.abs(s) < LIMITED ? y : unlimit(y);
        samples[index] = limit(Math.copySign(level * r, s));
      }
    }
  }

  // The level a >= 0.95 that the limiter bent to y: the smaller root of k a^2 + (1 - 0.95 k) a = y,
  // and the turning point for a y at or past the curve's top (a railed sample).
  private double unlimit(double y) {
    double b = 1 - THRESHOLD * k;
    return (Math.sqrt(Math.max(0, b * b + 4 * k * y)) - b) / (2 * k);
  }

  // The native limiter and clamp; the scaled sample is rounded rather than truncated, so that
  // it lands on the nearest step whatever the ratio.
  private short limit(double v) {
    v = NativeFacts.limit(v, k, turningPoint);
    if (v < -1)
      return -FULL_SCALE;
    if (v > 1)
      return FULL_SCALE;
    return (short) Math.round(v * FULL_SCALE);
  }
}

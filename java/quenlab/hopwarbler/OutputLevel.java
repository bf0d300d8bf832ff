package quenlab.hopwarbler;

/**
 * Brings every output frame to the level it should have: the gain the live controls ramp, times
 * the correction of the overlap the laid frames really give ({@link OverlapGain}), over the
 * native tone gain.
 *
 * <p>The native pre-amplifier applies one gain per block. For each hop it takes one within the
 * range its frames ask for: the largest, which keeps the native quantisation finest, unless the
 * last hop's peak shows that it would push the signal into the native limiter; then the largest
 * that keeps clear of it (and at least the smallest), since a clamp cannot be undone. {@link
 * OutputScaler} then brings each frame from that gain to its own.
 */
final class OutputLevel {
  // Highest level a hop's native output may be expected to reach at the pre-amplifier picked for
  // it: a margin below the limiter's threshold.
  private static final double HEADROOM = 0.8;

  private final NativeInterface dsp;
  private final int channels;
  private final OutputScaler scaler;
  private OverlapGain overlap;
  private double[] gains = new double[0]; // per output frame of a hop: the gain it should have
  private double[] ratios = new double[0];
  private float nativePreamp = preampFor(1.0);
  private float lastNativePeak; // native peak of the last hop, at nativePreamp
  private double chosen;
  private float preamp;
  private double largestRatio; // of the last hop's frames

  OutputLevel(NativeInterface dsp, int channels) {
    this.dsp = dsp;
    this.channels = channels;
    this.scaler = new OutputScaler(channels);
  }

  /** The native pre-amplifier that gives a steady tone the linear gain {@code amplitude}. */
  static float preampFor(double amplitude) {
    return (float) (amplitude / NativeFacts.TONE_GAIN);
  }

  /** Sizes the state for frames of {@code frameSize}. Called between streams. */
  void resize(int frameSize) {
    overlap = new OverlapGain(frameSize);
    gains = new double[frameSize];
    ratios = new double[frameSize];
  }

  /** Forgets the frames laid: the state of a new stream. */
  void reset() {
    overlap.reset();
    lastNativePeak = 0;
  }

  /**
   * Works out the gains of the {@code step} frames the next hop gives and sets the native
   * pre-amplifier for them.
   */
  void beforeHop(int step, LiveControls controls) {
    overlap.lay(step, gains);
    controls.outputGains(gains, step);
    double least = Double.POSITIVE_INFINITY;
    double most = 0;
    for (int i = 0; i < step; i++) {
      least = Math.min(least, gains[i]);
      most = Math.max(most, gains[i]);
    }
    double loudest = lastNativePeak / nativePreamp; // the last hop's peak at a gain of 1
    chosen = loudest * most < HEADROOM ? most : Math.max(least, HEADROOM / loudest);
    preamp = (float) chosen;
    if (preamp != nativePreamp) {
      dsp.dspSetPreamp(preamp);
      nativePreamp = preamp;
    }
  }

  /**
   * Brings the {@code step} frames of {@code work} that the native driver made to their gains;
   * {@code nativePeak} is the peak the driver reported for them.
   */
  void afterHop(short[] work, int step, float nativePeak) {
    largestRatio = 0;
    for (int i = 0; i < step; i++) {
      ratios[i] = gains[i] == chosen ? 1.0 : gains[i] / preamp;
      largestRatio = Math.max(largestRatio, ratios[i]);
    }
    scaler.scale(work, ratios, step, channels);
    lastNativePeak = nativePeak;
  }

  /** {@return the largest factor by which the last hop's frames were scaled after the driver} */
  double largestRatio() {
    return largestRatio;
  }
}

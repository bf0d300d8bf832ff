package quenlab.hopwarbler;

/**
 * A vocoder format: the FFT frame size in samples and the analysis hops per frame.
 *
 * @param frameSize a power of two
 * @param overSampling from 1 to {@code frameSize}
 */
record Format(int frameSize, int overSampling) {
  /** The analysis hop in frames. */
  int hop() {
    return frameSize / overSampling;
  }

  /** The synthesis hop a stretch asks for, {@code hop / stretch}, within 1 .. frameSize. */
  double idealStep(double stretch) {
    return StepPlanner.idealStep(stretch, hop(), frameSize);
  }

  /** The native latency for the average synthesis hop {@code step}. */
  int latency(double step) {
    return NativeFacts.latency(frameSize, hop(), step);
  }
}

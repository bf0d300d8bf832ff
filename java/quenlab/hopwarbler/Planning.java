package quenlab.hopwarbler;

/**
 * The rules by which a {@link Processor} plans its work, for callers that check or show a plan
 * before a processor is open or while it runs: how the speed and the key combine into the
 * vocoder's stretch, which hops per frame a preset takes, which stretches a format can reach, and
 * which stretch of the output the note spectrum describes.
 */
public final class Planning {
  private Planning() {}

  /**
   * The factor by which a key change multiplies every frequency: 2<sup>semitones / 12</sup>.
   *
   * @param semitones the key change in semitones
   * @return the pitch factor
   */
  public static double pitchFactor(double semitones) {
    return Math.pow(2.0, semitones / 12.0);
  }

  /**
   * The stretch the vocoder runs at for a speed and a key change: {@code speed /} {@link
   * #pitchFactor}, since the key change's resampler then plays the stretched sound faster by the
   * pitch factor.
   *
   * @param speed the playback speed
   * @param semitones the key change in semitones
   * @return the vocoder's stretch, as a speed
   */
  public static double stretch(double speed, double semitones) {
    return speed / pitchFactor(semitones);
  }

  /**
   * {@return the fewest analysis hops per frame that let the synthesis hop of {@code stretch} fit
   * in the frame: {@code ceil(1 / stretch)}}
   *
   * @param stretch the vocoder's stretch, above 0
   */
  public static int minOverSampling(double stretch) {
    return (int) Math.ceil(1 / stretch - 1e-9);
  }

  /**
   * The hops per frame that {@code quality} takes for a frame of {@code frameSize} at {@code
   * stretch}: the preset's, raised to {@link #minOverSampling} for slow stretches, and at most
   * {@code frameSize}.
   *
   * @param quality the preset
   * @param frameSize the frame size in samples
   * @param stretch the vocoder's stretch, above 0
   * @return the hops per frame
   */
  public static int overSampling(Processor.Quality quality, int frameSize, double stretch) {
    return Math.min(frameSize, Math.max(quality.overSampling(), minOverSampling(stretch)));
  }

  /**
   * Whether a format reaches a stretch: the synthesis hop it asks for, {@code hop / stretch}, lies
   * within 1 .. {@code frameSize} frames (the hop being {@code frameSize / overSampling}). Outside
   * that range the processor applies the nearest end.
   *
   * @param frameSize the frame size in samples
   * @param overSampling the analysis hops per frame
   * @param stretch the vocoder's stretch, above 0
   * @return true if the stretch is within reach
   */
  public static boolean reaches(int frameSize, int overSampling, double stretch) {
    double step = frameSize / overSampling / stretch;
    return step >= 1 && step <= frameSize;
  }

  /**
   * {@return the slowest speed a format reaches at a key change: where the synthesis hop grows to
   * the whole frame, {@code hop / frameSize} times the pitch factor}
   *
   * @param frameSize the frame size in samples
   * @param overSampling the analysis hops per frame
   * @param semitones the key change in semitones
   */
  public static double lowestSpeed(int frameSize, int overSampling, double semitones) {
    return (double) (frameSize / overSampling) / frameSize * pitchFactor(semitones);
  }

  /**
   * {@return the fastest speed a format reaches at a key change: where the synthesis hop shrinks to
   * one frame, the hop times the pitch factor}
   *
   * @param frameSize the frame size in samples
   * @param overSampling the analysis hops per frame
   * @param semitones the key change in semitones
   */
  public static double highestSpeed(int frameSize, int overSampling, double semitones) {
    return (double) (frameSize / overSampling) * pitchFactor(semitones);
  }

  /**
   * {@return how many output frames before the newest one the note analyser's window is centred:
   * the bands of {@link Processor#spectrum()} describe the sound around that frame}
   */
  public static int spectrumLagFrames() {
    return NativeFacts.ANALYSER_HISTORY_FRAMES / 2;
  }

  /**
   * {@return the output frames between two refreshes of the note spectrum: 1/32 s, at least one
   * frame}
   *
   * @param sampleRate the stream's rate in Hz
   */
  public static int spectrumRefreshFrames(int sampleRate) {
    return Math.max(1, sampleRate / NativeFacts.ANALYSER_REFRESH_PER_SECOND);
  }
}

package quenlab.hopwarbler;

/**
 * What a stream has done, for any thread to read: the peak levels, the frame counts, the samples
 * the limiter and the clamp touched, and the note spectrum scaled to the input's level. Written
 * only by the processing thread.
 */
final class Meters {
  private volatile float lastPeak;
  private volatile float streamPeak;
  private volatile long inputFrames;
  private volatile long returnedFrames;
  private volatile long limitedSamples;
  private volatile long clampedSamples;
  private volatile double lastIdealStep; // the vocoder's average synthesis hop of the last hop

  Meters(double idealStep) {
    this.lastIdealStep = idealStep;
  }

  /** A new stream. */
  void reset() {
    inputFrames = 0;
    returnedFrames = 0;
    streamPeak = 0f;
    limitedSamples = 0;
    clampedSamples = 0;
  }

  void addInput(long frames) {
    inputFrames += frames;
  }

  void addReturned(long frames) {
    returnedFrames += frames;
  }

  /** The peak of the last {@code process} or {@code flush} call. */
  void setLastPeak(float peak) {
    lastPeak = peak;
  }

  float lastPeak() {
    return lastPeak;
  }

  /** A hop went through the native driver at {@code idealStep}. */
  void hop(double idealStep) {
    lastIdealStep = idealStep;
  }

  /** Frames with this peak were returned. */
  void addPeak(float peak) {
    if (peak > streamPeak)
      streamPeak = peak;
  }

  /** Counts the samples of {@code samples[from .. to)} that the limiter or the clamp touched. */
  void countLimits(short[] samples, int from, int to) {
    long limited = 0;
    long clamped = 0;
    for (int i = from; i < to; i++) {
      int magnitude = Math.abs(samples[i]);
      if (magnitude >= NativeFacts.LIMITER_SAMPLE) {
        limited++;
        if (magnitude >= NativeFacts.CLAMP_SAMPLE)
          clamped++;
      }
    }
    limitedSamples += limited;
    clampedSamples += clamped;
  }

  Processor.Stats stats() {
    return new Processor.Stats(
        inputFrames, returnedFrames, streamPeak, limitedSamples, clampedSamples);
  }

  /**
   * Scales the native analyser's bands, in place, to the level of the input, at the last average
   * synthesis hop.
   */
  void scaleSpectrum(float[] bands, int frameSize) {
    double scale = 1.0 / NativeFacts.analyserToneLevel(frameSize, lastIdealStep);
    for (int i = 0; i < bands.length; i++) bands[i] = (float) (bands[i] * scale);
  }
}

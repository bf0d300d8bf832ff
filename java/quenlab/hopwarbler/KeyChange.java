package quenlab.hopwarbler;

/**
 * Carries the key change: the vocoder stretches the sound by the pitch factor more than the speed
 * asks, and the resampler here plays it that much faster. While the key is unchanged the frames go
 * through as they are; once a stream has been resampled, the resampler stays in its path until the
 * stream ends, so that a change back to the original key runs on without a jump.
 */
final class KeyChange {
  private final Resampler resampler;
  private final int channels;
  private short[] resampled = new short[0];

  KeyChange(int channels) {
    this.channels = channels;
    this.resampler = new Resampler(channels, 1.0);
  }

  /** The resampler, whose ratio {@link Settings#setPitch} sets. */
  Resampler resampler() {
    return resampler;
  }

  /** Sizes the output room for hops of up to {@code frameSize} frames. Called between streams. */
  void resize(int frameSize) {
    double lowestRatio = Planning.pitchFactor(Processor.MIN_PITCH);
    resampled = new short[Resampler.maxOutputFrames(frameSize, lowestRatio) * channels];
  }

  /**
   * Hands {@code frames} vocoder frames from {@code work[from ...]} to {@code out}, at the pitch
   * factor in force. Returns the frames appended.
   */
  int deliver(short[] work, int from, int frames, double pitchFactor, SampleBuffer out) {
    if (pitchFactor == 1.0 && !resampler.engaged()) {
      resampler.pass(work, from, frames);
      out.append(work, from, frames * channels);
      return frames;
    }
    int made = resampler.process(work, from, frames, resampled, 0);
    out.append(resampled, 0, made * channels);
    return made;
  }

  /** Drains the resampler at the end of a stream into {@code out}. Returns the frames appended. */
  int finish(SampleBuffer out) {
    int tail = resampler.finish(resampled, 0);
    out.append(resampled, 0, tail * channels);
    return tail;
  }
}

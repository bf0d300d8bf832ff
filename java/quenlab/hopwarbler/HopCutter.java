package quenlab.hopwarbler;

import java.util.Arrays;

/**
 * Cuts input of any block size into whole analysis hops, the only blocks the processor hands the
 * native driver, so that the output does not depend on how the input was cut. A hop that lies
 * whole in a block goes out from the caller's array; the rest is gathered until a hop is full.
 */
final class HopCutter {
  /** Where the cut input goes. */
  interface Sink {
    /** {@code frames} more input frames were taken (before the hop they belong to goes out). */
    void owe(int frames);

    /** A whole hop of input lies at {@code source[position ...]}, interleaved. */
    void hop(short[] source, int position);
  }

  private final int channels;
  private int hop;
  private short[] pending = new short[0];
  private short[] silence = new short[0];
  private int pendingFrames;

  HopCutter(int channels) {
    this.channels = channels;
  }

  /** Sizes the buffers for hops of {@code hop} frames. Called between streams. */
  void resize(int hop) {
    this.hop = hop;
    pending = new short[hop * channels];
    silence = new short[hop * channels];
  }

  /** Forgets a partial hop: the state of a new stream. */
  void clear() {
    pendingFrames = 0;
  }

  /** Input frames held until their hop is complete. */
  int pendingFrames() {
    return pendingFrames;
  }

  /** Cuts {@code frames} frames from {@code in[offset ...]} into hops for {@code sink}. */
  void cut(short[] in, int offset, int frames, Sink sink) {
    int position = offset;
    int remaining = frames;
    while (remaining > 0) {
      if (pendingFrames == 0 && remaining >= hop) {
        sink.owe(hop);
        sink.hop(in, position);
        position += hop * channels;
        remaining -= hop;
      } else {
        int take = Math.min(remaining, hop - pendingFrames);
        System.arraycopy(in, position, pending, pendingFrames * channels, take * channels);
        sink.owe(take);
        pendingFrames += take;
        position += take * channels;
        remaining -= take;
        if (pendingFrames == hop) {
          sink.hop(pending, 0);
          pendingFrames = 0;
        }
      }
    }
  }

  /** Completes a partial hop with silence and hands it to {@code sink}, if there is one. */
  void flush(Sink sink) {
    if (pendingFrames == 0)
      return;
    Arrays.fill(pending, pendingFrames * channels, pending.length, (short) 0);
    sink.owe(hop - pendingFrames);
    sink.hop(pending, 0);
    pendingFrames = 0;
  }

  /** A hop of silence, to drain the native pipeline with. */
  short[] silence() {
    return silence;
  }
}

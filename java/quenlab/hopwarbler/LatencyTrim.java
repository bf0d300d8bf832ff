package quenlab.hopwarbler;

/**
 * Removes the native pipeline's latency from the start of a stream and cuts its end at the length
 * the stream owes, counting the vocoder frames let through.
 *
 * <p>The native vocoder lays the frame centred on input frame t at output frame {@code t / speed +
 * latency}; dropping the first {@code latency} frames lines output frame n up with input frame
 * {@code n * speed}. The latency of a stream is that of its first hop.
 */
final class LatencyTrim {
  private int toDiscard;
  private long limit = Long.MAX_VALUE;
  private long emitted;
  private volatile int running = -1; // the latency of the running stream, -1 between streams

  /** The first hop of a stream goes out, with this latency. */
  void start(int latency) {
    running = latency;
    toDiscard = latency;
  }

  /** A new stream: nothing let through yet. */
  void reset() {
    emitted = 0;
  }

  /** {@return the latency of the running stream, or -1 while none runs} Any thread. */
  int latency() {
    return running;
  }

  /** Of {@code frames} new vocoder frames, how many at the start fall into the latency. */
  int skip(int frames) {
    int skip = Math.min(toDiscard, frames);
    toDiscard -= skip;
    return skip;
  }

  /** Of {@code frames} frames past the latency, how many the stream still owes; counts them. */
  int keep(int frames) {
    int count = (int) Math.min(frames, limit - emitted);
    if (count > 0)
      emitted += count;
    return count;
  }

  /** The stream ends once {@code frames} frames have been let through. */
  void endAt(long frames) {
    limit = frames;
  }

  /** {@return the vocoder frames let through in this stream} */
  long emitted() {
    return emitted;
  }

  /** The stream has ended. */
  void finish() {
    limit = Long.MAX_VALUE;
    running = -1;
  }
}

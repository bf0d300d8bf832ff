package quenlab.hopwarbler.cli;

import java.io.IOException;

/**
 * Plays tracks one after another as one stream, each next one starting under the end of the one
 * before with an equal-power crossfade: over the fade the outgoing track is weighted by cos(p
 * &pi;/2) and the incoming one by sin(p &pi;/2) as p runs from 0 to 1, so that two unrelated
 * sounds of the same level keep the level of one throughout.
 *
 * <p>A fade starts when the outgoing track has the fade's length left to play (as it estimates
 * it) and ends with it; if the speed changes during the fade, p follows the new estimate, so the
 * incoming track is at full level when the outgoing one ends. A fade lasts at most half of either
 * track, and a track whose length is unknown is followed without overlap. The next track is opened
 * once the current one is within a fade's length of its end; with a fade of 0, tracks follow each
 * other gaplessly and the next one is only opened once the one before is over.
 */
final class Crossfader {
  /** One track, read at the output's format. */
  interface Track {
    /**
     * Reads up to {@code frames} frames into {@code out} (interleaved, from index 0); fewer only at
     * the end of the track, after which every call returns 0.
     */
    int read(short[] out, int frames) throws IOException;

    /** Frames still to come at the current settings, estimated; -1 if the length is unknown. */
    long remainingFrames();

    /** The whole track's length in frames at the current settings; -1 if unknown. */
    long lengthFrames();

    /** The frames the track still holds back, for a stop half-way: the last it will give. */
    short[] tail();
  }

  /** Where the tracks come from. */
  interface Tracks {
    /** Opens the next track of the list that can be played, or returns null at its end. */
    Track next();

    /** Called once for every track given, when it is over; {@code stopped} if cut short. */
    void ended(Track track, boolean stopped);
  }

  // sin(k / STEPS * pi / 2) for k = 0 .. STEPS, looked up with linear interpolation: the gains
  // are within 1e-6 of the functions, and no sample of the fade calls a trigonometric function.
  private static final int STEPS = 1024;
  private static final float[] SINE = new float[STEPS + 2];

  static {
    for (int k = 0; k <= STEPS; k++) SINE[k] = (float) Math.sin(k * Math.PI / (2 * STEPS));
    SINE[STEPS + 1] = 1f;
  }

  private final Tracks tracks;
  private final int channels;
  private final long fadeFrames;
  private final short[] incomingBlock;
  private Track current;
  private Track incoming; // during a fade; null when fading out the last track
  private Track upcoming; // opened to come after the current track
  private boolean asked; // whether the list was asked for the track after the current one
  private boolean fading;
  private boolean listEnded;
  private double progress; // p of the fade
  private long fadeCap; // frames the fade may still last at most
  private boolean skipping; // a fade asked for by skip(): it keeps to its own length
  private boolean currentDone; // the outgoing track ended before the fade did

  /**
   * @param tracks the list
   * @param channels channels of the output
   * @param fadeFrames length of a crossfade in output frames; 0 for none
   * @param blockFrames the most frames {@link #mix} is asked for at a time
   */
  Crossfader(Tracks tracks, int channels, long fadeFrames, int blockFrames) {
    this.tracks = tracks;
    this.channels = channels;
    this.fadeFrames = fadeFrames;
    this.incomingBlock = new short[blockFrames * channels];
  }

  /** Starts with {@code first}, already opened, instead of asking the list for it. */
  void start(Track first) {
    current = first;
  }

  /** The track playing, the outgoing one during a fade; null before the first and at the end. */
  Track current() {
    return current;
  }

  /** The incoming track while a fade runs, else null. */
  Track incoming() {
    return fading ? incoming : null;
  }

  /** The weight of the current track now: 1 outside a fade. */
  double currentGain() {
    return fading ? gain(1 - progress) : 1;
  }

  /** The weight of the incoming track now: 0 outside a fade. */
  double incomingGain() {
    return fading ? gain(progress) : 0;
  }

  /**
   * Writes the next frames of the stream into {@code out}: up to {@code frames}, fewer where a
   * track or a fade ends (to be called again), 0 at the end of the list.
   */
  int mix(short[] out, int frames) throws IOException {
    while (true) {
      if (current == null && !takeNext())
        return 0;
      if (fading) {
        int n = mixFade(out, frames);
        if (n > 0)
          return n;
        continue;
      }
      int n = frames;
      long remaining = fadeFrames > 0 ? current.remainingFrames() : -1;
      // Opened while the block that reaches the fade's start is still to be cut there.
      if (remaining >= 0 && remaining <= fadeFrames + frames)
        openUpcoming();
      if (remaining >= 0 && upcoming != null) {
        long fade = fadeLength(remaining);
        if (remaining > fade) {
          n = (int) Math.min(n, remaining - fade);
        } else {
          startFade(fade, false);
          continue;
        }
      }
      int read = current.read(out, n);
      if (read > 0)
        return read;
      endCurrent(false);
    }
  }

  // Makes the next track current; false at the end of the list.
  private boolean takeNext() {
    openUpcoming();
    current = upcoming;
    upcoming = null;
    asked = false;
    return current != null;
  }

  // Opens the track after the current one, once: the length of a crossfade depends on it.
  private void openUpcoming() {
    if (!asked && !listEnded) {
      asked = true;
      upcoming = tracks.next();
      if (upcoming == null)
        listEnded = true;
    }
  }

  // The crossfade from the current track to the upcoming one with `remaining` frames left: at
  // most half of either track, so that no track fades out while it still fades in.
  private long fadeLength(long remaining) {
    long fade = fadeFrames;
    long length = current.lengthFrames();
    if (length >= 0)
      fade = Math.min(fade, length / 2);
    long next = upcoming != null ? upcoming.lengthFrames() : -1;
    if (next >= 0)
      fade = Math.min(fade, next / 2);
    return remaining >= 0 ? Math.min(fade, remaining) : fade;
  }

  /** The track opened to follow the current one, not yet heard; null if none. */
  Track upcoming() {
    return upcoming;
  }

  /**
   * Moves on to the next track: with a crossfade, one starts now (unless one runs already);
   * without, the current track stops at once. Returns false if nothing changed.
   */
  boolean skip() {
    if (current == null || fading)
      return false;
    if (fadeFrames == 0) {
      endCurrent(true);
      return true;
    }
    openUpcoming();
    long remaining = current.remainingFrames();
    long fade = Math.min(fadeFrames, remaining >= 0 ? remaining : fadeFrames);
    long next = upcoming != null ? upcoming.lengthFrames() : -1;
    startFade(next >= 0 ? Math.min(fade, next / 2) : fade, true);
    return true;
  }

  /**
   * After a stop: the frames the tracks playing still held back, weighted as they were when
   * stopped; each track is then over.
   */
  short[] tail() {
    if (current == null)
      return new short[0];
    double outGain = currentGain();
    short[] a = current.tail();
    short[] b = fading && incoming != null ? incoming.tail() : new short[0];
    short[] mixed = new short[Math.max(a.length, b.length)];
    double inGain = incomingGain();
    for (int i = 0; i < mixed.length; i++) {
      double v = (i < a.length ? a[i] * outGain : 0) + (i < b.length ? b[i] * inGain : 0);
      mixed[i] = clamp(v);
    }
    if (fading && incoming != null)
      tracks.ended(incoming, true);
    tracks.ended(current, true);
    current = null;
    incoming = null;
    fading = false;
    listEnded = true;
    return mixed;
  }

  // Starts a fade of `length` frames into the upcoming track, or out of the last one.
  private void startFade(long length, boolean skip) {
    incoming = upcoming;
    upcoming = null;
    asked = false;
    fading = true;
    skipping = skip;
    currentDone = false;
    progress = 0;
    fadeCap = length;
  }

  // One block of a fade: the outgoing track weighted down, the incoming one up.
  private int mixFade(short[] out, int frames) throws IOException {
    long left = fadeCap;
    if (!skipping && !currentDone) {
      long remaining = current.remainingFrames();
      if (remaining >= 0)
        left = Math.min(left, remaining);
    }
    if (left <= 0) {
      endFade();
      return 0;
    }
    int n = (int) Math.min(frames, left);
    int got = currentDone ? 0 : current.read(out, n);
    if (got < n)
      currentDone = true;
    int samples = n * channels;
    for (int i = got * channels; i < samples; i++) out[i] = 0;
    int gotIn = incoming != null ? incoming.read(incomingBlock, n) : 0;
    for (int i = gotIn * channels; i < samples; i++) incomingBlock[i] = 0;
    double from = progress;
    double to = from + (1 - from) * n / left;
    double step = (to - from) / n;
    for (int f = 0, i = 0; f < n; f++) {
      double p = from + step * f;
      double outGain = gain(1 - p);
      double inGain = gain(p);
      for (int c = 0; c < channels; c++, i++)
        out[i] = clamp(out[i] * outGain + incomingBlock[i] * inGain);
    }
    progress = to;
    fadeCap -= n;
    if (n == left)
      endFade();
    return n;
  }

  private void endFade() {
    fading = false;
    skipping = false;
    Track next = incoming;
    incoming = null;
    endCurrent(false);
    current = next;
  }

  private void endCurrent(boolean stopped) {
    Track ended = current;
    current = null;
    tracks.ended(ended, stopped);
  }

  // sin(p pi / 2) for p in 0 .. 1, from the table.
  static double gain(double p) {
    double x = Math.max(0, Math.min(1, p)) * STEPS;
    int k = (int) x;
    return SINE[k] + (SINE[k + 1] - SINE[k]) * (x - k);
  }

  private static short clamp(double v) {
    long r = Math.round(v);
    return (short) Math.max(Short.MIN_VALUE, Math.min(Short.MAX_VALUE, r));
  }
}

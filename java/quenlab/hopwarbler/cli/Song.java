package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayDeque;
import java.util.Arrays;
import javax.sound.sampled.AudioInputStream;
import quenlab.hopwarbler.Processor;
import quenlab.hopwarbler.Resampler;

/**
 * One input of {@code play} on its way to the output: decoded ahead into memory ({@link
 * SongMemory}), processed at its own rate and channels by a processor of its own, then, where the
 * output was opened for another format, folded or spread to the output's channels and converted
 * to its rate.
 *
 * <p>The song can seek and loop a passage from A to B. Each jump starts a new stream of the
 * processor at the new point ({@link Processor#reset}), and the sound already on its way (the
 * frames made but not played, else what the processor holds back) fades out over {@value
 * #SEAM_MILLISECONDS} ms under the new stream's start, on raised-cosine gains that add up to one,
 * so that a jump does not click. A loop pass feeds the input a little past B for that fade, and
 * its own length is exactly what the passage from A to B gives at the speed it was played at: B
 * &minus; A frames at speed 1. The speed trainer sets each pass's speed before it starts.
 */
final class Song implements Crossfader.Track, AutoCloseable {
  /** Length of the crossfade at a seek or at the loop's return to A. */
  static final int SEAM_MILLISECONDS = 20;

  /** Its place in the list, from 1. */
  final int number;
  final InputFile in;
  final Processor processor;
  private final SongMemory memory;
  private final int inChannels;
  private final int block; // input frames per processor call
  private final short[] feed;
  private final int seamFrames;
  private final int channels; // of the output
  private final Resampler resampler; // null when the rates agree
  private final double ratio; // song frames per output frame
  private final boolean converts;
  private short[] samples = new short[0];
  private short[] mapped = new short[0];
  // Converted frames not yet read: pending[from .. to) in samples.
  private short[] pending = new short[0];
  private int from;
  private int to;
  // The song's processed frames not yet taken, at its own rate: made[0 .. madeFrames) frames.
  private short[] made = new short[0];
  private int madeFrames;
  private long madeTotal; // frames made that are or will be heard, over all streams
  // The streams started whose first frame has not been taken yet: {made frame, input frame}.
  private final ArrayDeque<long[]> starts = new ArrayDeque<>();
  private double heard; // input frame of the next made frame taken
  private long position; // next input frame to feed
  private long fedTotal; // input frames fed over all streams
  private long streamBase; // made frame where the current stream's first frame lands
  private double streamOwed; // output frames owed for the input of the current stream
  private long streamOut; // output frames the current stream has given, after its run-up
  private long runUpFrames; // output frames of the current stream's run-up
  private long skipFrames; // of them, those still to drop
  private long passEnd = Long.MAX_VALUE; // stream frame where a loop pass ends
  private boolean passEnding; // fed to B; now feeding past it for the seam
  private long seamFeedEnd;
  // The tail of the last stream, faded out under the start of the current one.
  private short[] fadeOut = new short[0];
  private int fadeFrames;
  private int fadeDone;
  private short[] nextFade = new short[0]; // the tail of a pass, gathered as it is made
  private int nextFadeFrames;
  private long loopA = -1;
  private long loopB = -1;
  private int pass; // loop passes started, 0 without a loop
  private Trainer trainer;
  private long given; // frames of the output read
  private int peak; // of the song's own output, 32768 being full scale
  private boolean finished; // the input has ended and the processor is drained
  private boolean sourceEnded;

  /** The speed trainer: a loop's passes from {@code start} by {@code step} up to {@code end}. */
  record Trainer(double start, double step, double end) {
    /** {@return the speed of pass {@code pass} (from 1)} */
    double speed(int pass) {
      double v = start + step * (pass - 1);
      v = step >= 0 ? Math.min(end, v) : Math.max(end, v);
      return Math.round(v * 1e6) / 1e6;
    }
  }

  private Song(int number, InputFile in, Processor processor, int rate, int channels, int block) {
    this.number = number;
    this.in = in;
    this.processor = processor;
    this.inChannels = in.channels;
    this.block = block;
    this.feed = new short[block * in.channels];
    this.seamFrames = Math.max(1, in.sampleRate * SEAM_MILLISECONDS / 1000);
    this.channels = channels;
    this.ratio = in.sampleRate / (double) rate;
    this.converts = in.sampleRate != rate || in.channels != channels;
    this.resampler = in.sampleRate != rate ? new Resampler(channels, ratio) : null;
    AudioInputStream source = Dither.applies(in.format) ? Dither.reduce(in.stream) : in.stream;
    this.memory = new SongMemory(source, in.channels, in.sampleRate, name());
  }

  /**
   * Plays {@code in} through {@code processor} into an output of {@code rate} and {@code
   * channels}, taking the input {@code block} frames at a time.
   *
   * @throws CliException if the song's rate is too far from the output's to be converted
   */
  static Song of(int number, InputFile in, Processor processor, int rate, int channels,
      int block) {
    double ratio = in.sampleRate / (double) rate;
    if (!(ratio >= Resampler.MIN_RATIO && ratio <= Resampler.MAX_RATIO)) {
      throw CliException.io("cannot play '" + in.path + "' after the first song: its "
          + in.sampleRate + " Hz is more than four times off the output's " + rate + " Hz");
    }
    return new Song(number, in, processor, rate, channels, block);
  }

  /** The input position heard, in frames of the input. */
  long inputFrames() {
    return (long) heard;
  }

  /** Input frames fed to the processor over every stream. */
  long fedFrames() {
    return fedTotal;
  }

  /** The song's length in frames: the input's, or what the decoder found; -1 while unknown. */
  long songFrames() {
    return in.frames >= 0 ? in.frames : memory.length();
  }

  /** The peak of the song's output, 1 being full scale. */
  double peak() {
    return peak / 32768.0;
  }

  /** The loop's start, or -1 while none is set. */
  long loopStart() {
    return loopA;
  }

  /** The loop's end, or -1 while none is set. */
  long loopEnd() {
    return loopB;
  }

  /** Markers 1 to 9 (index 0 unused): input frames, -1 where unset. */
  final long[] markers = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

  /** Where the song started: where {@code r} returns to without a loop. */
  long startFrame;

  /** The loop's start set with a key before its end was; -1 if none. */
  long pendingA = -1;

  /** The loop pass playing, from 1; 0 without a loop. */
  int pass() {
    return pass;
  }

  Trainer trainer() {
    return trainer;
  }

  /**
   * Seeks to input frame {@code to} (clamped to the song), through the seam's crossfade. Without
   * a loop the song plays on from there; with one, it plays on to B, and a point past B is A.
   */
  void seek(long to) {
    long length = songFrames();
    long target = Math.max(0, length >= 0 ? Math.min(to, Math.max(0, length - 1)) : to);
    if (loopA >= 0 && target >= loopB)
      target = loopA; // past the loop's end: round to its start
    jump(target);
  }

  /**
   * Loops the passage from {@code a} to {@code b} (input frames, clamped to the song); the pass
   * under way ends at B if it has not passed it, else at once.
   */
  void setLoop(long a, long b) {
    long length = songFrames();
    long end = length >= 0 ? Math.min(b, length) : b;
    if (!(a >= memory.earliest() && end > a))
      return;
    loopA = a;
    loopB = end;
    if (pass == 0)
      pass = 1;
  }

  /** Plays on past B: the loop is gone, and so are the trainer's passes. */
  void clearLoop() {
    loopA = loopB = -1;
    pass = 0;
    passEnding = false;
    passEnd = Long.MAX_VALUE;
  }

  /** Sets the speed trainer, which takes effect from the next pass (or the first, at start). */
  void setTrainer(Trainer trainer) {
    this.trainer = trainer;
  }

  /**
   * Starts the song at {@code from} (an input frame), with the trainer's first speed when a loop
   * and a trainer are set; before the first read.
   */
  void start(long from) {
    startFrame = from;
    if (trainer != null && loopA >= 0)
      processor.setSpeed(trainer.speed(1));
    if (from > 0)
      jump(from);
  }

  @Override
  public int read(short[] out, int frames) throws IOException {
    int n = converts ? readConverted(out, frames) : readDirect(out, frames);
    given += n;
    return n;
  }

  private int readConverted(short[] out, int frames) throws IOException {
    while (to - from < frames * channels && !sourceEnded) convertMore(frames);
    int n = Math.min(frames, (to - from) / channels);
    System.arraycopy(pending, from, out, 0, n * channels);
    from += n * channels;
    return n;
  }

  private int readDirect(short[] out, int frames) throws IOException {
    if (sourceEnded)
      return 0;
    int n = read(frames) / in.channels;
    System.arraycopy(samples, 0, out, 0, n * channels);
    if (n < frames)
      sourceEnded = true;
    return n;
  }

  // Takes up to `frames` frames of the song's processed sound into samples; returns the samples
  // taken, fewer than asked only at the song's end.
  private int read(int frames) throws IOException {
    try {
      while (madeFrames < frames && !finished) step();
    } catch (IOException e) {
      throw in.readError(e);
    }
    int n = Math.min(frames, madeFrames);
    int count = n * inChannels;
    if (samples.length < count)
      samples = new short[count];
    System.arraycopy(made, 0, samples, 0, count);
    System.arraycopy(made, count, made, 0, (madeFrames - n) * inChannels);
    madeFrames -= n;
    for (int i = 0; i < count; i++) peak = Math.max(peak, Math.abs(samples[i]));
    advanceHeard(n);
    return count;
  }

  // Moves the heard position over `n` frames taken, into the next stream where one starts.
  private void advanceHeard(int n) {
    long taken = madeTotal - madeFrames; // after this take
    long before = taken - n;
    while (!starts.isEmpty() && starts.peek()[0] <= taken) {
      long[] start = starts.poll();
      before = start[0];
      heard = start[1];
    }
    heard += (taken - before) * processor.effectiveSpeed();
  }

  // One step of the stream: feeds a block of input, or ends a loop pass, or drains the end.
  private void step() throws IOException {
    boolean looping = loopA >= 0;
    if (looping && !passEnding && position >= loopB) {
      // B reached: the pass ends where its input does, and the input runs on for the seam.
      // A B set behind the input fed (while playing) ends this pass where the input has got to.
      passEnd = Math.max(streamOut, Math.round(streamOwed) - runUpFrames);
      passEnding = true;
      // Past B by the seam and a frame of analysis, so that no frame of the seam's fade is made
      // from an analysis window that reaches the end of what was fed.
      seamFeedEnd = position
          + (long) Math.ceil((seamFrames + processor.latencyFrames()) * processor.effectiveSpeed())
          + 2;
      return;
    }
    if (looping && passEnding && position >= seamFeedEnd) {
      endPass();
      return;
    }
    long limit = !looping ? Long.MAX_VALUE : passEnding ? seamFeedEnd : loopB;
    int n = (int) Math.min(block, limit - position);
    int got = memory.read(position, feed, n);
    if (got == 0) {
      if (looping) {
        if (!passEnding)
          passEnd = Math.max(streamOut, Math.round(streamOwed) - runUpFrames);
        passEnding = true;
        endPass();
        return;
      }
      append(processor.flush());
      finishFade();
      finished = true;
      return;
    }
    short[] out = processor.process(feed, 0, got);
    streamOwed += got / processor.effectiveSpeed();
    position += got;
    fedTotal += got;
    append(out);
  }

  // Ends a loop pass: drains the stream, whose frames past the pass's end make the seam's fade,
  // and starts the next pass at A, at the trainer's next speed.
  private void endPass() {
    append(processor.flush());
    short[] tail = Arrays.copyOf(nextFade, nextFadeFrames * inChannels);
    int frames = nextFadeFrames;
    nextFadeFrames = 0;
    pass++;
    if (trainer != null)
      processor.setSpeed(trainer.speed(pass));
    startStream(loopA, tail, frames);
  }

  // Jumps to `target`: the sound on its way fades out under the new stream's start.
  private void jump(long target) {
    int unplayed = madeFrames;
    short[] tail;
    int frames;
    if (unplayed >= seamFrames || finished) {
      frames = Math.min(unplayed, seamFrames);
      tail = Arrays.copyOf(made, frames * inChannels);
      processor.reset();
    } else {
      // What the processor holds back continues the sound; the loop's cut does not apply to it.
      short[] held = processor.flush();
      frames = Math.min(seamFrames, unplayed + held.length / inChannels);
      tail = new short[frames * inChannels];
      System.arraycopy(made, 0, tail, 0, unplayed * inChannels);
      System.arraycopy(held, 0, tail, unplayed * inChannels, (frames - unplayed) * inChannels);
    }
    madeTotal -= madeFrames;
    madeFrames = 0;
    long heardTo = madeTotal;
    starts.removeIf(start -> start[0] >= heardTo); // jumps whose sound was never heard
    nextFadeFrames = 0;
    finished = false;
    sourceEnded = false;
    startStream(target, tail, frames);
  }

  // Starts a new stream at input frame `to`, with `tail` (of `frames` frames) to fade out under it.
  // The stream starts a frame of analysis earlier where the song allows, and the output of that
  // run-up is dropped: the sound at `to` is then made as it would be in a stream that ran through.
  private void startStream(long to, short[] tail, int frames) {
    processor.reset();
    long at = memory.hold(to); // a song longer than the memory allows has let its start go
    long runUp = Math.min(at - memory.earliest(), processor.frameSize());
    position = at - runUp;
    runUpFrames = Math.round(runUp / processor.effectiveSpeed());
    skipFrames = runUpFrames;
    streamBase = madeTotal;
    streamOwed = 0;
    streamOut = 0;
    passEnd = Long.MAX_VALUE;
    passEnding = false;
    fadeOut = tail;
    fadeFrames = frames;
    fadeDone = 0;
    starts.add(new long[] {madeTotal, at});
  }

  // Routes one call's output of the current stream: up to a loop pass's end into made (the start
  // mixed with the last stream's fading tail), the seam's length after it into the next tail.
  private void append(short[] out) {
    int all = out.length / inChannels;
    int skip = (int) Math.min(all, skipFrames);
    skipFrames -= skip;
    int frames = all - skip;
    int keep = (int) Math.max(0, Math.min(frames, passEnd - streamOut));
    makeMadeRoom(keep);
    int base = madeFrames * inChannels - skip * inChannels;
    for (int f = skip; f < skip + keep; f++) {
      if (fadeDone < fadeFrames) {
        double w = fadeGain(fadeDone, fadeFrames);
        for (int c = 0; c < inChannels; c++) {
          made[base + f * inChannels + c] = clamp(out[f * inChannels + c] * w
              + fadeOut[fadeDone * inChannels + c] * (1 - w));
        }
        fadeDone++;
      } else {
        System.arraycopy(out, f * inChannels, made, base + f * inChannels, inChannels);
      }
    }
    madeFrames += keep;
    madeTotal += keep;
    int seam = Math.max(0, Math.min(frames - keep, seamFrames - nextFadeFrames));
    if (seam > 0) {
      if (nextFade.length < seamFrames * inChannels)
        nextFade = new short[seamFrames * inChannels];
      System.arraycopy(out, (skip + keep) * inChannels, nextFade, nextFadeFrames * inChannels,
          seam * inChannels);
      nextFadeFrames += seam;
    }
    streamOut += frames;
  }

  // At the song's end, what is left of a fading tail fades out over silence.
  private void finishFade() {
    int left = fadeFrames - fadeDone;
    if (left <= 0)
      return;
    makeMadeRoom(left);
    for (int f = 0; f < left; f++, fadeDone++) {
      double w = fadeGain(fadeDone, fadeFrames);
      for (int c = 0; c < inChannels; c++) {
        made[(madeFrames + f) * inChannels + c] =
            clamp(fadeOut[fadeDone * inChannels + c] * (1 - w));
      }
    }
    madeFrames += left;
    madeTotal += left;
  }

  private void makeMadeRoom(int frames) {
    int need = (madeFrames + frames) * inChannels;
    if (made.length < need)
      made = Arrays.copyOf(made, Math.max(need, 2 * made.length));
  }

  // The gain of the incoming stream at frame `k` of a seam of `n`: a raised cosine from 0 to 1,
  // sin^2 of the crossfader's table, whose complement (cos^2) the outgoing tail gets.
  private static double fadeGain(int k, int n) {
    double g = Crossfader.gain((k + 0.5) / n);
    return g * g;
  }

  private static short clamp(double v) {
    long r = Math.round(v);
    return (short) Math.max(Short.MIN_VALUE, Math.min(Short.MAX_VALUE, r));
  }

  // Converts about `frames` output frames' worth of the song into pending.
  private void convertMore(int frames) throws IOException {
    int want = Math.max(1, (int) Math.ceil(frames * ratio));
    int count = read(want);
    int got = count / in.channels;
    sourceEnded = got < want;
    convert(samples, got);
  }

  // Maps `frames` frames of song samples to the output's channels and rate, into pending, and
  // after the source's end drains the rate converter too.
  private void convert(short[] source, int frames) {
    if (mapped.length < frames * channels)
      mapped = new short[frames * channels];
    if (in.channels == channels) {
      System.arraycopy(source, 0, mapped, 0, frames * channels);
    } else if (channels == 2) {
      for (int f = 0; f < frames; f++) mapped[2 * f] = mapped[2 * f + 1] = source[f];
    } else {
      for (int f = 0; f < frames; f++)
        mapped[f] = (short) Math.floorDiv(source[2 * f] + source[2 * f + 1], 2);
    }
    int room = resampler != null ? Resampler.maxOutputFrames(frames, ratio)
            + Resampler.maxOutputFrames(0, ratio)
                                 : frames;
    makeRoom(room * channels);
    if (resampler == null) {
      System.arraycopy(mapped, 0, pending, to, frames * channels);
      to += frames * channels;
      return;
    }
    if (frames > 0)
      to += channels * resampler.process(mapped, 0, frames, pending, to);
    if (sourceEnded)
      to += channels * resampler.finish(pending, to);
  }

  private void makeRoom(int samples) {
    if (from > 0) {
      System.arraycopy(pending, from, pending, 0, to - from);
      to -= from;
      from = 0;
    }
    if (pending.length < to + samples) {
      short[] larger = new short[Math.max(to + samples, 2 * pending.length)];
      System.arraycopy(pending, 0, larger, 0, to);
      pending = larger;
    }
  }

  /**
   * Output frames still to come: of the whole length, where each input frame of the current stream
   * counts at the speed it was fed with and the rest at the current one (the total the processor
   * keeps to), what was not read yet; unknown while a loop is set.
   */
  @Override
  public long remainingFrames() {
    // An MP3's stated length plans the crossfade; the file is still read to its real end.
    if (in.lengthHint < 0 || loopA >= 0)
      return -1;
    if (sourceEnded)
      return (to - from) / channels;
    // The rate converter gives round(frames / ratio) frames for a whole stream.
    return Math.max(0, lengthFrames() - given);
  }

  @Override
  public long lengthFrames() {
    return in.lengthHint < 0 || loopA >= 0 ? -1 : Math.round(totalFrames() / ratio);
  }

  // The song's whole output as it plays, at the speeds it had and has, in its own frames: what
  // the streams before the current one gave, and the current one to the song's end.
  private long totalFrames() {
    double speed = processor.effectiveSpeed();
    return streamBase - runUpFrames
        + Math.round(streamOwed + Math.max(0, in.lengthHint - position) / speed);
  }

  @Override
  public short[] tail() {
    append(processor.flush());
    finishFade();
    short[] flushed = Arrays.copyOf(made, madeFrames * inChannels);
    madeFrames = 0;
    finished = true;
    sourceEnded = true;
    if (!converts)
      return flushed;
    convert(flushed, flushed.length / in.channels);
    short[] rest = new short[to - from];
    System.arraycopy(pending, from, rest, 0, rest.length);
    from = to = 0;
    return rest;
  }

  @Override
  public void close() {
    try {
      processor.close();
    } finally {
      memory.close();
      in.close();
    }
  }

  /** The name shown for the song: its file name. */
  String name() {
    Path name = in.path.getFileName();
    return name != null ? name.toString() : in.path.toString();
  }
}

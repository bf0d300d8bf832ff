package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import javax.sound.sampled.AudioInputStream;
import quenlab.hopwarbler.AudioStreams;

/**
 * A song decoded ahead into memory as 16-bit samples, so that {@code play} can seek in any input,
 * compressed or streamed: a thread of its own decodes the input from the start, faster than it
 * plays, into blocks of a second; a read waits only where it reaches past what is decoded so far.
 * A stereo song takes 10 MB of memory per minute at 44.1 kHz.
 *
 * <p>A song holds at most a quarter of the Java heap: past that, the decoder keeps half its
 * blocks behind the place last read and half ahead, dropping the oldest, so that a very long input
 * still plays to its end; a seek back then reaches as far as {@link #earliest()}.
 *
 * <p>Decoding from the start once costs less than reopening and skipping for each seek: a
 * compressed input must be decoded up to the point sought anyway, and after the first pass every
 * seek is a copy from memory.
 */
final class SongMemory implements AutoCloseable {
  private final int channels;
  private final int blockSamples;
  private final AudioInputStream source;
  private final List<short[]> blocks = new ArrayList<>(); // guarded by this
  private long decoded; // frames, guarded by this
  private boolean ended; // guarded by this
  private IOException failure; // guarded by this
  private boolean closed; // guarded by this
  private int dropped; // leading blocks let go, guarded by this
  private long lastRead; // the frame the last read started at, guarded by this
  private final int budget; // blocks held at most
  private final Thread decoder;

  /**
   * Starts decoding {@code source} (PCM of 16 bits or fewer, or what {@link AudioStreams#reader}
   * decodes) of {@code channels} channels at {@code rate} Hz.
   */
  SongMemory(AudioInputStream source, int channels, int rate, String name) {
    this.source = source;
    this.channels = channels;
    this.blockSamples = rate * channels;
    this.budget = (int) Math.max(16,
        Math.min(Integer.MAX_VALUE, Runtime.getRuntime().maxMemory() / 4 / (2L * blockSamples)));
    decoder = new Thread(this::decode, "hopwarbler decoder " + name);
    decoder.setDaemon(true);
    decoder.start();
  }

  private void decode() {
    try {
      AudioStreams.SampleReader reader = AudioStreams.reader(source);
      int frames = blockSamples / channels;
      short[] scratch = new short[blockSamples];
      while (true) {
        short[] block;
        synchronized (this) {
          if (!makeRoom())
            return;
          block = new short[blockSamples];
          blocks.add(block);
        }
        // Each read is published at once, so that a song from a slow pipe plays as it comes.
        for (int filled = 0; filled < frames;) {
          int n = reader.read(scratch, frames - filled);
          if (n < 0) {
            synchronized (this) {
              ended = true;
              notifyAll();
            }
            return;
          }
          System.arraycopy(scratch, 0, block, filled * channels, n * channels);
          filled += n;
          synchronized (this) {
            if (closed)
              return;
            decoded += n;
            notifyAll();
          }
        }
      }
    } catch (IOException | RuntimeException e) {
      fail(e instanceof IOException io ? io : new IOException(e.getMessage(), e));
    } catch (OutOfMemoryError e) {
      fail(new IOException("the song is too long to hold in memory for seeking"));
    }
  }

  // Waits until a block more may be held, letting go of the oldest one far enough behind the
  // reader; false once closed.
  private boolean makeRoom() {
    int perBlock = blockSamples / channels;
    while (!closed && blocks.size() - dropped >= budget) {
      if ((long) (dropped + 1) * perBlock <= lastRead - (long) (budget / 2) * perBlock) {
        blocks.set(dropped++, null);
      } else {
        try {
          wait();
        } catch (InterruptedException e) {
          return false;
        }
      }
    }
    return !closed;
  }

  private synchronized void fail(IOException e) {
    failure = e;
    ended = true;
    notifyAll();
  }

  /**
   * Copies up to {@code frames} frames from frame {@code position} (from {@link #earliest()} on)
   * into {@code out} (from index 0), waiting for the decoder where they are not decoded yet; fewer
   * only at the end of the song.
   *
   * @throws IOException if the input could not be decoded up to there
   */
  int read(long position, short[] out, int frames) throws IOException {
    int frameSamples = channels;
    int perBlock = blockSamples / frameSamples;
    synchronized (this) {
      if (position < (long) dropped * perBlock)
        throw new IllegalArgumentException("frame " + position + " was let go");
      lastRead = position;
      notifyAll(); // the decoder may be waiting for the reader to move on
      while (!ended && decoded < position + frames) {
        try {
          wait();
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
          throw new IOException("interrupted while decoding");
        }
      }
      if (decoded < position + frames && failure != null)
        throw failure;
      int n = (int) Math.max(0, Math.min(frames, decoded - position));
      for (int done = 0; done < n;) {
        long at = position + done;
        int block = (int) (at / perBlock);
        int offset = (int) (at % perBlock);
        int count = Math.min(n - done, perBlock - offset);
        System.arraycopy(blocks.get(block), offset * frameSamples, out, done * frameSamples,
            count * frameSamples);
        done += count;
      }
      return n;
    }
  }

  /** {@return the song's length in frames once it is decoded to its end, else -1} */
  synchronized long length() {
    return ended && failure == null ? decoded : -1;
  }

  /**
   * {@return {@code frame}, or the first frame still held if that comes later} The frames from
   * there on stay held for the read that is to start there.
   */
  synchronized long hold(long frame) {
    lastRead = Math.max(frame, earliest());
    notifyAll();
    return lastRead;
  }

  /** {@return the first frame still held: 0 unless the song is longer than the memory allowed} */
  synchronized long earliest() {
    return (long) dropped * (blockSamples / channels);
  }

  /** Stops the decoder and closes the input. */
  @Override
  public void close() {
    synchronized (this) {
      closed = true;
      blocks.clear();
      notifyAll();
    }
    decoder.interrupt();
    AudioFiles.close(source);
  }
}

package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintWriter;
import java.util.ArrayList;
import java.util.List;

/**
 * An MP3 read to its real end. {@link Frames} hands the decoder nothing but MPEG audio frames:
 * tags and other bytes between them (an ID3v2 tag appended after the audio, the ID3v1 tag at the
 * end, the tags of files joined with {@code cat}) are left out, because the decoder loses frames
 * next to them. It notes every Xing or Info header frame it passes, the first one and those of
 * joined files. {@link Pcm} trims the decoder's output as those headers say: each header frame,
 * the encoder's delay after it and the padding before the next, and the padding at the end when
 * the last file ends where its header says. A header's frame count is a hint, never a stop.
 */
final class Mp3Stream {
  private Mp3Stream() {}

  /** A Xing or Info header frame: its index among the frames passed on, and what it says. */
  record Header(long frame, Mp3Gapless gapless) {}

  /** The MPEG audio frames of an MP3, without anything between them. */
  static final class Frames extends InputStream {
    // Enough for three of the largest frames (2881 bytes), with room to spare.
    private static final int LOOKAHEAD = 16384;
    private final InputStream in;
    private final String name;
    private final byte[] buffer = new byte[1 << 16];
    private final List<Header> headers = new ArrayList<>();
    private int start;
    private int end;
    private boolean ended;
    private boolean synced;
    private int rate = -1;
    private int channels;
    private long frames;
    private int frameLeft; // bytes of the current frame still to pass on
    private IOException failure;

    /**
     * @param in the MP3's bytes from its first frame (after a leading ID3v2 tag)
     * @param name the input's name, for messages
     */
    Frames(InputStream in, String name) {
      this.in = in;
      this.name = name;
    }

    /** The header frames passed on so far, in order. */
    List<Header> headers() {
      return headers;
    }

    /** Frames passed on so far. */
    long frames() {
      return frames;
    }

    /**
     * Why the frames ended early, or null: a read failure, or a change of sample rate. The
     * decoder takes a failure of its input for the end of the stream, so it is kept here for the
     * reader of the decoded samples to raise.
     */
    IOException failure() {
      return failure;
    }

    @Override
    public int read() throws IOException {
      byte[] one = new byte[1];
      return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      if (len == 0)
        return 0;
      try {
        if (frameLeft == 0 && !nextFrame())
          return -1;
        if (start == end)
          fill(1);
        int n = Math.min(len, Math.min(frameLeft, end - start));
        if (n <= 0) {
          frameLeft = 0; // a last frame cut short
          return -1;
        }
        System.arraycopy(buffer, start, b, off, n);
        start += n;
        frameLeft -= n;
        return n;
      } catch (IOException e) {
        if (failure == null)
          failure = e;
        return -1;
      }
    }

    // Finds the next frame and makes it current; false at the end of the stream.
    private boolean nextFrame() throws IOException {
      if (failure != null)
        return false;
      while (true) {
        fill(LOOKAHEAD);
        if (end - start < 4)
          return false;
        int size = Sniffer.mpegFrameBytes(buffer, start);
        if (size > 0 && (synced || Sniffer.mpegAt(buffer, end, start))) {
          int frameRate = Sniffer.mpegRate(buffer, start);
          int frameChannels = ((buffer[start + 3] >>> 6) & 3) == 3 ? 1 : 2;
          if (rate < 0) {
            rate = frameRate;
            channels = frameChannels;
          } else if (frameRate != rate || frameChannels != channels) {
            if (Sniffer.mpegAt(buffer, end, start)) {
              // The decoder keeps the first frame's format and loses what differs from it.
              failure = new IOException(frameRate != rate
                      ? "its sample rate changes from " + rate + " Hz to " + frameRate
                          + " Hz after " + frames + " frames (files of different rates joined"
                          + " into one?); convert it to one rate first"
                      : "it changes from " + (channels == 1 ? "mono to stereo" : "stereo to mono")
                          + " after " + frames + " frames (files joined into one?); convert it"
                          + " to one channel count first");
              return false;
            }
            synced = false; // bytes that only look like a frame
            start++;
            continue;
          }
          Mp3Gapless gapless = Mp3Gapless.parse(buffer, end, start);
          if (gapless != null)
            headers.add(new Header(frames, gapless));
          frames++;
          frameLeft = size;
          synced = true;
          return true;
        }
        synced = false;
        long tag = Sniffer.id3LengthAt(buffer, end, start);
        if (tag > 0) {
          skipTag(tag);
        } else {
          start++;
        }
      }
    }

    // Reads until the buffer holds `want` bytes from its start, or the stream has ended.
    private void fill(int want) throws IOException {
      if (end - start >= want || ended)
        return;
      if (start > 0) {
        System.arraycopy(buffer, start, buffer, 0, end - start);
        end -= start;
        start = 0;
      }
      while (end < want && !ended) {
        int n = in.read(buffer, end, buffer.length - end);
        if (n < 0) {
          ended = true;
        } else {
          end += n;
        }
      }
    }

    private void skipTag(long bytes) throws IOException {
      long inBuffer = Math.min(bytes, end - start);
      start += (int) inBuffer;
      for (long left = bytes - inBuffer; left > 0 && !ended;) {
        long n = in.skip(left);
        if (n <= 0) {
          if (in.read() < 0) {
            ended = true;
          } else {
            n = 1;
          }
        }
        left -= n;
      }
    }

    @Override
    public void close() throws IOException {
      in.close();
    }

    @Override
    public String toString() {
      return "MP3 frames of " + name;
    }
  }

  /**
   * The decoder's samples with the header frames, the encoders' delays and their padding taken
   * out, as the {@link Frames} it decoded found them.
   */
  static final class Pcm extends InputStream {
    private final InputStream decoded;
    private final Frames frames;
    private final int frameBytes;
    private final int samplesPerFrame;
    private final String name;
    private final float rate;
    private final PrintWriter warnings;
    // Decoded samples wait this long, so that the header of a joined file, which takes the
    // padding before it out, is known before that padding is passed on.
    private final long hold;
    private byte[] pending = new byte[1 << 16];
    private long base; // the position, in sample frames, of pending[0]
    private int pendingBytes;
    private boolean ended;
    private boolean finished;
    private List<long[]> cuts;
    private long emitted; // sample frames passed on
    private boolean warned;

    Pcm(InputStream decoded, Frames frames, int frameBytes, int samplesPerFrame, String name,
        float rate, PrintWriter warnings) {
      this.decoded = decoded;
      this.frames = frames;
      this.frameBytes = frameBytes;
      this.samplesPerFrame = samplesPerFrame;
      this.name = name;
      this.rate = rate;
      this.warnings = warnings;
      this.hold = 4096 + 2L * samplesPerFrame;
    }

    @Override
    public int read() throws IOException {
      throw new IOException("samples are read in whole frames");
    }

    // Reads whole sample frames, as AudioInputStream asks for them.
    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      if (len < frameBytes)
        return 0;
      while (true) {
        long ready = (ended ? pendingBytes / frameBytes : pendingBytes / frameBytes - hold);
        if (ready > 0) {
          int n = take(b, off, len, ready);
          if (n > 0)
            return n;
          continue; // all of what was ready was cut
        }
        if (ended) {
          finish();
          return -1;
        }
        decode();
      }
    }

    // Reads decoded samples into pending.
    private void decode() throws IOException {
      if (pending.length - pendingBytes < 16384)
        pending = java.util.Arrays.copyOf(pending, pending.length * 2);
      int n = decoded.read(pending, pendingBytes, pending.length - pendingBytes);
      if (n < 0) {
        ended = true;
        pendingBytes -= pendingBytes % frameBytes;
        if (frames.failure() != null)
          throw frames.failure();
      } else {
        pendingBytes += n;
      }
    }

    // Passes on up to `len` bytes of the first `ready` pending frames that are kept; drops the
    // cut ones among them. Returns the bytes passed on (0 when all of them were cut).
    private int take(byte[] b, int off, int len, long ready) {
      long[] cut = nextCut(base);
      long keepUntil = base + ready;
      if (cut != null && cut[0] <= base) {
        // Inside a cut: drop up to its end.
        long drop = Math.min(cut[1], keepUntil) - base;
        consume((int) drop);
        return 0;
      }
      if (cut != null)
        keepUntil = Math.min(keepUntil, cut[0]);
      long frameCount = Math.min(keepUntil - base, len / frameBytes);
      int n = (int) frameCount * frameBytes;
      System.arraycopy(pending, 0, b, off, n);
      consume((int) frameCount);
      emitted += frameCount;
      return n;
    }

    private void consume(int frameCount) {
      int bytes = frameCount * frameBytes;
      System.arraycopy(pending, bytes, pending, 0, pendingBytes - bytes);
      pendingBytes -= bytes;
      base += frameCount;
    }

    // The first cut [from, to) that ends after `position`, or null.
    private long[] nextCut(long position) {
      for (long[] cut : cuts()) {
        if (cut[1] > position)
          return cut;
      }
      return null;
    }

    // The stretches of decoded samples to leave out, from the header frames found so far (and
    // at the end of the stream, the last file's padding).
    private List<long[]> cuts() {
      List<Header> headers = frames.headers();
      if (cuts != null && finished == ended && cuts.size() == headers.size() + (ended ? 1 : 0))
        return cuts;
      List<long[]> list = new ArrayList<>();
      for (int i = 0; i < headers.size(); i++) {
        Header h = headers.get(i);
        long at = h.frame() * samplesPerFrame;
        long from = i == 0 ? at : at - padding(headers.get(i - 1), h.frame());
        list.add(new long[] {Math.max(0, from), at + h.gapless().skip});
      }
      if (ended && !headers.isEmpty()) {
        long total = base + pendingBytes / frameBytes;
        long tail = padding(headers.get(headers.size() - 1), frames.frames());
        list.add(new long[] {total - tail, total});
      }
      finished = ended;
      cuts = list;
      return list;
    }

    // The padding that a file whose header is `h` left before the frame `next` (the next file's
    // header, or the end): its encoder's padding less the decoder's delay, when the file ends
    // where its header says it does; none otherwise.
    private long padding(Header h, long next) {
      Mp3Gapless g = h.gapless();
      if (g.padding < 0 || g.frameCount < 0 || next != h.frame() + 1 + g.frameCount)
        return 0;
      return Math.max(0, g.padding - Mp3Gapless.DECODER_DELAY);
    }

    // Warns when the last file ends before the frame count of its header.
    private void finish() {
      if (warned)
        return;
      warned = true;
      List<Header> headers = frames.headers();
      if (headers.isEmpty())
        return;
      Header last = headers.get(headers.size() - 1);
      long frameCount = last.gapless().frameCount;
      long missing = last.frame() + 1 + frameCount - frames.frames();
      if (frameCount >= 0 && missing > 0 && emitted > 0) {
        long declared = headers.size() == 1 && last.gapless().frames >= 0
            ? last.gapless().frames
            : emitted + missing * samplesPerFrame;
        warnings.println(InputFile.shortWarning(name, emitted, declared, rate));
        warnings.flush();
      }
    }

    @Override
    public void close() throws IOException {
      decoded.close();
    }
  }
}

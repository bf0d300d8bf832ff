package quenlab.hopwarbler.cli;

/**
 * What an MP3's first frame says about its length: the Xing (or Info) header of VBR and LAME
 * files counts the frames, and LAME's tag after it gives the encoder delay and the padding at the
 * end. The decoder turns the header frame itself into a frame of silence, and its own filter bank
 * delays everything by {@link #DECODER_DELAY} more samples; trimming all of that makes the decoded
 * stream start on the first sample the encoder was given and end on its last.
 */
final class Mp3Gapless {
  /** The delay of the MPEG layer III synthesis filter bank, in samples. */
  static final int DECODER_DELAY = 529;

  /** Frames (samples per channel) to drop from the start of the decoder's output. */
  final long skip;
  /** Frames to keep after those, or -1 when the file does not say. */
  final long frames;
  /** MPEG frames of audio the header counts after itself, or -1 when it does not say. */
  final long frameCount;
  /**
   * Samples the encoder added after the last one it was given, or -1 without a LAME tag. Of
   * these, all but {@link #DECODER_DELAY} come out of the decoder after the audio.
   */
  final int padding;

  private Mp3Gapless(long skip, long frames, long frameCount, int padding) {
    this.skip = skip;
    this.frames = frames;
    this.frameCount = frameCount;
    this.padding = padding;
  }

  /**
   * Reads the header frame that starts at {@code at} in {@code head}; null when that frame is
   * audio (no Xing or Info header in it).
   */
  static Mp3Gapless parse(byte[] head, int length, int at) {
    return parse(head, length, at, Sniffer.mpegFrameBytes(head, at));
  }

  /** Like {@link #parse}, for a frame of {@code frameBytes} (a free-format one, say). */
  static Mp3Gapless parse(byte[] head, int length, int at, int frameBytes) {
    if (frameBytes <= 0 || at + frameBytes > length)
      return null;
    boolean mpeg1 = ((head[at + 1] >>> 3) & 3) == 3;
    boolean mono = ((head[at + 3] >>> 6) & 3) == 3;
    boolean crc = (head[at + 1] & 1) == 0; // the protection bit is 0 when a CRC follows
    // The header follows the side information, whose size depends on the version and channels;
    // in a frame with a CRC, LAME writes it where it would be without one, others after the CRC.
    int xing = at + 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (crc && !xingAt(head, xing, at + frameBytes))
      xing += 2;
    if (!xingAt(head, xing, at + frameBytes))
      return null;
    int samples = Sniffer.mpegFrameSamples(head, at);
    int flags = int32(head, xing + 4);
    int field = xing + 8;
    long frameCount = -1;
    if ((flags & 1) != 0) {
      frameCount = int32(head, field) & 0xffffffffL;
      field += 4;
    }
    if ((flags & 2) != 0)
      field += 4; // the byte count
    if ((flags & 4) != 0)
      field += 100; // the seek table
    if ((flags & 8) != 0)
      field += 4; // the quality
    // LAME's tag: a 9-character encoder name, then at 21 bytes in the delay and the padding as
    // two 12-bit numbers. ffmpeg's MP3 encoder writes the same tag under its own name.
    boolean lame = field + 24 <= at + frameBytes
        && (Sniffer.ascii(head, field, "LAME") || Sniffer.ascii(head, field, "Lavc")
            || Sniffer.ascii(head, field, "Lavf"));
    if (!lame)
      return new Mp3Gapless(samples, -1, frameCount, -1);
    int delay = ((head[field + 21] & 0xff) << 4) | ((head[field + 22] & 0xff) >>> 4);
    int padding = ((head[field + 22] & 0x0f) << 8) | (head[field + 23] & 0xff);
    long total = frameCount < 0 ? -1 : Math.max(0, frameCount * samples - delay - padding);
    return new Mp3Gapless(samples + delay + DECODER_DELAY, total, frameCount, padding);
  }

  private static boolean xingAt(byte[] b, int at, int end) {
    return at + 8 <= end && (Sniffer.ascii(b, at, "Xing") || Sniffer.ascii(b, at, "Info"));
  }

  private static int int32(byte[] b, int at) {
    return ((b[at] & 0xff) << 24) | ((b[at + 1] & 0xff) << 16) | ((b[at + 2] & 0xff) << 8)
        | (b[at + 3] & 0xff);
  }
}

package quenlab.hopwarbler.cli;

import java.nio.charset.StandardCharsets;

/**
 * Tells an audio file's format from its first bytes, whatever its name: the tool picks its decoder
 * from this, so that a file no decoder reads is refused instead of decoded as noise by a decoder
 * that guessed wrongly (MPEG audio decoders find frame syncs in almost anything).
 */
final class Sniffer {
  /** The formats the tool reads, and how they are recognised. */
  enum Kind {
    /** RIFF WAVE, or RF64 (a WAV past 4 GiB). */
    WAV("WAV"),
    AIFF("AIFF"),
    AU("AU"),
    /** MPEG-1/2/2.5 audio, layer I to III: a chain of valid frame headers. */
    MP3("MP3"),
    OGG_VORBIS("Ogg Vorbis"),
    OGG_OPUS("Opus"),
    OGG_FLAC("Ogg FLAC"),
    FLAC("FLAC"),
    /** The MP4 family (M4A, MP4, 3GP): an "ftyp" box first. */
    MP4("M4A"),
    /** AAC in ADTS frames, as .aac files keep it. */
    ADTS("AAC"),
    /** Nothing the tool recognises; Java Sound's own readers get a last try (MIDI, say). */
    UNKNOWN("unknown");

    final String label;

    Kind(String label) {
      this.label = label;
    }
  }

  /** How many bytes of the start {@link #kind} wants to see. */
  static final int PEEK = 1 << 16;

  // Consecutive MPEG or ADTS frame headers that must chain before a stream counts as one.
  private static final int CHAIN = 3;

  private Sniffer() {}

  /**
   * The length of an ID3v2 tag at the start of {@code head} (header, body and footer), or 0 when
   * there is none. MP3, AAC and some FLAC files carry one in front of the audio.
   */
  static long id3Length(byte[] head, int length) {
    return id3LengthAt(head, length, 0);
  }

  /** Like {@link #id3Length}, for a tag that starts at {@code at}. */
  static long id3LengthAt(byte[] head, int length, int at) {
    if (length - at < 10 || !ascii(head, at, "ID3") || (head[at + 3] & 0xff) == 0xff)
      return 0;
    long size = 0;
    for (int i = at + 6; i < at + 10; i++) {
      if ((head[i] & 0x80) != 0)
        return 0; // not a sync-safe size: not an ID3v2 tag
      size = (size << 7) | (head[i] & 0x7f);
    }
    boolean footer = (head[at + 5] & 0x10) != 0;
    return 10 + size + (footer ? 10 : 0);
  }

  /** The format of the audio that starts {@code head} (its first {@code length} bytes). */
  static Kind kind(byte[] head, int length) {
    if (length >= 12 && (ascii(head, 0, "RIFF") || ascii(head, 0, "RF64"))
        && ascii(head, 8, "WAVE")) {
      return Kind.WAV;
    }
    if (length >= 12 && ascii(head, 0, "FORM")
        && (ascii(head, 8, "AIFF") || ascii(head, 8, "AIFC"))) {
      return Kind.AIFF;
    }
    if (length >= 4 && ascii(head, 0, ".snd"))
      return Kind.AU;
    if (length >= 4 && ascii(head, 0, "fLaC"))
      return Kind.FLAC;
    if (length >= 36 && ascii(head, 0, "OggS")) {
      // The first page holds the first packet of the stream's codec header.
      int segments = head[26] & 0xff;
      int packet = 27 + segments;
      if (packet + 8 <= length) {
        if (head[packet] == 1 && ascii(head, packet + 1, "vorbis"))
          return Kind.OGG_VORBIS;
        if (ascii(head, packet, "OpusHead"))
          return Kind.OGG_OPUS;
        if (head[packet] == 0x7f && ascii(head, packet + 1, "FLAC"))
          return Kind.OGG_FLAC;
      }
      return Kind.UNKNOWN;
    }
    if (length >= 12 && ascii(head, 4, "ftyp"))
      return Kind.MP4;
    if (mpegAt(head, length, 0))
      return Kind.MP3;
    if (adtsAt(head, length, 0))
      return Kind.ADTS;
    return Kind.UNKNOWN;
  }

  /** Whether {@link #CHAIN} MPEG audio frames follow one another from {@code at}. */
  static boolean mpegAt(byte[] b, int length, int at) {
    int position = at;
    for (int n = 0; n < CHAIN; n++) {
      if (position + 4 > length)
        return n > 0 && position == length; // a short file of fewer frames
      int size = mpegFrameBytes(b, position);
      if (size <= 0)
        return false;
      position += size;
    }
    return true;
  }

  /**
   * The size in bytes of the MPEG audio frame whose header starts at {@code at}, or 0 when the
   * four bytes there are no valid header (free-format frames, whose size no header gives, count
   * as invalid).
   */
  static int mpegFrameBytes(byte[] b, int at) {
    int h = header(b, at);
    if ((h >>> 21) != 0x7ff)
      return 0;
    int version = (h >>> 19) & 3; // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    int layer = (h >>> 17) & 3; // 1 layer III, 2 layer II, 3 layer I
    int bitrateIndex = (h >>> 12) & 15;
    int rateIndex = (h >>> 10) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
      return 0;
    int rate = new int[] {44100, 48000, 32000}[rateIndex] >> (version == 3 ? 0
                       : version == 2                                      ? 1
                                                                           : 2);
    int kbps = bitrate(version == 3, layer, bitrateIndex);
    int padding = (h >>> 9) & 1;
    if (layer == 3)
      return (12 * kbps * 1000 / rate + padding) * 4;
    int perFrame = layer == 1 && version != 3 ? 72 : 144;
    return perFrame * kbps * 1000 / rate + padding;
  }

  /**
   * Whether a free-format MPEG audio stream starts at {@code at}: a header valid but for its
   * bitrate index 0 (a bitrate outside the standard ones, so that the header gives no frame
   * size), and the same header again within the largest frame such a stream may have.
   */
  static boolean freeFormatAt(byte[] b, int length, int at) {
    return freeFormatFrameBytes(b, length, at) > 0;
  }

  /**
   * The size of the free-format frame that starts at {@code at} (the distance to the next header
   * like its own), or 0 when no free-format stream starts there.
   */
  static int freeFormatFrameBytes(byte[] b, int length, int at) {
    if (at + 4 > length)
      return 0;
    int h = header(b, at);
    int version = (h >>> 19) & 3;
    int layer = (h >>> 17) & 3;
    if ((h >>> 21) != 0x7ff || version == 1 || layer == 0 || ((h >>> 12) & 15) != 0
        || ((h >>> 10) & 3) == 3) {
      return 0;
    }
    // Everything but the padding bit, which changes from frame to frame.
    int same = h & 0xfffffdff;
    for (int next = at + 4; next + 4 <= Math.min(length, at + 8192); next++) {
      if ((header(b, next) & 0xfffffdff) == same)
        return next - at;
    }
    return 0;
  }

  /** The sample rate of the valid MPEG audio header at {@code at}. */
  static int mpegRate(byte[] b, int at) {
    int h = header(b, at);
    int version = (h >>> 19) & 3;
    return new int[] {44100, 48000, 32000}[(h >>> 10) & 3] >> (version == 3 ? 0
            : version == 2                                               ? 1
                                                                         : 2);
  }

  /** Samples per channel in one frame of the MPEG audio header at {@code at}. */
  static int mpegFrameSamples(byte[] b, int at) {
    int h = header(b, at);
    int version = (h >>> 19) & 3;
    int layer = (h >>> 17) & 3;
    if (layer == 3)
      return 384;
    return layer == 1 && version != 3 ? 576 : 1152;
  }

  private static int bitrate(boolean mpeg1, int layer, int index) {
    int[][] mpeg1Rates = {{}, // layer index 0 is reserved
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}};
    int[] mpeg2Layer1 = {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256};
    int[] mpeg2Layers23 = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    if (mpeg1)
      return mpeg1Rates[layer][index];
    return layer == 3 ? mpeg2Layer1[index] : mpeg2Layers23[index];
  }

  // ADTS: the 12-bit sync, layer 0 (which MPEG audio never uses) and a 13-bit frame length.
  private static boolean adtsAt(byte[] b, int length, int at) {
    int position = at;
    for (int n = 0; n < CHAIN; n++) {
      if (position + 7 > length)
        return n > 0 && position == length;
      int h = header(b, position);
      if ((h >>> 20) != 0xfff || ((h >>> 17) & 3) != 0 || ((h >>> 10) & 15) > 12)
        return false;
      int size = ((b[position + 3] & 3) << 11) | ((b[position + 4] & 0xff) << 3)
          | ((b[position + 5] & 0xff) >>> 5);
      if (size < 7)
        return false;
      position += size;
    }
    return true;
  }

  private static int header(byte[] b, int at) {
    return ((b[at] & 0xff) << 24) | ((b[at + 1] & 0xff) << 16) | ((b[at + 2] & 0xff) << 8)
        | (b[at + 3] & 0xff);
  }

  static boolean ascii(byte[] b, int at, String text) {
    byte[] t = text.getBytes(StandardCharsets.US_ASCII);
    if (at + t.length > b.length)
      return false;
    for (int i = 0; i < t.length; i++) {
      if (b[at + i] != t[i])
        return false;
    }
    return true;
  }
}

package quenlab.hopwarbler.cli;

/**
 * The length an M4A (MP4 family) file states in its movie header, when that header comes before
 * the audio: the length the decoder must reach for the file to be whole.
 */
final class Mp4Length {
  private Mp4Length() {}

  /**
   * The duration of the movie header in the first {@code length} bytes of {@code head}, in
   * seconds; 0 when the movie box does not start and end there, or states no duration.
   */
  static double seconds(byte[] head, int length) {
    int at = 0;
    while (at + 8 <= length) {
      long size = int32(head, at) & 0xffffffffL;
      int header = 8;
      if (size == 1) {
        if (at + 16 > length)
          return 0;
        size = ((long) int32(head, at + 8) << 32) | (int32(head, at + 12) & 0xffffffffL);
        header = 16;
      }
      if (size < header)
        return 0; // 0 runs to the end of the file: the audio, with no movie box before it
      if (Sniffer.ascii(head, at + 4, "moov"))
        return movieHeader(head, at + header, (int) Math.min(length, at + size));
      if (at + size > length)
        return 0;
      at += (int) size;
    }
    return 0;
  }

  // The duration of the mvhd box among the boxes from `at` to `end`.
  private static double movieHeader(byte[] b, int at, int end) {
    while (at + 8 <= end) {
      long size = int32(b, at) & 0xffffffffL;
      if (size < 8)
        return 0;
      if (Sniffer.ascii(b, at + 4, "mvhd") && at + 40 <= end) {
        int version = b[at + 8] & 0xff;
        long timescale;
        long duration;
        if (version == 1) {
          timescale = int32(b, at + 28) & 0xffffffffL;
          duration = ((long) int32(b, at + 32) << 32) | (int32(b, at + 36) & 0xffffffffL);
        } else {
          timescale = int32(b, at + 20) & 0xffffffffL;
          duration = int32(b, at + 24) & 0xffffffffL;
        }
        // All ones: a duration not known when the header was written.
        if (timescale == 0 || duration <= 0 || duration == 0xffffffffL)
          return 0;
        return duration / (double) timescale;
      }
      at += (int) size;
    }
    return 0;
  }

  private static int int32(byte[] b, int at) {
    return ((b[at] & 0xff) << 24) | ((b[at + 1] & 0xff) << 16) | ((b[at + 2] & 0xff) << 8)
        | (b[at + 3] & 0xff);
  }
}

package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.InputStream;

/**
 * The logical streams of an Ogg file one after the other: a chained file (streams joined with
 * {@code cat}, or a radio recording that starts a new stream at each song) holds several, and a
 * decoder reads only the first. Each {@link #next} stream yields the pages of one logical stream,
 * up to the page that begins the next. Bytes between pages that are no page are left out.
 *
 * <p>It also tells whether a stream was cut short: the last page of a whole stream is marked as
 * its end, and every page states the position of its last sample (the granule position), so a
 * cut stream says how long it was meant to be.
 */
final class OggChains {
  private static final int HEADER = 27;
  private static final int BEGINS = 2;
  private static final int ENDS = 4;

  private final InputStream in;
  private byte[] page = new byte[HEADER + 255 + 255 * 255];
  private int pageLength; // bytes of the page waiting in `page`, 0 when none
  private boolean pageBegins;
  private boolean ended;
  private IOException failure;
  private Chain current;
  private final java.util.List<Chain> chains = new java.util.ArrayList<>();

  OggChains(InputStream in) {
    this.in = in;
  }

  /** The next logical stream, or null after the last. */
  Chain next() {
    if (current != null) {
      // Whatever the decoder left of the stream before.
      try {
        current.skipRest();
      } catch (IOException e) {
        if (failure == null)
          failure = e;
      }
    }
    if (pageLength == 0 && !readPage())
      return null;
    current = new Chain();
    chains.add(current);
    return current;
  }

  /** The streams begun so far, in order. */
  java.util.List<Chain> chains() {
    return chains;
  }

  /** All the pages of every stream, one stream after the other, for a decoder of its own. */
  InputStream all() {
    return new InputStream() {
      private Chain chain = next();

      @Override
      public int read() throws IOException {
        byte[] one = new byte[1];
        return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
      }

      @Override
      public int read(byte[] b, int off, int len) throws IOException {
        if (len == 0)
          return 0;
        while (chain != null) {
          int n = chain.read(b, off, len);
          if (n >= 0)
            return n;
          chain = next();
        }
        if (failure != null)
          throw failure;
        return -1;
      }

      @Override
      public void close() throws IOException {
        in.close();
      }
    };
  }

  /** A read failure that ended the pages early (the decoder takes it for the end), or null. */
  IOException failure() {
    return failure;
  }

  /** The pages of one logical stream. */
  final class Chain extends InputStream {
    private int at; // bytes of the waiting page already passed on
    private boolean first = true;
    private boolean done;
    private boolean sawEnd;
    private long granule = -1;
    private byte[] firstPacket = new byte[0];

    /** The start of the stream's first packet (its codec's identification header). */
    byte[] firstPacket() {
      return firstPacket;
    }

    /** True when the stream ended on a page marked as its last. */
    boolean whole() {
      return sawEnd;
    }

    /** The granule position of the last page seen, whole or cut; -1 when none gave one. */
    long granule() {
      return granule;
    }

    @Override
    public int read() throws IOException {
      byte[] one = new byte[1];
      return read(one, 0, 1) < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) {
      if (len == 0)
        return 0;
      if (!ensurePage())
        return -1;
      int n = Math.min(len, pageLength - at);
      System.arraycopy(page, at, b, off, n);
      at += n;
      if (at == pageLength) {
        pageLength = 0;
        at = 0;
      }
      return n;
    }

    // Whether a page of this stream waits; reads the next page once the last one is passed on.
    private boolean ensurePage() {
      if (done || this != current)
        return false;
      if (pageLength == 0 && !readPage()) {
        done = true;
        return false;
      }
      if (at == 0) {
        if (pageBegins && !first) {
          done = true; // the next stream's first page: it waits for that stream
          return false;
        }
        if (first) {
          int segments = page[26] & 0xff;
          firstPacket = java.util.Arrays.copyOfRange(
              page, HEADER + segments, Math.min(pageLength, HEADER + segments + 64));
        }
        first = false;
        long g = granuleOf(page);
        if (g != -1)
          granule = g;
        sawEnd = (page[5] & ENDS) != 0;
      }
      return true;
    }

    void skipRest() throws IOException {
      while (ensurePage()) {
        pageLength = 0;
        at = 0;
      }
      done = true;
    }

    /** Notes the granule of a page cut short at the end of the input. */
    void cutPage(long g) {
      if (this == current && g != -1)
        granule = g;
      sawEnd = false;
    }
  }

  // Reads the next whole page into `page`; false at the end of the input. A page cut short
  // still tells its granule position to the current stream.
  private boolean readPage() {
    if (ended)
      return false;
    try {
      while (true) {
        if (!fill(0, 4)) {
          ended = true;
          return false;
        }
        // Resynchronises on "OggS" after bytes that are no page.
        while (!(page[0] == 'O' && page[1] == 'g' && page[2] == 'g' && page[3] == 'S')) {
          System.arraycopy(page, 1, page, 0, 3);
          if (!fill(3, 1)) {
            ended = true;
            return false;
          }
        }
        if (!fill(4, HEADER - 4)) {
          cut(0);
          return false;
        }
        if (!fill(HEADER, page[26] & 0xff)) {
          cut(HEADER);
          return false;
        }
        int segments = page[26] & 0xff;
        int body = 0;
        for (int i = 0; i < segments; i++) body += page[HEADER + i] & 0xff;
        if (page[4] != 0) {
          // Not a version 0 page: skipped byte by byte as junk.
          System.arraycopy(page, 1, page, 0, 3);
          continue;
        }
        int got = in.readNBytes(page, HEADER + segments, body);
        if (got < body) {
          cut(HEADER);
          return salvage(segments, got);
        }
        pageLength = HEADER + segments + body;
        pageBegins = (page[5] & BEGINS) != 0;
        return true;
      }
    } catch (IOException e) {
      failure = e;
      ended = true;
      return false;
    }
  }

  // Keeps the packets that a page cut short holds whole: the page is rewritten to end after the
  // last of them (with its checksum, which the decoder checks). False when it holds none.
  private boolean salvage(int segments, int bodyBytes) {
    int keep = 0;
    int bytes = 0;
    int keptBytes = 0;
    for (int i = 0; i < segments; i++) {
      int lace = page[HEADER + i] & 0xff;
      if (bytes + lace > bodyBytes)
        break;
      bytes += lace;
      if (lace < 255) {
        keep = i + 1; // a packet ends here
        keptBytes = bytes;
      }
    }
    if (keep == 0)
      return false;
    System.arraycopy(page, HEADER + segments, page, HEADER + keep, keptBytes);
    page[26] = (byte) keep;
    page[5] &= ~ENDS;
    pageLength = HEADER + keep + keptBytes;
    pageBegins = (page[5] & BEGINS) != 0;
    for (int i = 22; i < 26; i++) page[i] = 0;
    int crc = 0;
    for (int i = 0; i < pageLength; i++) {
      crc ^= (page[i] & 0xff) << 24;
      for (int bit = 0; bit < 8; bit++) crc = crc < 0 ? (crc << 1) ^ 0x04c11db7 : crc << 1;
    }
    for (int i = 0; i < 4; i++) page[22 + i] = (byte) (crc >>> (8 * i));
    return true;
  }

  private void cut(int headerBytes) {
    ended = true;
    if (current != null)
      current.cutPage(headerBytes >= HEADER ? granuleOf(page) : -1);
  }

  // Reads `count` bytes into page[from...]; false when the input ends first.
  private boolean fill(int from, int count) throws IOException {
    int n = in.readNBytes(page, from, count);
    return n == count;
  }

  private static long granuleOf(byte[] p) {
    long g = 0;
    for (int i = 13; i >= 6; i--) g = (g << 8) | (p[i] & 0xff);
    return g;
  }
}

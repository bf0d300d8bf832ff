package quenlab.hopwarbler.cli;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Arrays;

/**
 * Where a WAV file's samples start and how many bytes of them its header declares, found by
 * walking its chunks. Java Sound parses the format itself; this finds what it gets wrong: the
 * length a writer on a pipe leaves open (the writer cannot go back to fill it in, so it writes a
 * marker such as 0xFFFFFFFF), a header that promises more than the file holds, and RF64's 64-bit
 * length.
 */
final class WavHeader {
  /** Offset of the first sample byte. */
  final int dataOffset;
  /** Sample bytes the header declares, or -1 when it leaves the length open. */
  final long declaredBytes;
  /** True for RF64, whose length lives in its ds64 chunk. */
  final boolean rf64;

  private WavHeader(int dataOffset, long declaredBytes, boolean rf64) {
    this.dataOffset = dataOffset;
    this.declaredBytes = declaredBytes;
    this.rf64 = rf64;
  }

  /**
   * Walks the chunks of the WAV at the start of {@code head}; null when its data chunk does not
   * start within the first {@code length} bytes, or a chunk before it is damaged.
   */
  static WavHeader parse(byte[] head, int length) {
    ByteBuffer b = ByteBuffer.wrap(head, 0, length).order(ByteOrder.LITTLE_ENDIAN);
    if (length < 12)
      return null;
    boolean rf64 = Sniffer.ascii(head, 0, "RF64");
    long riffSize = b.getInt(4) & 0xffffffffL;
    long ds64Data = -1;
    int at = 12;
    while (at + 8 <= length) {
      long size = b.getInt(at + 4) & 0xffffffffL;
      if (Sniffer.ascii(head, at, "data")) {
        long declared = size;
        if (rf64 && size == 0xffffffffL) {
          declared = ds64Data;
        } else if (open(size) || (size == 0 && (riffSize == 0 || open(riffSize)))) {
          declared = -1;
        }
        return new WavHeader(at + 8, declared, rf64);
      }
      if (rf64 && Sniffer.ascii(head, at, "ds64") && size >= 24 && at + 8 + 24 <= length) {
        ds64Data = b.getLong(at + 8 + 8);
        if (ds64Data < 0)
          return null;
      }
      long next = at + 8 + size + (size & 1);
      if (next > length)
        return null;
      at = (int) next;
    }
    return null;
  }

  // The lengths writers put in a header they cannot go back to: 0xFFFFFFFF (most), 0x7FFFFFFF
  // and sox's 0x7FFFF000.
  private static boolean open(long size) {
    return size == 0xffffffffL || size == 0x7fffffffL || size == 0x7ffff000L;
  }

  /**
   * The header bytes up to the first sample, made readable for Java Sound's WAV readers: an RF64
   * header becomes a RIFF one (they skip the ds64 chunk as unknown).
   */
  byte[] forJavaSound(byte[] head) {
    byte[] copy = Arrays.copyOf(head, dataOffset);
    if (rf64) {
      copy[0] = 'R';
      copy[1] = 'I';
      copy[2] = 'F';
      copy[3] = 'F';
    }
    return copy;
  }
}

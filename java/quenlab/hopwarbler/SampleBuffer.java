package quenlab.hopwarbler;

import java.util.Arrays;

/** A growable array of samples, reused between calls. */
final class SampleBuffer {
  private short[] data = new short[8192];
  private int size;

  void clear() {
    size = 0;
  }

  void append(short[] source, int from, int count) {
    if (size + count > data.length) {
      data = Arrays.copyOf(data, Math.max(data.length * 2, size + count));
    }
    System.arraycopy(source, from, data, size, count);
    size += count;
  }

  short[] toArray() {
    return Arrays.copyOf(data, size);
  }
}

package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.channels.WritableByteChannel;
import java.nio.charset.StandardCharsets;
import javax.sound.sampled.AudioFileFormat;

/**
 * Writes 16-bit PCM as a WAV, AIFF or AU file, block by block, with a header that tells the truth
 * about what follows it, and measures the peak of what it wrote.
 *
 * <p>Written to a file, the header is written again at the end with the real length. A WAV file's
 * sizes are 32-bit; past 4 GiB the file becomes RF64 (EBU Tech 3306: the RIFF and data sizes
 * 0xFFFFFFFF, the real ones in a ds64 chunk first after WAVE). Where the length is unknown or large
 * at the start, a JUNK chunk of the ds64 chunk's size holds its place, so that either header fits
 * at the end; a short file gets the plain 44-byte header. AIFF holds at most 2 GiB (its sizes are
 * signed) and refuses more; AU past 4 GiB declares its length unknown, as its format provides.
 *
 * <p>Written to a stream that cannot be rewound (standard output), the header is written first for
 * the length announced, and the file holds exactly that many frames: what comes beyond is dropped,
 * and silence makes up for what falls short ({@link #produced} tells the caller).
 */
final class PcmWriter {
  enum Container { WAV, AIFF, AU }

  /** The largest RIFF size (the file's length less 8 bytes) of a plain WAV file. */
  static final long WAV_LIMIT = 0xFFFFFFFFL;
  /** The largest FORM size (the file's length less 8 bytes) of an AIFF file. */
  static final long AIFF_LIMIT = Integer.MAX_VALUE;

  private static final int WAV_HEADER = 44;
  private static final int DS64 = 28; // the ds64 chunk's body: three 64-bit sizes and a count
  private static final int AIFF_HEADER = 54;
  private static final int AU_HEADER = 28; // 24 and the shortest annotation, 4 zero bytes
  private static final long AU_UNKNOWN = 0xFFFFFFFFL;

  private final Container container;
  private final int sampleRate;
  private final int channels;
  private final long announced;
  private final long wavLimit;
  private final boolean reserve;
  private WritableByteChannel out;
  private boolean seekable;
  private long frames;
  private long produced;
  private int peak;
  private byte[] swapped = new byte[0]; // a block turned big-endian, for AIFF and AU

  /**
   * @param announced the frames expected, or -1 when unknown; required for a stream that cannot be
   *     rewound
   * @param wavLimit the largest RIFF size of a plain WAV: {@link #WAV_LIMIT}, less in tests
   */
  PcmWriter(Container container, int sampleRate, int channels, long announced, long wavLimit) {
    this.container = container;
    this.sampleRate = sampleRate;
    this.channels = channels;
    this.announced = announced;
    this.wavLimit = wavLimit;
    this.reserve = announced < 0 || riffSize(announced, 0) > wavLimit / 2;
  }

  PcmWriter(Container container, int sampleRate, int channels, long announced) {
    this(container, sampleRate, channels, announced, WAV_LIMIT);
  }

  /** The container for a Java Sound file type: WAVE, AIFF or AU. */
  static Container of(AudioFileFormat.Type type) {
    if (type.equals(AudioFileFormat.Type.AIFF))
      return Container.AIFF;
    if (type.equals(AudioFileFormat.Type.AU))
      return Container.AU;
    return Container.WAV;
  }

  /**
   * Refuses, before anything is written, a length the container cannot hold.
   *
   * @param frames the frames expected, or -1 when unknown
   * @throws IOException naming the limit
   */
  static void checkFits(Container container, int channels, long frames) throws IOException {
    if (container == Container.AIFF && frames >= 0
        && AIFF_HEADER - 8 + frames * 2 * channels > AIFF_LIMIT) {
      throw new IOException(tooLong(frames * 2 * channels));
    }
  }

  private static String tooLong(long bytes) {
    return String.format(java.util.Locale.ROOT,
        "%.1f GiB of samples do not fit an AIFF file (2 GiB at most); write a .wav file instead",
        bytes / (double) (1L << 30));
  }

  /** Starts a file, whose header is written again at the end. */
  void start(FileChannel file) throws IOException {
    seekable = true;
    begin(file, 0);
  }

  /** Starts a stream that cannot be rewound, with the header for the length announced. */
  void startStream(WritableByteChannel stream) throws IOException {
    if (announced < 0)
      throw new IllegalStateException("a stream needs its length announced");
    seekable = false;
    begin(stream, announced);
  }

  private void begin(WritableByteChannel channel, long headerFrames) throws IOException {
    out = channel;
    checkFits(container, channels, announced);
    writeFully(header(headerFrames));
  }

  /** Appends whole frames of little-endian 16-bit samples. */
  void write(byte[] littleEndian, int length) throws IOException {
    int frameBytes = 2 * channels;
    if (length % frameBytes != 0)
      throw new IllegalArgumentException(length + " bytes are not whole frames");
    long count = length / frameBytes;
    produced += count;
    if (!seekable)
      count = Math.max(0, Math.min(count, announced - frames));
    int bytes = (int) count * frameBytes;
    if (seekable && container == Container.AIFF
        && AIFF_HEADER - 8 + (frames + count) * frameBytes > AIFF_LIMIT) {
      throw new IOException(tooLong((frames + count) * frameBytes));
    }
    if (seekable && container == Container.WAV && !reserve
        && riffSize(frames + count, 0) > wavLimit) {
      throw new IOException("the output grew past the 4 GiB of a WAV file, far beyond the length"
          + " its input announced");
    }
    peak = peak(littleEndian, bytes, peak);
    byte[] block = littleEndian;
    if (container != Container.WAV) {
      if (swapped.length < bytes)
        swapped = new byte[bytes];
      for (int i = 0; i < bytes; i += 2) {
        swapped[i] = littleEndian[i + 1];
        swapped[i + 1] = littleEndian[i];
      }
      block = swapped;
    }
    writeFully(ByteBuffer.wrap(block, 0, bytes));
    frames += count;
  }

  /** Ends the file: its header rewritten with the real length, or a stream filled up to its own. */
  void finish() throws IOException {
    if (!seekable) {
      byte[] silence = new byte[2 * channels * 4096];
      while (frames < announced) {
        int n = (int) Math.min(4096, announced - frames);
        long keep = produced;
        write(silence, n * 2 * channels);
        produced = keep;
      }
      return;
    }
    FileChannel file = (FileChannel) out;
    file.write(header(frames), 0);
  }

  /** Frames in the file. */
  long frames() {
    return frames;
  }

  /** Frames given to {@link #write}, which for a stream may differ from what it holds. */
  long produced() {
    return produced;
  }

  /** The highest absolute sample written, 1.0 being full scale (32768). */
  double peak() {
    return peak / 32768.0;
  }

  /** The larger of {@code previous} and the highest absolute sample of little-endian bytes. */
  static int peak(byte[] littleEndian, int length, int previous) {
    int peak = previous;
    for (int i = 0; i + 1 < length; i += 2) {
      peak =
          Math.max(peak, Math.abs((short) ((littleEndian[i] & 0xff) | (littleEndian[i + 1] << 8))));
    }
    return peak;
  }

  private void writeFully(ByteBuffer buffer) throws IOException {
    while (buffer.hasRemaining()) out.write(buffer);
  }

  private long dataBytes(long frameCount) {
    return frameCount * 2 * channels;
  }

  // The RIFF size of a WAV file holding `frameCount` frames, with `extra` header bytes.
  private long riffSize(long frameCount, int extra) {
    return WAV_HEADER - 8 + extra + dataBytes(frameCount);
  }

  private ByteBuffer header(long frameCount) {
    return switch (container) {
      case WAV -> wavHeader(frameCount);
      case AIFF -> aiffHeader(frameCount);
      case AU -> auHeader(frameCount);
    };
  }

  private ByteBuffer wavHeader(long frameCount) {
    // A stream's header is final; a file's first header is a placeholder sized for the end.
    boolean stream = !seekable;
    boolean junk = !stream && reserve;
    boolean rf64 = (stream || junk) && riffSize(frameCount, junk ? DS64 + 8 : 0) > wavLimit;
        int extra = rf64 || junk ? DS64 + 8 : 0;
        long riff = riffSize(frameCount, extra);
        long data = dataBytes(frameCount);
        ByteBuffer b = ByteBuffer.allocate(WAV_HEADER + extra).order(ByteOrder.LITTLE_ENDIAN);
        b.put(ascii(rf64 ? "RF64" : "RIFF")).putInt((int) (rf64 ? WAV_LIMIT : riff));
        b.put(ascii("WAVE"));
        if (rf64) {
          b.put(ascii("ds64"))
              .putInt(DS64)
              .putLong(riff)
              .putLong(data)
              .putLong(frameCount)
              .putInt(0);
        } else if (junk) {
          b.put(ascii("JUNK")).putInt(DS64).put(new byte[DS64]);
        }
        b.put(ascii("fmt ")).putInt(16).putShort((short) 1).putShort((short) channels);
        b.putInt(sampleRate).putInt(sampleRate * 2 * channels).putShort((short) (2 * channels));
        b.putShort((short) 16);
        b.put(ascii("data")).putInt((int) (rf64 ? WAV_LIMIT : data));
        return b.flip();
    }

    private ByteBuffer aiffHeader(long frameCount) {
      ByteBuffer b = ByteBuffer.allocate(AIFF_HEADER).order(ByteOrder.BIG_ENDIAN);
      long data = dataBytes(frameCount);
      b.put(ascii("FORM")).putInt((int) (AIFF_HEADER - 8 + data)).put(ascii("AIFF"));
      b.put(ascii("COMM")).putInt(18).putShort((short) channels).putInt((int) frameCount);
      b.putShort((short) 16).put(extended(sampleRate));
      b.put(ascii("SSND")).putInt((int) (8 + data)).putInt(0).putInt(0);
      return b.flip();
    }

    private ByteBuffer auHeader(long frameCount) {
      ByteBuffer b = ByteBuffer.allocate(AU_HEADER).order(ByteOrder.BIG_ENDIAN);
      long data = dataBytes(frameCount);
      b.put(ascii(".snd")).putInt(AU_HEADER).putInt((int) (data < AU_UNKNOWN ? data : AU_UNKNOWN));
      b.putInt(3).putInt(sampleRate).putInt(channels).putInt(0); // 3: 16-bit linear PCM
      return b.flip();
    }

    // A whole number as the 80-bit IEEE extended float of AIFF's sample rate.
    static byte[] extended(int value) {
      byte[] bytes = new byte[10];
      if (value <= 0)
        return bytes;
      int exponent = 31 - Integer.numberOfLeadingZeros(value);
      long mantissa = (long) value << (63 - exponent);
      int biased = 16383 + exponent;
      bytes[0] = (byte) (biased >> 8);
      bytes[1] = (byte) biased;
      for (int i = 0; i < 8; i++) bytes[2 + i] = (byte) (mantissa >>> (56 - 8 * i));
      return bytes;
    }

    private static byte[] ascii(String id) {
      return id.getBytes(StandardCharsets.US_ASCII);
    }
  }

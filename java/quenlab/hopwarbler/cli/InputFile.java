package quenlab.hopwarbler.cli;

import java.io.BufferedInputStream;
import java.io.ByteArrayInputStream;
import java.io.FileInputStream;
import java.io.FilterInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintWriter;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.DoubleSupplier;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import javax.sound.sampled.spi.AudioFileReader;
import quenlab.hopwarbler.AudioStreams;

/**
 * An opened input: a file, standard input ({@code -}) or anything else that can be read once as
 * a stream (a named pipe, {@code <(command)}, {@code /dev/stdin}). Its format is judged by its
 * first bytes, and it is decoded by Java Sound (WAV, AIFF, AU), by the MP3 and Ogg Vorbis
 * decoders on the class path, or by an external program (FLAC, Opus, M4A/AAC; see {@link
 * ExternalDecoder}). Its {@link #stream} yields PCM from the first sample on.
 *
 * <p>The stream reports read failures as {@link ReadFailure}, so that a failure while an output is
 * being written can be told apart from a failure of the output. An input that ends before the
 * length its header declares is read to its end with a one-line warning.
 */
final class InputFile implements AutoCloseable {
  /** A failure to read the input, raised while the stream is read. */
  static final class ReadFailure extends IOException {
    private static final long serialVersionUID = 1L;

    ReadFailure(IOException cause) {
      super(cause.getMessage(), cause);
    }
  }

  /** The name that stands for standard input. */
  static final String STANDARD_INPUT = "-";

  // Standard input can be read once in a process.
  private static final AtomicBoolean STANDARD_INPUT_TAKEN = new AtomicBoolean();
  private static final String MP3_READER = "javazoom.spi.mpeg.sampled.file.MpegAudioFileReader";
  private static final String VORBIS_READER =
      "org.tritonus.sampled.file.jorbis.JorbisAudioFileReader";
  private static final String MP3_PACKAGES = "libmp3spi-java libjlayer-java libtritonus-java";
  private static final String VORBIS_PACKAGES = "libtritonus-java libjorbis-java";

  final Path path;
  /** The samples, PCM that {@link AudioStreams#reader} decodes. */
  final AudioInputStream stream;
  final AudioFormat format;
  final int sampleRate;
  final int channels;
  /** Frames the input holds, or -1 when that is known only once it has been read. */
  final long frames;
  /**
   * {@link #frames}, or when that is not known, the length a header states without binding the
   * decoder to it (an MP3's frame count): for showing progress. -1 when nothing says.
   */
  final long lengthHint;
  /** What the input turned out to be. */
  final Sniffer.Kind kind;
  /** True for an input read as a stream, which cannot be read a second time. */
  final boolean streamed;

  private final PrintWriter warnings;

  private InputFile(Path path, AudioInputStream pcm, long hint, DoubleSupplier stated,
      Sniffer.Kind kind, boolean streamed, PrintWriter warnings) {
    this.path = path;
    this.format = pcm.getFormat();
    this.sampleRate = (int) format.getSampleRate();
    this.channels = format.getChannels();
    long length = pcm.getFrameLength();
    this.frames = length < 0 ? -1 : length;
    this.lengthHint = length >= 0 ? length : hint;
    this.kind = kind;
    this.streamed = streamed;
    this.warnings = warnings;
    this.stream =
        new AudioInputStream(new Tagging(pcm, stated), format, pcm.getFrameLength());
  }

  /** Like {@link #open(Path, PrintWriter)}, with warnings on standard error. */
  static InputFile open(Path path) {
    return open(path, new PrintWriter(System.err, true));
  }

  /**
   * Opens {@code path} ({@code -} for standard input), or fails with a one-line reason.
   *
   * @param warnings where a warning about the input goes (one line each)
   */
  static InputFile open(Path path, PrintWriter warnings) {
    String name = path.toString();
    boolean standardInput = name.equals(STANDARD_INPUT);
    Path file = null;
    InputStream raw;
    if (standardInput) {
      if (!STANDARD_INPUT_TAKEN.compareAndSet(false, true)) {
        throw CliException.io(
            "cannot read '-' a second time: standard input can be read only once");
      }
      raw = System.in;
    } else {
      if (!Files.exists(path))
        throw CliException.io("cannot read '" + name + "': no such file");
      if (Files.isDirectory(path))
        throw CliException.io("cannot read '" + name + "': it is a folder");
      if (!Files.isReadable(path))
        throw CliException.io("cannot read '" + name + "': permission denied");
      // A named pipe, a process substitution or /dev/stdin is read once, as a stream; opening
      // a named pipe waits for its writer.
      if (Files.isRegularFile(path))
        file = path;
      try {
        // FileInputStream, unlike a channel's stream, asks a pipe how much it holds without
        // seeking in it.
        raw = file != null ? Files.newInputStream(path) : new FileInputStream(path.toFile());
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      }
    }
    BufferedInputStream in =
        new BufferedInputStream(file != null ? raw : new Unseekable(raw), Sniffer.PEEK);
    try {
      return new Opener(path, file, in, warnings).open();
    } catch (RuntimeException e) {
      AudioFiles.close(in);
      throw e;
    }
  }

  /** The one-line error for a failure that came from reading this input. */
  CliException readError(IOException e) {
    IOException cause = e instanceof ReadFailure && e.getCause() instanceof IOException io ? io : e;
    return CliException.io("cannot read '" + path + "': " + AudioFiles.describe(cause));
  }

  @Override
  public void close() {
    AudioFiles.close(stream);
  }

  /** The warning for an input that holds fewer frames than its header declares. */
  static String shortWarning(String name, long holds, long declared, float rate) {
    return "hopwarbler: warning: '" + name + "' is shorter than its header says: it holds "
        + AudioFiles.duration(holds, rate) + " of the " + AudioFiles.duration(declared, rate)
        + " declared (" + (declared - holds) + " frames missing); processing what is there";
  }

  // The steps of opening one input, with what they share.
  private static final class Opener {
    private final Path path;
    private final String name;
    private final Path file; // null unless the input is a regular file
    private final BufferedInputStream in;
    private final PrintWriter warnings;
    private final byte[] head = new byte[Sniffer.PEEK];
    private int headLength;
    private long lengthHint = -1;
    // The length in seconds a container states, known once the input has been read (an Ogg
    // stream's last granule position) or at once (an M4A's movie header); null when none does.
    private DoubleSupplier statedSeconds;

    Opener(Path path, Path file, BufferedInputStream in, PrintWriter warnings) {
      this.path = path;
      this.name = path.toString();
      this.file = file;
      this.in = in;
      this.warnings = warnings;
    }

    InputFile open() {
      Sniffer.Kind kind;
      try {
        peek();
        long tag = Sniffer.id3Length(head, headLength);
        kind = Sniffer.kind(head, headLength);
        if (tag > 0) {
          // An ID3v2 tag (a cover picture, say) in front of MP3, AAC or FLAC: skipped, and the
          // audio after it judged; a few zero bytes of padding may follow the tag, and some
          // taggers leave a second tag behind the first.
          for (int tags = 0; tag > 0 && tags < 16; tags++) {
            in.skipNBytes(tag);
            peek();
            tag = Sniffer.id3Length(head, headLength);
          }
          kind = Sniffer.kind(head, headLength);
          int zeros = 0;
          while (zeros < Math.min(headLength, 4096) && head[zeros] == 0) zeros++;
          if (kind == Sniffer.Kind.UNKNOWN && zeros > 0
              && Sniffer.mpegAt(head, headLength, zeros)) {
            in.skipNBytes(zeros);
            peek();
            kind = Sniffer.Kind.MP3;
          }
        }
      } catch (java.io.EOFException e) {
        throw notAudio();
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      }
      if (kind == Sniffer.Kind.UNKNOWN && Sniffer.freeFormatAt(head, headLength, 0))
        return checked(freeFormatMp3(), Sniffer.Kind.MP3);
      return checked(decode(kind), kind);
    }

    private AudioInputStream decode(Sniffer.Kind kind) {
      switch (kind) {
        case WAV:
          return wav();
        case MP3:
          return mp3();
        case OGG_VORBIS:
          return vorbis();
        case AIFF:
        case AU:
        case UNKNOWN:
          return javaSound(kind);
        default:
          return external(kind);
      }
    }

    private void peek() throws IOException {
      in.mark(head.length);
      headLength = in.readNBytes(head, 0, head.length);
      in.reset();
    }

    private CliException notAudio() {
      return CliException.io("cannot read '" + name
          + "': not a WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC file");
    }

    private CliException notJavaSound() {
      return CliException.io(
          "cannot read '" + name + "': not a WAV, AIFF or AU file that Java Sound can decode");
    }

    // A WAV: the format from Java Sound, the samples and their true length from the chunks.
    private AudioInputStream wav() {
      WavHeader header = WavHeader.parse(head, headLength);
      if (header == null)
        return javaSound(Sniffer.Kind.WAV);
      AudioFormat format = javaSoundFormat(header.forJavaSound(head));
      if (format == null)
        throw notJavaSound();
      long frameBytes = format.getFrameSize();
      long available = size() < 0 ? -1 : size() - header.dataOffset;
      long bytes = header.declaredBytes;
      if (bytes < 0) {
        bytes = available;
      } else if (available >= 0 && bytes > available) {
        if (frameBytes > 0 && available < frameBytes) {
          throw CliException.io("cannot read '" + name + "': it holds no audio of the "
              + AudioFiles.duration(bytes / frameBytes, format.getSampleRate())
              + " its header declares (the file is cut short)");
        }
        if (frameBytes > 0) {
          warnings.println(shortWarning(
              name, available / frameBytes, bytes / frameBytes, format.getSampleRate()));
          warnings.flush();
        }
        bytes = available;
      }
      try {
        in.skipNBytes(header.dataOffset);
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      }
      long frames = bytes < 0 || frameBytes <= 0 ? AudioSystem.NOT_SPECIFIED : bytes / frameBytes;
      return new AudioInputStream(in, format, frames);
    }

    // The format Java Sound's readers find in a WAV header, or null.
    private static AudioFormat javaSoundFormat(byte[] header) {
      for (AudioFileReader reader : Providers.javaSoundReaders()) {
        try {
          return reader.getAudioFileFormat(new ByteArrayInputStream(header)).getFormat();
        } catch (UnsupportedAudioFileException | IOException e) {
          // The next reader may know the format.
        }
      }
      return null;
    }

    private long size() {
      if (file == null)
        return -1;
      try {
        return Files.size(file);
      } catch (IOException e) {
        return -1;
      }
    }

    // Java Sound's own readers (never the class path's MP3 or Vorbis ones, which take almost any
    // bytes for their format): from the file as before, or from the stream.
    private AudioInputStream javaSound(Sniffer.Kind kind) {
      IOException failure = null;
      for (AudioFileReader reader : Providers.javaSoundReaders()) {
        try {
          if (file != null)
            return reader.getAudioInputStream(file.toFile());
          in.reset();
          return reader.getAudioInputStream(in);
        } catch (UnsupportedAudioFileException e) {
          // The next reader may know the format.
        } catch (IOException e) {
          if (failure == null)
            failure = e;
        }
      }
      if (failure != null) {
        // Java Sound's readers fail with an IOException on some damaged headers too. They read
        // a header through a mark they can return to: a header that runs past it has a chunk
        // longer than the file in a file, and may only be long in a stream.
        boolean pastMark = "Resetting to invalid mark".equals(failure.getMessage());
        String reason =
            pastMark ? "a chunk runs past the end of the file" : AudioFiles.describe(failure);
        if (pastMark && file == null) {
          throw CliException.io("cannot read '" + name + "': its header runs past the 64 KiB the"
              + " tool reads ahead in a stream; give it as a file");
        }
        throw CliException.io(
            "cannot read '" + name + "': its header is damaged (" + reason + ")");
      }
      throw kind == Sniffer.Kind.UNKNOWN ? notAudio() : notJavaSound();
    }

    // An MP3, decoded to its real end and trimmed as its header frames say (see Mp3Stream).
    private AudioInputStream mp3() {
      Mp3Gapless first = Mp3Gapless.parse(head, headLength, 0);
      if (first != null)
        lengthHint = first.frames;
      Mp3Stream.Frames frames = new Mp3Stream.Frames(in, name);
      AudioInputStream pcm = toPcm(
          fromClassPath(MP3_READER, new BufferedInputStream(frames, Sniffer.PEEK), "MP3",
              MP3_PACKAGES),
          "MP3");
      AudioFormat f = pcm.getFormat();
      Mp3Stream.Pcm trimmed = new Mp3Stream.Pcm(pcm, frames, f.getFrameSize(),
          Sniffer.mpegFrameSamples(head, 0), name, f.getSampleRate(), warnings);
      return new AudioInputStream(trimmed, f, AudioSystem.NOT_SPECIFIED);
    }

    // A free-format MP3 (made at a bitrate outside the standard ones, so that no header gives a
    // frame's size), which the Java decoders cannot read: decoded by mpg123, which trims it as
    // its LAME tag says, at the first frame's rate and channels throughout. The tag's length is
    // the length stated, for the warning when the file is cut short.
    private AudioInputStream freeFormatMp3() {
      if (!ExternalDecoder.hasMpg123()) {
        throw CliException.io("cannot read '" + name + "': it is a free-format MP3 (made at a"
            + " bitrate outside the standard ones), which only the program mpg123 decodes, and"
            + " it is not on the PATH; install the Debian package mpg123 (apt-get install"
            + " mpg123)");
      }
      int rate = Sniffer.mpegRate(head, 0);
      int channels = ((head[3] >>> 6) & 3) == 3 ? 1 : 2;
      Mp3Gapless gapless =
          Mp3Gapless.parse(head, headLength, 0, Sniffer.freeFormatFrameBytes(head, headLength, 0));
      if (gapless != null && gapless.frames > 0) {
        lengthHint = gapless.frames;
        statedSeconds = () -> gapless.frames / (double) rate;
      }
      ExternalDecoder.Output output;
      try {
        output = ExternalDecoder.startMpg123(in, name, rate, channels);
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      }
      AudioFormat format = AudioStreams.pcm16(
          rate, channels, java.nio.ByteOrder.nativeOrder() == java.nio.ByteOrder.BIG_ENDIAN);
      return new AudioInputStream(output, format, AudioSystem.NOT_SPECIFIED);
    }

    // Ogg Vorbis, every stream of a chained file in turn.
    private AudioInputStream vorbis() {
      int packet = 27 + (head[26] & 0xff);
      int channels = packet + 11 < headLength ? head[packet + 11] & 0xff : 0;
      if (channels > 2) {
        throw CliException.io("cannot process '" + name + "': it has " + channels
            + " channels, and only mono and stereo are supported");
      }
      OggChains chains = new OggChains(in);
      OggChains.Chain first = chains.next();
      AudioInputStream pcm = toPcm(
          fromClassPath(VORBIS_READER, first, "Ogg Vorbis", VORBIS_PACKAGES), "Ogg Vorbis");
      return new AudioInputStream(
          new ChainedVorbis(chains, first, pcm), pcm.getFormat(), AudioSystem.NOT_SPECIFIED);
    }

    // The decoded streams of a chained Ogg Vorbis file one after the other. Each ends where the
    // granule position of its last page says (the decoder gives the whole last block), and one
    // cut short is read as far as it goes, with the warning.
    private final class ChainedVorbis extends InputStream {
      // Decoded frames wait this long, for the end of the stream to trim them: a Vorbis block
      // holds 4096 frames at most.
      private static final int HOLD = 8192;
      private final OggChains chains;
      private final AudioFormat format;
      private final int frameBytes;
      private OggChains.Chain chain;
      private AudioInputStream pcm;
      private byte[] pending = new byte[1 << 16];
      private int pendingBytes;
      private long decodedBytes; // of the current stream
      private boolean chainEnded;
      private int index = 1;

      ChainedVorbis(OggChains chains, OggChains.Chain chain, AudioInputStream pcm) {
        this.chains = chains;
        this.chain = chain;
        this.pcm = pcm;
        this.format = pcm.getFormat();
        this.frameBytes = format.getFrameSize();
      }

      @Override
      public int read() throws IOException {
        throw new IOException("samples are read in whole frames");
      }

      // Reads whole frames, as AudioInputStream asks for them.
      @Override
      public int read(byte[] b, int off, int len) throws IOException {
        if (len < frameBytes)
          return 0;
        while (true) {
          int ready = chainEnded ? pendingBytes : pendingBytes - HOLD * frameBytes;
          ready -= ready % frameBytes;
          if (ready > 0) {
            int n = Math.min(ready, len - len % frameBytes);
            System.arraycopy(pending, 0, b, off, n);
            System.arraycopy(pending, n, pending, 0, pendingBytes - n);
            pendingBytes -= n;
            return n;
          }
          if (chainEnded) {
            nextChain();
            if (pcm == null)
              return -1;
            continue;
          }
          if (pending.length - pendingBytes < 16384)
            pending = java.util.Arrays.copyOf(pending, pending.length * 2);
          int n = pcm.read(pending, pendingBytes, pending.length - pendingBytes);
          if (n > 0) {
            pendingBytes += n;
            decodedBytes += n;
          } else if (n < 0) {
            endOfChain();
          }
        }
      }

      private void endOfChain() throws IOException {
        chainEnded = true;
        if (chains.failure() != null)
          throw chains.failure();
        long decoded = decodedBytes / frameBytes;
        long granule = chain.granule();
        if (chain.whole() && granule >= 0 && granule < decoded && decoded - granule <= HOLD) {
          pendingBytes -= (int) Math.min(pendingBytes, (decoded - granule) * frameBytes);
        } else if (!chain.whole() && decoded > 0) {
          // Cut inside a page, its granule position says how much is missing; cut between two,
          // only that the last page never came.
          warnings.println(granule > decoded
                  ? shortWarning(name, decoded, granule, format.getSampleRate())
                  : "hopwarbler: warning: '" + name + "' is cut short: it ends before its last"
                      + " page, after " + AudioFiles.duration(decoded, format.getSampleRate())
                      + "; processing what is there");
          warnings.flush();
        }
        pendingBytes -= pendingBytes % frameBytes;
      }

      private void nextChain() throws IOException {
        AudioFiles.close(pcm);
        pcm = null;
        chain = chains.next();
        if (chain == null)
          return;
        index++;
        decodedBytes = 0;
        chainEnded = false;
        AudioInputStream next;
        try {
          next = toPcm(
              fromClassPath(VORBIS_READER, chain, "Ogg Vorbis", VORBIS_PACKAGES), "Ogg Vorbis");
        } catch (CliException e) {
          throw new IOException("its stream " + index + " (of a chained file) is not Ogg Vorbis"
              + " that can be decoded");
        }
        AudioFormat f = next.getFormat();
        if (f.getSampleRate() != format.getSampleRate() || f.getChannels() != format.getChannels()) {
          AudioFiles.close(next);
          throw new IOException("its stream " + index + " (of a chained file) is "
              + (int) f.getSampleRate() + " Hz " + f.getChannels() + "-channel audio where the "
              + "first is " + (int) format.getSampleRate() + " Hz " + format.getChannels()
              + "-channel; convert it to one format first");
        }
        pcm = next;
      }

      @Override
      public void close() {
        AudioFiles.close(pcm);
      }
    }

    private AudioInputStream fromClassPath(
        String readerClass, InputStream in, String label, String packages) {
      AudioFileReader reader = Providers.classPathReader(readerClass);
      if (reader == null) {
        throw CliException.io("cannot read '" + name + "': decoding " + label + " needs the Java"
            + " packages " + packages + " (apt-get install " + packages + ")");
      }
      try {
        return reader.getAudioInputStream(in);
      } catch (UnsupportedAudioFileException e) {
        throw CliException.io("cannot read '" + name + "': its " + label + " cannot be decoded");
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      } catch (LinkageError e) {
        throw CliException.io("cannot read '" + name + "': decoding " + label + " needs the Java"
            + " packages " + packages + " (" + e + ")");
      }
    }

    // Decodes a compressed stream to 16-bit PCM once, here: a decoder reads ahead as it starts,
    // so a second conversion of the same source would begin where the first one stopped.
    private AudioInputStream toPcm(AudioInputStream coded, String label) {
      AudioFormat f = coded.getFormat();
      for (boolean bigEndian : new boolean[] {false, true}) {
        AudioFormat pcm = AudioStreams.pcm16(f.getSampleRate(), f.getChannels(), bigEndian);
        try {
          if (AudioSystem.isConversionSupported(pcm, f))
            return AudioSystem.getAudioInputStream(pcm, coded);
        } catch (IllegalArgumentException | LinkageError e) {
          break;
        }
      }
      AudioFiles.close(coded);
      throw CliException.io("cannot read '" + name + "': its " + label + " cannot be decoded");
    }

    private AudioInputStream external(Sniffer.Kind kind) {
      int bits = kind == Sniffer.Kind.FLAC && headLength >= 22
          ? (((head[20] & 1) << 4) | ((head[21] & 0xff) >>> 4)) + 1
          : 16;
      InputStream feed = file == null ? in : null;
      int rate = 0;
      if (kind == Sniffer.Kind.OGG_OPUS) {
        // Opus through the tool's own page reader, which keeps what a page cut short holds
        // and knows the stated length; decoded at the rate of the source it was made from.
        OggChains chains = new OggChains(in);
        feed = chains.all();
        int packet = 27 + (head[26] & 0xff);
        rate = packet + 16 <= headLength ? intLe(head, packet + 12) : 0;
        if (rate < 8000 || rate > 192000)
          rate = 48000;
        statedSeconds = () -> opusSeconds(chains);
      } else if (kind == Sniffer.Kind.MP4) {
        double seconds = Mp4Length.seconds(head, headLength);
        if (seconds > 0)
          statedSeconds = () -> seconds;
      }
      ExternalDecoder.Output output;
      try {
        output = ExternalDecoder.start(
            kind, feed == null ? file : null, feed, name, bits, rate);
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      }
      if (feed == null)
        AudioFiles.close(in);
      try {
        // The decoder's WAV, read as a stream like any other; its own errors name the decoder.
        return new Opener(path, null, new BufferedInputStream(output, Sniffer.PEEK), warnings)
            .decodedWav(output);
      } catch (CliException e) {
        AudioFiles.close(output);
        throw e;
      }
    }

    private static int intLe(byte[] b, int at) {
      return (b[at] & 0xff) | ((b[at + 1] & 0xff) << 8) | ((b[at + 2] & 0xff) << 16)
          | ((b[at + 3] & 0xff) << 24);
    }

    // The length the granule positions of an Opus file state: each stream's last granule, less
    // the pre-skip its header gives, at 48 kHz.
    private static double opusSeconds(OggChains chains) {
      double seconds = 0;
      for (OggChains.Chain chain : chains.chains()) {
        byte[] h = chain.firstPacket();
        if (h.length < 12 || chain.granule() < 0)
          continue;
        int preSkip = (h[10] & 0xff) | ((h[11] & 0xff) << 8);
        seconds += Math.max(0, chain.granule() - preSkip) / 48000.0;
      }
      return seconds;
    }

    private AudioInputStream decodedWav(ExternalDecoder.Output output) {
      try {
        peek();
      } catch (IOException e) {
        throw CliException.io("cannot read '" + name + "': " + AudioFiles.describe(e));
      }
      if (Sniffer.kind(head, headLength) != Sniffer.Kind.WAV
          || WavHeader.parse(head, headLength) == null)
        throw CliException.io("cannot read '" + name + "': " + output.failure());
      try {
        return wav();
      } catch (CliException e) {
        throw CliException.io(
            "cannot read '" + name + "': " + output.program() + " gave a WAV the tool cannot read");
      }
    }

    // The checks every input passes, and the conversion of encodings other than PCM.
    private InputFile checked(AudioInputStream stream, Sniffer.Kind kind) {
      AudioFormat format = stream.getFormat();
      if (stream.getFrameLength() == 0) {
        AudioFiles.close(stream);
        throw CliException.io("cannot read '" + name + "': it holds no audio");
      }
      int channels = format.getChannels();
      if (channels != 1 && channels != 2) {
        AudioFiles.close(stream);
        throw CliException.io("cannot process '" + name + "': it has " + channels
            + " channels, and only mono and stereo are supported");
      }
      float rate = format.getSampleRate();
      if (!(rate >= 4) || rate != Math.rint(rate) || rate > 1_000_000) {
        AudioFiles.close(stream);
        throw CliException.io("cannot process '" + name + "': its sample rate " + rate
            + " Hz is not a whole number from 4 to 1000000");
      }
      AudioFormat.Encoding encoding = format.getEncoding();
      boolean pcm = encoding.equals(AudioFormat.Encoding.PCM_SIGNED)
          || encoding.equals(AudioFormat.Encoding.PCM_UNSIGNED)
          || encoding.equals(AudioFormat.Encoding.PCM_FLOAT);
      if (!pcm) {
        AudioFormat target = AudioStreams.pcm16(rate, channels, false);
        if (AudioSystem.isConversionSupported(target, format))
          stream = AudioSystem.getAudioInputStream(target, stream);
      }
      try {
        // Checks, without reading, that the samples are PCM the reader decodes; otherwise the
        // failure would come only once the output is being written.
        AudioStreams.reader(stream);
      } catch (IllegalArgumentException e) {
        AudioFiles.close(stream);
        throw CliException.io("cannot read '" + name + "': its " + format.getSampleSizeInBits()
            + "-bit " + format.getEncoding() + " samples cannot be decoded");
      }
      return new InputFile(path, stream, lengthHint, statedSeconds, kind, file == null, warnings);
    }
  }

  // A pipe cannot seek, so skipping in one reads and drops the bytes.
  private static final class Unseekable extends FilterInputStream {
    Unseekable(InputStream in) {
      super(in);
    }

    @Override
    public long skip(long n) throws IOException {
      byte[] scratch = new byte[8192];
      long skipped = 0;
      while (skipped < n) {
        int got = in.read(scratch, 0, (int) Math.min(scratch.length, n - skipped));
        if (got < 0)
          break;
        skipped += got;
      }
      return skipped;
    }
  }

  // Tags read failures, and warns once when the input ends before the length it declared.
  private final class Tagging extends FilterInputStream {
    private final long declaredFrames;
    private final DoubleSupplier stated;
    private final int frameBytes;
    private long bytesRead;
    private boolean ended;

    Tagging(AudioInputStream in, DoubleSupplier stated) {
      super(in);
      this.declaredFrames = in.getFrameLength();
      this.stated = stated;
      this.frameBytes = in.getFormat().getFrameSize();
    }

    @Override
    public int read() throws IOException {
      try {
        int b = super.read();
        counted(b < 0 ? -1 : 1);
        return b;
      } catch (IOException e) {
        throw new ReadFailure(e);
      }
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      try {
        int n = super.read(b, off, len);
        counted(n);
        return n;
      } catch (IOException e) {
        throw new ReadFailure(e);
      }
    }

    private void counted(int n) throws IOException {
      if (n > 0) {
        bytesRead += n;
      } else if (n < 0 && !ended) {
        ended = true;
        long held = frameBytes > 0 ? bytesRead / frameBytes : 0;
        long declaredFrames = this.declaredFrames;
        if (declaredFrames < 0 && stated != null) {
          // A length in seconds: a millisecond less is rounding, not a loss.
          long frames = Math.round(stated.getAsDouble() * format.getSampleRate());
          declaredFrames = held + Math.round(format.getSampleRate() / 1000) < frames ? frames : -1;
        }
        if (held == 0) {
          // Nothing to process: a failure, not an empty output.
          throw new IOException("it holds no audio"
              + (declaredFrames > 0 ? " of the " + AudioFiles.duration(declaredFrames,
                     format.getSampleRate()) + " its header declares (the file is cut short)"
                                    : ""));
        }
        if (declaredFrames >= 0 && frameBytes > 0 && held < declaredFrames) {
          warnings.println(
              shortWarning(path.toString(), held, declaredFrames, format.getSampleRate()));
          warnings.flush();
        }
      }
    }
  }
}

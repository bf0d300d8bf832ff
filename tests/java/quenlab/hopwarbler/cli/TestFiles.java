package quenlab.hopwarbler.cli;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Path;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import javax.sound.sampled.spi.AudioFileReader;
import quenlab.hopwarbler.support.Pcm;

/** Generated audio files for the command-line tests. */
final class TestFiles {
  static final int RATE = 44100;

  private TestFiles() {}

  /** Audio in a file: interleaved 16-bit samples and the channel count. */
  record Audio(short[] samples, int channels, float sampleRate) {
    int frames() {
      return samples.length / channels;
    }

    double[] channel(int index) {
      return Pcm.channel(samples, channels, index);
    }
  }

  static void write(Path file, short[] samples, int channels) {
    write(file, samples, channels, AudioFileFormat.Type.WAVE);
  }

  static void write(Path file, short[] samples, int channels, AudioFileFormat.Type type) {
    write(file, samples, channels, RATE, type);
  }

  static void write(Path file, short[] samples, int channels, float rate) {
    write(file, samples, channels, rate, AudioFileFormat.Type.WAVE);
  }

  static void write(
      Path file, short[] samples, int channels, float rate, AudioFileFormat.Type type) {
    byte[] bytes = new byte[2 * samples.length];
    for (int i = 0; i < samples.length; i++) {
      bytes[2 * i] = (byte) samples[i];
      bytes[2 * i + 1] = (byte) (samples[i] >> 8);
    }
    AudioFormat format = new AudioFormat(rate, 16, channels, true, false);
    try (AudioInputStream in = new AudioInputStream(
             new ByteArrayInputStream(bytes), format, samples.length / channels)) {
      AudioSystem.write(in, type, file.toFile());
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
  }

  /**
   * Reads a WAV, AIFF or AU file with the Java runtime's own readers: the MP3 reader on the test
   * class path takes a WAV whose first chunk is not "fmt " for MPEG audio when it is asked first.
   */
  static Audio read(Path file) {
    try (AudioInputStream in = open(file)) {
      AudioFormat f = in.getFormat();
      byte[] bytes = in.readAllBytes();
      short[] samples = new short[bytes.length / 2];
      for (int i = 0; i < samples.length; i++) {
        int hi = f.isBigEndian() ? bytes[2 * i] : bytes[2 * i + 1];
        int lo = f.isBigEndian() ? bytes[2 * i + 1] : bytes[2 * i];
        samples[i] = (short) ((hi << 8) | (lo & 0xff));
      }
      return new Audio(samples, f.getChannels(), f.getSampleRate());
    } catch (IOException | UnsupportedAudioFileException e) {
      throw new AssertionError("cannot read " + file + ": " + e, e);
    }
  }

  private static AudioInputStream open(Path file)
      throws IOException, UnsupportedAudioFileException {
    for (AudioFileReader reader : Providers.javaSoundReaders()) {
      try {
        return reader.getAudioInputStream(file.toFile());
      } catch (UnsupportedAudioFileException e) {
        // The next reader may know the format.
      }
    }
    throw new UnsupportedAudioFileException("not a WAV, AIFF or AU file");
  }
}

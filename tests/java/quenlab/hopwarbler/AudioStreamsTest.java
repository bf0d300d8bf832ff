package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.Pcm.concat;
import static quenlab.hopwarbler.support.Sounds.RATE;
import static quenlab.hopwarbler.support.Sounds.tones;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import javax.sound.sampled.AudioFileFormat;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioInputStream;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.UnsupportedAudioFileException;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class AudioStreamsTest {
  private static final int[] VALUES = {-32768, -12345, -256, -1, 0, 1, 255, 12345, 32767};

  private static AudioInputStream stream(byte[] bytes, AudioFormat format) {
    return new AudioInputStream(
        new ByteArrayInputStream(bytes), format, bytes.length / format.getFrameSize());
  }

  private static short[] readAll(AudioInputStream in) throws IOException {
    AudioStreams.SampleReader reader = AudioStreams.reader(in);
    short[] block = new short[7 * reader.channels()];
    short[] all = new short[0];
    int n;
    while ((n = reader.read(block, 7)) >= 0) {
      all = concat(all, Arrays.copyOf(block, n * reader.channels()));
    }
    return all;
  }

  // What the reader makes of `bytes` as PCM of the given encoding, width and channels.
  private static short[] decoded(ByteArrayOutputStream bytes, AudioFormat.Encoding encoding,
      int bits, int channels, boolean bigEndian) throws IOException {
    AudioFormat format =
        new AudioFormat(encoding, RATE, bits, channels, bits / 8 * channels, RATE, bigEndian);
    return readAll(stream(bytes.toByteArray(), format));
  }

  // Writes `value` as `bytes` bytes in the given order.
  private static void put(ByteArrayOutputStream out, long value, int bytes, boolean bigEndian) {
    for (int k = 0; k < bytes; k++) {
      int shift = 8 * (bigEndian ? bytes - 1 - k : k);
      out.write((int) (value >> shift) & 0xff);
    }
  }

  @Test
  void decodesEveryPcmWidthTo16Bits() throws IOException {
    for (boolean bigEndian : new boolean[] {false, true}) {
      ByteArrayOutputStream s16 = new ByteArrayOutputStream();
      ByteArrayOutputStream u16 = new ByteArrayOutputStream();
      ByteArrayOutputStream s24 = new ByteArrayOutputStream();
      ByteArrayOutputStream s32 = new ByteArrayOutputStream();
      ByteArrayOutputStream f32 = new ByteArrayOutputStream();
      ByteArrayOutputStream f64 = new ByteArrayOutputStream();
      short[] expected24 = new short[2 * VALUES.length];
      for (int i = 0; i < VALUES.length; i++) {
        int v = VALUES[i];
        put(s16, v, 2, bigEndian);
        put(u16, v + 32768, 2, bigEndian);
        // 24 bits: a remainder below half an LSB of 16 bits rounds down, one above rounds up.
        put(s24, v * 256L + 100, 3, bigEndian);
        put(s24, v * 256L + 200, 3, bigEndian);
        expected24[2 * i] = (short) v;
        expected24[2 * i + 1] = (short) Math.min(32767, v + 1);
        put(s32, v * 65536L + 0x7fff, 4, bigEndian);
        put(f32, Float.floatToIntBits(v / 32768f), 4, bigEndian);
        put(f64, Double.doubleToLongBits(v / 32768.0), 8, bigEndian);
      }
      short[] expected = new short[VALUES.length];
      for (int i = 0; i < VALUES.length; i++) expected[i] = (short) VALUES[i];
      AudioFormat.Encoding signed = AudioFormat.Encoding.PCM_SIGNED;
      AudioFormat.Encoding unsigned = AudioFormat.Encoding.PCM_UNSIGNED;
      AudioFormat.Encoding real = AudioFormat.Encoding.PCM_FLOAT;
      String order = bigEndian ? " big-endian" : " little-endian";
      assertArrayEquals(expected, decoded(s16, signed, 16, 1, bigEndian), "16 bits" + order);
      assertArrayEquals(expected, decoded(u16, unsigned, 16, 1, bigEndian), "16 unsigned" + order);
      assertArrayEquals(expected24, decoded(s24, signed, 24, 2, bigEndian), "24 bits" + order);
      assertArrayEquals(expected, decoded(s32, signed, 32, 1, bigEndian), "32 bits" + order);
      assertArrayEquals(expected, decoded(f32, real, 32, 1, bigEndian), "float" + order);
      assertArrayEquals(expected, decoded(f64, real, 64, 1, bigEndian), "double" + order);
    }
    byte[] eight = {(byte) 0x80, (byte) 0xff, 0, 1, 0x7f};
    assertArrayEquals(new short[] {-32768, -256, 0, 256, 32512},
        readAll(stream(eight, new AudioFormat(RATE, 8, 1, true, false))), "8 bits signed");
    assertArrayEquals(new short[] {0, 32512, -32768, -32512, -256},
        readAll(stream(
            eight, new AudioFormat(AudioFormat.Encoding.PCM_UNSIGNED, RATE, 8, 1, 1, RATE, false))),
        "8 bits unsigned");
    ByteArrayOutputStream loud = new ByteArrayOutputStream();
    put(loud, Float.floatToIntBits(1.5f), 4, false);
    put(loud, Float.floatToIntBits(-2f), 4, false);
    assertArrayEquals(new short[] {32767, -32768},
        readAll(stream(loud.toByteArray(),
            new AudioFormat(AudioFormat.Encoding.PCM_FLOAT, RATE, 32, 1, 4, RATE, false))),
        "floats beyond full scale are clamped");
  }

  @Test
  void muLawIsDecodedThroughJavaSound() throws IOException {
    short[] tone = tones(1000, new double[] {440}, new double[] {0.5}, RATE);
    AudioInputStream pcm = stream(
        AudioStreams.toBytes(tone, tone.length, false, null), AudioStreams.pcm16(RATE, 1, false));
    AudioFormat ulaw = new AudioFormat(AudioFormat.Encoding.ULAW, RATE, 8, 1, 1, RATE, false);
    AudioInputStream encoded = AudioSystem.getAudioInputStream(ulaw, pcm);
    short[] decoded = readAll(encoded);
    assertEquals(tone.length, decoded.length);
    for (int i = 0; i < tone.length; i++) {
      assertTrue(Math.abs(decoded[i] - tone[i]) <= 0.04 * Math.abs(tone[i]) + 40, "sample " + i);
    }
  }

  @Test
  void theProcessedStreamHoldsWhatTheProcessorMakes() throws IOException {
    int frames = RATE / 2 + 123;
    short[] input = tones(frames, new double[] {440, 660}, new double[] {0.3, 0.2}, RATE);
    AudioFormat format = AudioStreams.pcm16(RATE, 2, true);
    short[] direct;
    try (Processor p = Processor.open(RATE, 2)) {
      p.setSpeed(1.25);
      direct = concat(p.process(input), p.flush());
    }
    try (Processor p = AudioStreams.openProcessor(format)) {
      p.setSpeed(1.25);
      AudioInputStream processed = AudioStreams.process(
          stream(AudioStreams.toBytes(input, input.length, true, null), format), p);
      assertEquals(Math.round(frames / 1.25), processed.getFrameLength());
      assertTrue(!processed.getFormat().isBigEndian());
      assertArrayEquals(direct, readAll(processed));
    }
  }

  @Test
  void processedStreamsWriteAndReadBackInEveryFileType(@TempDir Path folder)
      throws IOException, UnsupportedAudioFileException {
    short[] input = tones(RATE / 4, new double[] {440}, new double[] {0.3}, RATE);
    AudioFormat format = AudioStreams.pcm16(RATE, 1, false);
    for (AudioFileFormat.Type type : new AudioFileFormat.Type[] {
             AudioFileFormat.Type.WAVE, AudioFileFormat.Type.AIFF, AudioFileFormat.Type.AU}) {
      File file = folder.resolve("out." + type.getExtension()).toFile();
      short[] expected;
      try (Processor p = AudioStreams.openProcessor(format)) {
        p.setSpeed(0.8);
        AudioInputStream processed = AudioStreams.process(
            stream(AudioStreams.toBytes(input, input.length, false, null), format), p, 100, null);
        AudioSystem.write(processed, type, file);
        expected = concat(p.process(input), p.flush());
      }
      try (AudioInputStream back = AudioSystem.getAudioInputStream(file)) {
        assertArrayEquals(expected, readAll(back), type.toString());
      }
      assertTrue(Files.size(file.toPath()) > 2L * expected.length);
    }
  }

  @Test
  void listenerSeesEveryBlockAndTheEnd() throws IOException {
    short[] input = tones(10000, new double[] {440}, new double[] {0.3}, RATE);
    AudioFormat format = AudioStreams.pcm16(RATE, 1, false);
    long[] seen = new long[3];
    try (Processor p = AudioStreams.openProcessor(format)) {
      AudioInputStream processed = AudioStreams.process(
          stream(AudioStreams.toBytes(input, input.length, false, null), format), p, 1000,
          (framesIn, output, last) -> {
            seen[0] = framesIn;
            seen[1] += output.length;
            if (last)
              seen[2]++;
          });
      assertEquals(10000, readAll(processed).length);
    }
    assertArrayEquals(new long[] {10000, 10000, 1}, seen);
  }

  @Test
  void refusesWhatItCannotCarry() {
    AudioFormat surround = new AudioFormat(RATE, 16, 6, true, false);
    IllegalArgumentException e = assertThrows(
        IllegalArgumentException.class, () -> AudioStreams.reader(stream(new byte[120], surround)));
    assertEquals("only mono and stereo are supported, the stream has 6 channels", e.getMessage());
    assertThrows(IllegalArgumentException.class, () -> AudioStreams.openProcessor(surround));
    try (Processor mono = Processor.open(RATE, 1)) {
      AudioFormat stereo = AudioStreams.pcm16(RATE, 2, false);
      IllegalArgumentException mismatch = assertThrows(IllegalArgumentException.class,
          () -> AudioStreams.process(stream(new byte[400], stereo), mono));
      assertTrue(mismatch.getMessage().contains("the processor is open for 44100 Hz, 1"));
      assertThrows(IllegalArgumentException.class,
          () -> AudioStreams.process(stream(new byte[400], stereo), mono, 0, null));
    }
    AudioFormat odd = new AudioFormat(22050.5f, 16, 1, true, false);
    assertThrows(IllegalArgumentException.class, () -> AudioStreams.sampleRateOf(odd));
    // Counts past the arrays given, whose byte sizes would also pass the int range.
    assertThrows(IllegalArgumentException.class,
        () -> AudioStreams.toBytes(new short[4], 1 << 30, false, null));
    assertThrows(IllegalArgumentException.class,
        () -> AudioStreams.toBytes(new short[4], -1, false, null));
    AudioFormat wide =
        new AudioFormat(AudioFormat.Encoding.PCM_FLOAT, RATE, 64, 2, 16, RATE, false);
    AudioStreams.SampleReader reader = AudioStreams.reader(stream(new byte[160], wide));
    assertThrows(IllegalArgumentException.class, () -> reader.read(new short[20], 11));
    assertThrows(
        IllegalArgumentException.class, () -> reader.read(new short[20], Integer.MAX_VALUE));
  }
}

package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.NativeStreams.FRAME;
import static quenlab.hopwarbler.NativeStreams.OVER;
import static quenlab.hopwarbler.NativeStreams.RATE;

import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import quenlab.hopwarbler.support.Sounds;

/**
 * Calls a host may get wrong: they throw (or do nothing) without touching the array or the
 * stream, and formats at the edges of the allowed ranges work.
 */
class MisuseTest {
  private static final int BLOCKS = 6;
  private static final int BLOCK_IN = 4096;
  private static final int BLOCK_OUT = 5120; // ratio 1.25, so a stray phase reset shows

  private final NativeInterface dsp = new NativeInterface();

  /**
   * A stereo stream of BLOCKS blocks at ratio 1.25, with interruption run between the third and
   * the fourth block; returns the concatenated output.
   */
  private short[] streamWith(Runnable interruption) {
    short[] in = Sounds.pcm(BLOCKS * BLOCK_IN, Sounds.sine(9000, 523.3, RATE),
        Sounds.noise(5000, 31, BLOCKS * BLOCK_IN));
    dsp.dspInit(FRAME, OVER, RATE, 2);
    short[] out = new short[2 * BLOCKS * BLOCK_OUT];
    short[] block = new short[2 * BLOCK_OUT];
    for (int b = 0; b < BLOCKS; b++) {
      if (b == BLOCKS / 2) {
        interruption.run();
      }
      Arrays.fill(block, (short) 0);
      System.arraycopy(in, 2 * b * BLOCK_IN, block, 0, 2 * BLOCK_IN);
      dsp.dspProcess(block, BLOCK_IN, BLOCK_OUT, 0f);
      System.arraycopy(block, 0, out, 2 * b * BLOCK_OUT, 2 * BLOCK_OUT);
    }
    return out;
  }

  private void assertStreamUnaffectedBy(Runnable interruption) {
    short[] clean = streamWith(() -> {});
    short[] interrupted = streamWith(interruption);
    assertArrayEquals(clean, interrupted, "the stream changed (noise seed 31)");
  }

  private static short[] pattern(int length) {
    short[] a = new short[length];
    for (int i = 0; i < length; i++) {
      a[i] = (short) (i * 7919 + 13);
    }
    return a;
  }

  @ParameterizedTest(name = "{0} channel(s), {1} entries for {2} frames in, {3} out")
  @CsvSource({
      "1, 511, 512, 512",
      "1, 512, 512, 640",
      "1, 0, 512, 512",
      "1, 100, 4096, 1",
      "2, 1023, 512, 512",
      "2, 512, 512, 512",
      "2, 1279, 512, 640",
      "2, 1999, 256, 1000",
  })
  void
  tooShortArrayThrowsAndTouchesNothing(int channels, int length, int samplesIn, int samplesOut) {
    Runnable call = () -> {
      short[] samples = pattern(length);
      IllegalArgumentException e = assertThrows(
          IllegalArgumentException.class, () -> dsp.dspProcess(samples, samplesIn, samplesOut, 0f));
      String needed = String.valueOf(Math.max(samplesIn, samplesOut));
      assertTrue(e.getMessage() != null && e.getMessage().contains(String.valueOf(length))
              && e.getMessage().contains(needed),
          "message should give the array length and the frames needed: " + e.getMessage());
      assertArrayEquals(pattern(length), samples, "the array was written");
    };
    if (channels == 2) {
      assertStreamUnaffectedBy(call);
    } else {
      dsp.dspInit(FRAME, OVER, RATE, 1);
      call.run();
    }
  }

  @Test
  void nullArrayThrowsNullPointerException() {
    assertStreamUnaffectedBy(
        () -> assertThrows(NullPointerException.class, () -> dsp.dspProcess(null, 512, 512, 0f)));
  }

  @ParameterizedTest(name = "dspInit({0}, {1}, {2}) names {3}")
  @CsvSource({
      "0, 4, 44100, frameSize",
      "1, 1, 44100, frameSize",
      "2, 1, 44100, frameSize",
      "3, 1, 44100, frameSize",
      "6, 2, 44100, frameSize",
      "2047, 4, 44100, frameSize",
      "8192, 4, 44100, frameSize",
      "-2048, 4, 44100, frameSize",
      "-2147483648, 4, 44100, frameSize",
      "2048, 0, 44100, overSampling",
      "2048, -4, 44100, overSampling",
      "2048, 2049, 44100, overSampling",
      "4, 5, 44100, overSampling",
      "2048, 4, 3, sampleRate",
      "2048, 4, 0, sampleRate",
      "2048, 4, -44100, sampleRate",
  })
  void
  badFormatThrowsAndKeepsTheRunningStream(
      int frameSize, int overSampling, int sampleRate, String argument) {
    assertStreamUnaffectedBy(() -> {
      IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
          () -> dsp.dspInit(frameSize, overSampling, sampleRate, 1));
      assertTrue(e.getMessage() != null && e.getMessage().contains(argument),
          "message should name " + argument + ": " + e.getMessage());
    });
  }

  @ParameterizedTest(name = "dspInit({0}, {1}, {2}, {3})")
  @CsvSource({
      "4, 1, 4, 1",
      "4, 4, 4, 2",
      "8, 3, 8000, 1",
      "4096, 1, 4, 2",
      "4096, 4096, 192000, 1",
      "2048, 2048, 44100, 2",
  })
  void
  formatsAtTheEdgesOfTheRangesWork(int frameSize, int overSampling, int sampleRate, int channels) {
    dsp.dspInit(frameSize, overSampling, sampleRate, channels);
    int width = channels == 1 ? 1 : 2;
    for (int[] size : new int[][] {{300, 300}, {5000, 5000}, {64, 80}, {4096, 2048}}) {
      short[] samples = Sounds.pcm(Math.max(size[0], size[1]), Sounds.noise(20000, 41, 5000));
      short[] block = new short[samples.length * width];
      for (int i = 0; i < block.length; i++) {
        block[i] = samples[i / width];
      }
      dsp.dspProcess(block, size[0], size[1], 0f);
      for (short v : block) {
        assertTrue(v != -32768, "-32768 written (noise seed 41)");
      }
    }
  }

  static Stream<Arguments> emptyBlocks() {
    return Stream.of(Arguments.of(0, 512, true), Arguments.of(-1, 512, true),
        Arguments.of(0, 0, true), Arguments.of(-4096, -4096, true),
        Arguments.of(Integer.MIN_VALUE, 512, true), Arguments.of(0, -1, true),
        Arguments.of(512, -1, false), Arguments.of(4096, -4096, false),
        Arguments.of(512, Integer.MIN_VALUE, false), Arguments.of(512, 0, false));
  }

  /**
   * samplesIn <= 0 or samplesOut < 0 writes nothing (nor does samplesOut = 0); with no input
   * there is nothing for the stream to take in either.
   */
  @ParameterizedTest(name = "samplesIn {0}, samplesOut {1}")
  @MethodSource("emptyBlocks")
  void blocksWithNothingToReturnWriteNothing(int samplesIn, int samplesOut, boolean noInput) {
    Runnable call = () -> {
      short[] samples = pattern(2 * BLOCK_OUT);
      dsp.dspProcess(samples, samplesIn, samplesOut, 0f);
      assertArrayEquals(pattern(2 * BLOCK_OUT), samples, "the array was written");
    };
    if (noInput) {
      assertStreamUnaffectedBy(call);
    } else {
      dsp.dspInit(FRAME, OVER, RATE, 2);
      call.run();
    }
  }
}

package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Random;
import org.junit.jupiter.api.Test;
import quenlab.hopwarbler.support.Fft;
import quenlab.hopwarbler.support.MusicMeasures;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.Sounds;
import quenlab.hopwarbler.support.Stft;
import quenlab.hopwarbler.support.Windows;

/**
 * The music benchmark's measures on signals whose answer is known, so that a fault in a measure
 * cannot pass for a fault (or a virtue) of the library.
 */
class MusicMeasuresTest {
  private static final int RATE = Sounds.RATE;

  private static double[] noise(long seed, int frames) {
    Random random = new Random(seed);
    double[] x = new double[frames];
    for (int i = 0; i < frames; i++) x[i] = 0.2 * random.nextGaussian();
    return x;
  }

  @Test
  void framesOfTwoSignalsMatchThePlainTransform() {
    double[] x = noise(1, 3000);
    double[] y = noise(2, 3000);
    for (int[] shape : new int[][] {{48, 64}, {512, 512}, {1500, 2048}}) {
      Stft stft = new Stft(shape[0], shape[1], 1);
      int n = shape[1];
      double[] aRe = new double[n];
      double[] aIm = new double[n];
      double[] bRe = new double[n];
      double[] bIm = new double[n];
      // The second frame runs past the end of y: the rest counts as zeros.
      stft.pair(x, 10, y, 3000 - shape[0] / 2, aRe, aIm, bRe, bIm);
      double[][] expected = {plain(x, 10, shape[0], n), plain(y, 3000 - shape[0] / 2, shape[0], n)};
      for (int k = 0; k <= n / 2; k++) {
        assertEquals(expected[0][2 * k], aRe[k], 1e-9, "frame " + shape[0] + " bin " + k);
        assertEquals(expected[0][2 * k + 1], aIm[k], 1e-9, "frame " + shape[0] + " bin " + k);
        assertEquals(expected[1][2 * k], bRe[k], 1e-9, "frame " + shape[0] + " bin " + k);
        assertEquals(expected[1][2 * k + 1], bIm[k], 1e-9, "frame " + shape[0] + " bin " + k);
      }
    }
  }

  // The Hann-windowed frame x[from .. from + length), zero-padded to n, by the plain FFT; re and
  // im interleaved.
  private static double[] plain(double[] x, int from, int length, int n) {
    double[] re = new double[n];
    double[] im = new double[n];
    for (int i = 0; i < length && from + i < x.length; i++)
      re[i] = x[from + i] * Windows.hann(i, length);
    Fft.forward(re, im);
    double[] both = new double[2 * n];
    for (int k = 0; k < n; k++) {
      both[2 * k] = re[k];
      both[2 * k + 1] = im[k];
    }
    return both;
  }

  @Test
  void stereoImageOfKnownMixes() {
    int frames = 10 * RATE;
    double[] mid = noise(3, frames);
    double[] side = noise(4, frames);
    double[] left = new double[frames];
    double[] right = new double[frames];
    for (int i = 0; i < frames; i++) {
      left[i] = mid[i] + 0.1 * side[i];
      right[i] = mid[i] - 0.1 * side[i];
    }
    MusicMeasures.StereoImage mix = MusicMeasures.stereoImage(left, right, RATE);
    assertEquals(-20, mix.sideToMidDb(), 0.2);
    for (double octave : mix.sideToMidOctavesDb()) assertEquals(-20, octave, 1.5);

    MusicMeasures.StereoImage same = MusicMeasures.stereoImage(mid, mid, RATE);
    MusicMeasures.StereoImage apart = MusicMeasures.stereoImage(mid, side, RATE);
    for (int o = 0; o < MusicMeasures.OCTAVES_HZ.length; o++) {
      assertEquals(1, same.coherence()[o], 1e-9);
      assertTrue(apart.coherence()[o] < 0.05, "independent channels: " + apart.coherence()[o]);
    }
  }

  @Test
  void centredChordLeaksOnlyWhenTheChannelsDiffer() {
    short[] control = Sounds.stereoControl(RATE, 5);
    double[] left = Pcm.channel(control, 2, 0);
    double[] right = Pcm.channel(control, 2, 1);
    double[] chord = Pcm.channel(control, 2, 1);
    assertEquals(Double.NEGATIVE_INFINITY,
        MusicMeasures.centredLeakDb(chord, chord, RATE, Sounds.CONTROL_CHORD_HZ));
    // The left-only tone and 16-bit rounding stay far below the target of -40 dB.
    assertTrue(MusicMeasures.centredLeakDb(left, right, RATE, Sounds.CONTROL_CHORD_HZ) < -100);
    double[] late = new double[right.length];
    System.arraycopy(right, 0, late, 10, right.length - 10);
    assertTrue(MusicMeasures.centredLeakDb(chord, late, RATE, Sounds.CONTROL_CHORD_HZ) > -20);
  }

  @Test
  void onsetsAreFoundAtTheStretchedTimes() {
    long[] onsets = Sounds.burstOnsets(RATE, 4);
    long[] later = new long[onsets.length];
    for (int i = 0; i < onsets.length; i++) later[i] = 2 * onsets[i];
    double[] in = Pcm.channel(Sounds.bursts(RATE, onsets, 4), 1, 0);
    double[] slow = Pcm.channel(Sounds.bursts(RATE, later, 8), 1, 0);
    double[] flux = MusicMeasures.spectralFlux(in);
    MusicMeasures.OnsetWidths same = MusicMeasures.onsetWidths(flux, flux, RATE, 1);
    MusicMeasures.OnsetWidths stretched =
        MusicMeasures.onsetWidths(flux, MusicMeasures.spectralFlux(slow), RATE, 0.5);
    assertTrue(same.onsets() >= onsets.length);
    assertEquals(same.inputMs(), same.outputMs());
    assertEquals(same.inputMs(), stretched.outputMs(), 1.5);
  }

  @Test
  void chromaFollowsTheNotesNotTheirLength() {
    double[] notes = {220, 261.63, 329.63, 392};
    double[] in = melody(notes, 1, 1);
    assertEquals(1, MusicMeasures.chromaCorrelation(in, melody(notes, 2, 1), RATE, 0.5), 0.01);
    double semitone = Math.pow(2, 1 / 12.0);
    assertTrue(MusicMeasures.chromaCorrelation(in, melody(notes, 1, semitone), RATE, 1) < 0.5);
  }

  // One note a second after the other, each `seconds` long, every frequency times `factor`.
  private static double[] melody(double[] hz, double seconds, double factor) {
    int length = (int) (seconds * RATE);
    double[] x = new double[8 * length];
    for (int i = 0; i < x.length; i++) {
      double f = hz[(i / length) % hz.length] * factor;
      x[i] = 0.3 * Math.sin(2 * Math.PI * f * i / RATE);
    }
    return x;
  }

  @Test
  void spectralBalanceIgnoresTheLevelAndFindsALiftedBass() {
    double[] in = noise(5, 5 * RATE);
    double[] quieter = new double[in.length];
    double[] bass = new double[in.length];
    for (int i = 0; i < in.length; i++) {
      quieter[i] = 0.5 * in[i];
      bass[i] = in[i] + 0.1 * Math.sin(2 * Math.PI * 60 * i / RATE);
    }
    double[] bands = MusicMeasures.thirdOctaveDb(in, RATE);
    double[] half = MusicMeasures.thirdOctaveDb(quieter, RATE);
    assertEquals(0, MusicMeasures.balanceDeviationDb(bands, half), 1e-9);
    assertEquals(-6.02, MusicMeasures.levelDb(quieter) - MusicMeasures.levelDb(in), 0.01);
    assertTrue(
        MusicMeasures.bandsDeviationDb(bands, MusicMeasures.thirdOctaveDb(bass, RATE), 39, 79) > 1);
  }

  @Test
  void roundTripDistanceAlignsTheOutputFirst() {
    double[][] in = {noise(6, 3 * RATE), noise(7, 3 * RATE)};
    double[][] late = new double[2][in[0].length + 300];
    double[][] half = new double[2][in[0].length];
    for (int c = 0; c < 2; c++) {
      System.arraycopy(in[c], 0, late[c], 300, in[c].length);
      for (int i = 0; i < in[c].length; i++) half[c][i] = 0.5 * in[c][i];
    }
    assertEquals(300, MusicMeasures.bestLag(in[0], late[0], 2048));
    assertEquals(0, MusicMeasures.logSpectralDistanceDb(in, late, 2048), 1e-6);
    assertEquals(6.02, MusicMeasures.logSpectralDistanceDb(in, half, 2048), 0.01);
  }
}

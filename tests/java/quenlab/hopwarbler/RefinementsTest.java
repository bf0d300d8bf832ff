package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static quenlab.hopwarbler.support.ProcessorRuns.run;
import static quenlab.hopwarbler.support.Sounds.RATE;

import java.util.function.IntToDoubleFunction;
import org.junit.jupiter.api.Test;
import quenlab.hopwarbler.support.Pcm;
import quenlab.hopwarbler.support.QualityMeasures;
import quenlab.hopwarbler.support.Sounds;

/**
 * The engine's refinements as a user of {@link Processor} gets them: on by default, each one
 * measurably better than the plain engine it replaces, and switched off by {@link
 * Processor#setFeature}.
 */
class RefinementsTest {
  /** Side over mid energy of a stereo stream, in dB. */
  private static double sideOverMidDb(short[] stereo) {
    double mid = 0;
    double side = 0;
    for (int i = 0; i + 1 < stereo.length; i += 2) {
      double m = 0.5 * (stereo[i] + stereo[i + 1]);
      double s = 0.5 * (stereo[i] - stereo[i + 1]);
      mid += m * m;
      side += s * s;
    }
    return 10 * Math.log10(side / mid);
  }

  /**
   * A dense sound mixed into the centre over faint noise of its own in each channel, slowed: the
   * default keeps its image within 0.5 dB of the input's; each channel on its own phases spreads
   * the centre into the side.
   */
  @Test
  void theStereoImageKeepsItsWidth() {
    int frames = 6 * RATE;
    IntToDoubleFunction centre = Sounds.noise(6000, 1, frames); // 16-bit units
    IntToDoubleFunction left = Sounds.noise(600, 2, frames);
    IntToDoubleFunction right = Sounds.noise(600, 3, frames);
    short[] input = Sounds.pcm(frames, i -> centre.applyAsDouble(i) + left.applyAsDouble(i),
        i -> centre.applyAsDouble(i) + right.applyAsDouble(i));
    double inDb = sideOverMidDb(input);
    for (boolean linked : new boolean[] {true, false}) {
      try (Processor p = Processor.open(RATE, 2)) {
        assertTrue(p.feature(Processor.Feature.LINKED_STEREO), "on by default");
        p.setFeature(Processor.Feature.LINKED_STEREO, linked);
        p.setSpeed(0.7);
        double outDb = sideOverMidDb(run(p, input, 4096));
        String what = (linked ? "linked" : "apart") + ": input " + inDb + " dB, output " + outDb;
        assertTrue(linked ? Math.abs(outDb - inDb) < 0.5 : outDb > inDb + 10, what);
      }
    }
  }

  /**
   * Noise bursts of 2 ms in silence, slowed to half speed and sped up to twice: with the attack
   * handling they come out as narrow as they went in, without it smeared over tens of ms.
   */
  @Test
  void attacksKeepTheirEdge() {
    long[] onsets = Sounds.burstOnsets(RATE, 4);
    short[] input = Sounds.bursts(RATE, onsets, 4);
    for (double speed : new double[] {0.5, 2.0}) {
      double[] expected = new double[onsets.length];
      for (int i = 0; i < onsets.length; i++) expected[i] = onsets[i] / speed;
      double[] widthMs = new double[2];
      for (int on = 0; on < 2; on++) {
        try (Processor p = Processor.open(RATE, 1)) {
          p.setFeature(Processor.Feature.ATTACKS, on == 1);
          p.setSpeed(speed);
          double[] x = Pcm.channel(run(p, input, 4096), 1, 0);
          widthMs[on] = QualityMeasures.transients(x, expected, RATE).smearMs();
        }
      }
      String what = "speed " + speed + ": " + widthMs[1] + " ms, without " + widthMs[0] + " ms";
      assertTrue(widthMs[1] < 6, what);
      assertTrue(widthMs[0] > 3 * widthMs[1], what);
    }
  }
}

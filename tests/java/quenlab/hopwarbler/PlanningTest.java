package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;

/** {@link Planning} answers as a {@link Processor} behaves. */
class PlanningTest {
  @Test
  void theFormatAndTheReachAreTheProcessorsOwn() {
    int rate = 44100;
    double[] speeds = {0.1, 0.26, 0.8, 1.41, 7.0};
    double[] keys = {-12, 0, 5};
    for (Processor.Quality quality : Processor.Quality.values()) {
      try (Processor p = Processor.open(rate, 2, quality)) {
        for (double speed : speeds) {
          for (double key : keys) {
            p.setSpeed(speed);
            p.setPitch(key);
            String what = quality + " at speed " + speed + ", key " + key;
            double stretch = Planning.stretch(speed, key);
            assertEquals(quality.frameSize(rate, stretch), p.frameSize(), what);
            assertEquals(Planning.overSampling(quality, p.frameSize(), stretch), p.overSampling(),
                what);
            p.process(new short[2], 0, 1); // the stream starts, and keeps its format
            // Another stretch in that format: the speed holds exactly when it is within reach.
            p.setSpeed(speed * 3);
            boolean reached = Math.abs(p.effectiveSpeed() - p.speed()) < 1e-9 * p.speed();
            assertEquals(reached,
                Planning.reaches(p.frameSize(), p.overSampling(), Planning.stretch(speed * 3, key)),
                what + " times 3");
            double low = Planning.lowestSpeed(p.frameSize(), p.overSampling(), key);
            double high = Planning.highestSpeed(p.frameSize(), p.overSampling(), key);
            p.setSpeed(low / 2);
            assertEquals(low, p.effectiveSpeed(), 1e-9 * low, what + ": the slowest speed");
            p.setSpeed(high * 2);
            assertEquals(high, p.effectiveSpeed(), 1e-9 * high, what + ": the fastest speed");
            p.flush();
          }
        }
      }
    }
  }
}

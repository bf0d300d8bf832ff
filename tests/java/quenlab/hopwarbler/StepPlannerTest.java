package quenlab.hopwarbler;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Random;
import org.junit.jupiter.api.Test;

/** {@link StepPlanner}: the output keeps to the exact speed in steps the analyser can use. */
class StepPlannerTest {
  @Test
  void stepsKeepToTheOwedOutputInMultiplesOfTheDecimation() {
    long seed = 3;
    Random random = new Random(seed);
    for (int hop : new int[] {8, 64, 128, 512}) {
      int frame = 4 * hop;
      StepPlanner planner = new StepPlanner(hop, frame);
      double owed = 0;
      long given = 0;
      double speed = 1;
      for (int n = 0; n < 5000; n++) {
        if (n % 50 == 0)
          speed = 0.3 + 2.5 * random.nextDouble();
        double ideal = StepPlanner.idealStep(speed, hop, frame);
        // The hop's input, fed in up to three pieces.
        int first = random.nextInt(hop + 1);
        int second = random.nextInt(hop - first + 1);
        planner.feed(first, ideal);
        planner.feed(second, ideal);
        planner.feed(hop - first - second, ideal);
        owed += ideal;
        int step = planner.nextStep();
        given += step;
        String what = "hop " + hop + ", speed " + speed + ", hop " + n + ", seed " + seed;
        assertTrue(step >= 1 && step <= frame, what);
        // Each step is the whole number that brings the output closest to what is owed.
        assertEquals(owed, given, 0.5 + 1e-9, what);
      }
      assertEquals(owed, planner.owedFrames(), 1e-6 * owed);
    }
  }
}

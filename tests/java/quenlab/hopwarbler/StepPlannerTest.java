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
        // The step is a multiple of the decimation where what is due reaches 8 of them; what is
        // due strays from the ideal step by up to 2 frames.
        if (ideal >= 8 * NativeFacts.DECIMATION + 2)
          assertEquals(0, step % NativeFacts.DECIMATION, what + ": step " + step);
        assertEquals(owed, given, 2.0, what);
      }
      assertEquals(owed, planner.owedFrames(), 1e-6 * owed);
    }
  }
}

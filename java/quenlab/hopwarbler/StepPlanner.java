package quenlab.hopwarbler;

/**
 * Chooses the synthesis hop of every analysis hop so that the output keeps to the exact speed.
 *
 * <p>The native driver takes a whole {@code stepOut} per hop, so a speed whose hop / speed is not
 * a whole number can only be met on average. The planner owes {@code idealStep / hop} output
 * frames for every input frame fed (at the speed in force when it was fed) and gives each hop the
 * whole number of frames that brings the output handed out closest to what is owed: the hop
 * alternates between the two values around {@code hop / speed} (error diffusion), and after any
 * run of hops the output is within half a frame of the exact figure, unless the hop had to be
 * clamped to 1 .. {@code frameSize}.
 */
final class StepPlanner {
  private final int hop;
  private final int frameSize;
  private double owedFrames; // output owed for the input fed so far, exactly
  private long givenFrames; // output frames planned so far

  StepPlanner(int hop, int frameSize) {
    this.hop = hop;
    this.frameSize = frameSize;
  }

  /** The synthesis hop a speed asks for, {@code hop / speed}, within 1 .. frameSize. */
  static double idealStep(double speed, int hop, int frameSize) {
    return Math.max(1.0, Math.min(frameSize, hop / speed));
  }

  /** Owes the output of {@code inputFrames} input frames at the synthesis hop {@code idealStep}. */
  void feed(long inputFrames, double idealStep) {
    owedFrames += inputFrames * idealStep / hop;
  }

  /** The output owed for everything fed so far. */
  double owedFrames() {
    return owedFrames;
  }

  /**
   * The synthesis hop of the next analysis hop, whose input must have been fed: the whole number
   * of frames that brings the output closest to what is owed.
   */
  int nextStep() {
    double due = owedFrames - givenFrames;
    long step = Math.round(due);
    step = Math.max(1, Math.min(frameSize, step));
    givenFrames += step;
    return (int) step;
  }

  /** Starts a new stream. */
  void reset() {
    owedFrames = 0;
    givenFrames = 0;
  }
}

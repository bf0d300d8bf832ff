package quenlab.hopwarbler.cli;

import java.io.PrintWriter;
import java.util.Locale;

/**
 * A one-line progress bar on standard error (percent, elapsed and remaining time), redrawn in place
 * at most ten times a second. It draws only when the tool runs in a terminal; otherwise it stays
 * silent, so that redirected output carries no control characters.
 *
 * <p>Files processed at once share one bar, a {@link Batch}: each file's progress feeds it, and it
 * shows how much of all of them is done.
 */
final class Progress {
  private static final int BAR = 30;
  private static final long REDRAW_NANOS = 100_000_000L;

  private final PrintWriter err;
  private final boolean enabled;
  private final long total;
  private final long started = System.nanoTime();
  private final Batch batch;
  private final int index;
  private long lastDrawn = Long.MIN_VALUE;
  private boolean drawn;

  private Progress(PrintWriter err, boolean enabled, long total, Batch batch, int index) {
    this.err = err;
    this.enabled = enabled && total > 0;
    this.total = total;
    this.batch = batch;
    this.index = index;
  }

  /** A bar for {@code total} units (frames), shown only when {@code System.console()} exists. */
  static Progress forTerminal(PrintWriter err, long total) {
    return new Progress(err, System.console() != null, total, null, 0);
  }

  void update(long done) {
    if (!enabled)
      return;
    double fraction = Math.max(0, Math.min(1, (double) done / total));
    if (batch != null) {
      batch.set(index, fraction);
      return;
    }
    long now = System.nanoTime();
    if (drawn && now - lastDrawn < REDRAW_NANOS)
      return;
    lastDrawn = now;
    drawn = true;
    draw(err, fraction, started, now);
  }

  /** Clears the bar's line; a file of a batch counts as done. */
  void finish() {
    if (batch != null) {
      batch.set(index, 1);
      return;
    }
    if (drawn)
      clear(err);
  }

  private static void draw(PrintWriter err, double fraction, long started, long now) {
    int filled = (int) Math.round(fraction * BAR);
    double elapsed = (now - started) / 1e9;
    String remaining = fraction > 0.01 ? clock(elapsed / fraction - elapsed) : "--:--";
    err.print(String.format(Locale.ROOT, "\r[%s%s] %3d%%  %s elapsed  %s left ", "#".repeat(filled),
        "-".repeat(BAR - filled), Math.round(fraction * 100), clock(elapsed), remaining));
    err.flush();
  }

  private static void clear(PrintWriter err) {
    err.print("\r"
        + " ".repeat(BAR + 40) + "\r");
    err.flush();
  }

  private static String clock(double seconds) {
    long s = Math.max(0, Math.round(seconds));
    return String.format(Locale.ROOT, "%d:%02d", s / 60, s % 60);
  }

  /**
   * One bar for files processed at the same time on several threads: it shows the mean of their
   * fractions done. All drawing, and whatever is printed through {@link #print}, happens under its
   * lock, so that lines from different threads never cut into the bar or into each other.
   */
  static final class Batch {
    private final PrintWriter err;
    private final boolean enabled;
    private final double[] done;
    private final long started = System.nanoTime();
    private long lastDrawn = Long.MIN_VALUE;
    private boolean drawn;
    private boolean finished;

    private Batch(PrintWriter err, boolean enabled, int files) {
      this.err = err;
      this.enabled = enabled;
      this.done = new double[files];
    }

    /** A bar for {@code files} files, shown only when {@code System.console()} exists. */
    static Batch forTerminal(PrintWriter err, int files) {
      return new Batch(err, System.console() != null, files);
    }

    /** The progress of file {@code index}, of {@code total} units (frames; -1 if unknown). */
    Progress file(int index, long total) {
      return new Progress(err, enabled, total, this, index);
    }

    private synchronized void set(int index, double fraction) {
      done[index] = Math.max(done[index], fraction);
      long now = System.nanoTime();
      if (!enabled || finished || (drawn && now - lastDrawn < REDRAW_NANOS))
        return;
      double sum = 0;
      for (double d : done) sum += d;
      lastDrawn = now;
      drawn = true;
      draw(err, sum / done.length, started, now);
    }

    /**
     * Counts file {@code index} as done and runs {@code printing} with the bar cleared; the bar
     * comes back at the next update.
     */
    synchronized void print(int index, Runnable printing) {
      done[index] = 1;
      if (drawn) {
        clear(err);
        drawn = false;
      }
      printing.run();
    }

    /** Clears the bar's line for good. */
    synchronized void finish() {
      if (drawn)
        clear(err);
      drawn = false;
      finished = true;
    }
  }
}

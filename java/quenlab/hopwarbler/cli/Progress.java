package quenlab.hopwarbler.cli;

import java.io.PrintWriter;
import java.util.Locale;

/**
 * A one-line progress bar on standard error (percent, elapsed and remaining time), redrawn in place
 * at most ten times a second. It draws only when the tool runs in a terminal; otherwise it stays
 * silent, so that redirected output carries no control characters.
 */
final class Progress {
  private static final int BAR = 30;
  private static final long REDRAW_NANOS = 100_000_000L;

  private final PrintWriter err;
  private final boolean enabled;
  private final long total;
  private final long started = System.nanoTime();
  private long lastDrawn = Long.MIN_VALUE;
  private boolean drawn;

  private Progress(PrintWriter err, boolean enabled, long total) {
    this.err = err;
    this.enabled = enabled && total > 0;
    this.total = total;
  }

  /** A bar for {@code total} units (frames), shown only when {@code System.console()} exists. */
  static Progress forTerminal(PrintWriter err, long total) {
    return new Progress(err, System.console() != null, total);
  }

  void update(long done) {
    if (!enabled)
      return;
    long now = System.nanoTime();
    if (drawn && now - lastDrawn < REDRAW_NANOS)
      return;
    lastDrawn = now;
    drawn = true;
    double fraction = Math.max(0, Math.min(1, (double) done / total));
    int filled = (int) Math.round(fraction * BAR);
    double elapsed = (now - started) / 1e9;
    String remaining = fraction > 0.01 ? clock(elapsed / fraction - elapsed) : "--:--";
    err.print(String.format(Locale.ROOT, "\r[%s%s] %3d%%  %s elapsed  %s left ", "#".repeat(filled),
        "-".repeat(BAR - filled), Math.round(fraction * 100), clock(elapsed), remaining));
    err.flush();
  }

  /** Clears the bar's line. */
  void finish() {
    if (!drawn)
      return;
    err.print("\r"
        + " ".repeat(BAR + 40) + "\r");
    err.flush();
  }

  private static String clock(double seconds) {
    long s = Math.max(0, Math.round(seconds));
    return String.format(Locale.ROOT, "%d:%02d", s / 60, s % 60);
  }
}

package quenlab.hopwarbler.cli;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import javax.imageio.ImageIO;
import quenlab.hopwarbler.Notes;

/**
 * The note spectrum over time: columns of 72 band levels collected while a stream is processed,
 * drawn as a picture (time across, the notes C1..B6 up, colour for level in dB below the loudest
 * band of the whole picture) and summarised as the strongest notes.
 */
final class Spectrogram {
  /** Levels below the loudest band by more than this many dB draw as black. */
  static final double RANGE_DB = 60.0;

  private static final int ROW_HEIGHT = 4;
  private static final int LEFT = 30;
  private static final int RIGHT = 8;
  private static final int TOP = 8;
  private static final int BOTTOM = 18;
  private static final int BACKGROUND = 0x202020;
  private static final int INK = 0xd0d0d0;
  private static final int GRID = 0x505050;
  // Colour stops from quiet to loud: black, violet, magenta, orange, pale yellow.
  private static final int[] PALETTE = {0x000004, 0x3b0f70, 0x8c2981, 0xde4968, 0xfe9f6d, 0xfcfdbf};

  private final List<float[]> columns = new ArrayList<>();
  private final List<Double> times = new ArrayList<>();

  /** Adds the bands measured at {@code seconds} into the stream (times must not decrease). */
  void add(double seconds, float[] bands) {
    times.add(seconds);
    columns.add(bands.clone());
  }

  int columns() {
    return columns.size();
  }

  /** Mean power of each band over all columns, as an amplitude. */
  double[] meanLevels() {
    double[] sum = new double[Notes.BANDS];
    for (float[] column : columns) {
      for (int b = 0; b < Notes.BANDS; b++) sum[b] += (double) column[b] * column[b];
    }
    for (int b = 0; b < Notes.BANDS; b++) {
      sum[b] = columns.isEmpty() ? 0 : Math.sqrt(sum[b] / columns.size());
    }
    return sum;
  }

  /** The {@code count} strongest bands by mean level, loudest first. */
  int[] strongest(int count) {
    double[] levels = meanLevels();
    Integer[] order = new Integer[Notes.BANDS];
    for (int b = 0; b < order.length; b++) order[b] = b;
    Arrays.sort(order, (x, y) -> Double.compare(levels[y], levels[x]));
    int n = Math.min(count, order.length);
    int[] top = new int[n];
    for (int i = 0; i < n; i++) top[i] = order[i];
    return top;
  }

  /** "A4 -6.0 dB, E5 -9.1 dB, ..." with levels in dB of full scale. */
  String strongestSummary(int count) {
    double[] levels = meanLevels();
    StringBuilder text = new StringBuilder();
    for (int band : strongest(count)) {
      if (text.length() > 0)
        text.append(", ");
      text.append(
          String.format(Locale.ROOT, "%s %.1f dB", Notes.name(band), decibels(levels[band])));
    }
    return text.toString();
  }

  static double decibels(double amplitude) {
    return amplitude > 1e-9 ? 20 * Math.log10(amplitude) : -180.0;
  }

  /**
   * Draws the picture with a plot {@code plotWidth} pixels wide for {@code durationSeconds} of
   * sound; several measured columns that fall into one pixel column are averaged in power, and a
   * pixel column that none falls into repeats the one before.
   */
  BufferedImage render(int plotWidth, double durationSeconds) {
    int plotHeight = Notes.BANDS * ROW_HEIGHT;
    BufferedImage image = new BufferedImage(
        LEFT + plotWidth + RIGHT, TOP + plotHeight + BOTTOM, BufferedImage.TYPE_INT_RGB);
    for (int y = 0; y < image.getHeight(); y++) {
      for (int x = 0; x < image.getWidth(); x++) image.setRGB(x, y, BACKGROUND);
    }
    double[][] pixels = binColumns(plotWidth, durationSeconds);
    double loudest = 0;
    for (double[] column : pixels) {
      for (double v : column) loudest = Math.max(loudest, v);
    }
    for (int x = 0; x < plotWidth; x++) {
      for (int b = 0; b < Notes.BANDS; b++) {
        double db =
            loudest > 0 && pixels[x][b] > 0 ? 20 * Math.log10(pixels[x][b] / loudest) : -RANGE_DB;
        int rgb = colour(1 + db / RANGE_DB);
        int top = TOP + (Notes.BANDS - 1 - b) * ROW_HEIGHT;
        for (int dy = 0; dy < ROW_HEIGHT; dy++) image.setRGB(LEFT + x, top + dy, rgb);
      }
    }
    // Octave marks: a tick and a label at every C.
    for (int b = 0; b < Notes.BANDS; b += 12) {
      int centre = TOP + (Notes.BANDS - 1 - b) * ROW_HEIGHT + ROW_HEIGHT / 2;
      String label = Notes.name(b);
      BitmapFont.draw(image, label, LEFT - 5 - BitmapFont.width(label), centre - 3, INK);
      for (int x = LEFT - 3; x < LEFT; x++) image.setRGB(x, centre, GRID);
    }
    drawTimeAxis(image, plotWidth, plotHeight, durationSeconds);
    return image;
  }

  private double[][] binColumns(int width, double duration) {
    double[][] sums = new double[width][Notes.BANDS];
    int[] counts = new int[width];
    double span = duration > 0 ? duration : 1;
    for (int i = 0; i < columns.size(); i++) {
      int x = (int) Math.min(width - 1, Math.max(0, Math.floor(times.get(i) / span * width)));
      float[] column = columns.get(i);
      for (int b = 0; b < Notes.BANDS; b++) sums[x][b] += (double) column[b] * column[b];
      counts[x]++;
    }
    for (int x = 0; x < width; x++) {
      if (counts[x] == 0) {
        if (x > 0)
          sums[x] = sums[x - 1].clone();
        continue;
      }
      for (int b = 0; b < Notes.BANDS; b++) sums[x][b] = Math.sqrt(sums[x][b] / counts[x]);
    }
    return sums;
  }

  private static void drawTimeAxis(BufferedImage image, int width, int height, double duration) {
    int base = TOP + height;
    for (int x = LEFT; x < LEFT + width; x++) image.setRGB(x, base, GRID);
    if (!(duration > 0))
      return;
    double[] steps = {0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600};
    double step = steps[steps.length - 1];
    for (double candidate : steps) {
      // Labels need about 40 pixels each.
      if (candidate / duration * width >= 40) {
        step = candidate;
        break;
      }
    }
    for (int k = 0; k * step <= duration + 1e-9; k++) {
      double t = k * step;
      int x = LEFT + (int) Math.min(width - 1, Math.round(t / duration * width));
      for (int dy = 1; dy <= 3; dy++) image.setRGB(x, base + dy, INK);
      String label = timeLabel(t);
      int left = Math.max(
          0, Math.min(image.getWidth() - BitmapFont.width(label), x - BitmapFont.width(label) / 2));
      BitmapFont.draw(image, label, left, base + 6, INK);
    }
  }

  static String timeLabel(double seconds) {
    if (seconds < 60) {
      return seconds == Math.rint(seconds) ? String.format(Locale.ROOT, "%ds", (long) seconds)
                                           : String.format(Locale.ROOT, "%.1fs", seconds);
    }
    long s = Math.round(seconds);
    return String.format(Locale.ROOT, "%d:%02d", s / 60, s % 60);
  }

  // Colour for a level from 0 (quiet) to 1 (loudest), interpolated between the palette stops.
  static int colour(double level) {
    double t = Math.max(0, Math.min(1, level)) * (PALETTE.length - 1);
    int i = (int) Math.min(PALETTE.length - 2, Math.floor(t));
    double f = t - i;
    int a = PALETTE[i];
    int b = PALETTE[i + 1];
    int r = (int) Math.round(((a >> 16) & 0xff) * (1 - f) + ((b >> 16) & 0xff) * f);
    int g = (int) Math.round(((a >> 8) & 0xff) * (1 - f) + ((b >> 8) & 0xff) * f);
    int bl = (int) Math.round((a & 0xff) * (1 - f) + (b & 0xff) * f);
    return (r << 16) | (g << 8) | bl;
  }

  /** Writes the picture as a PNG file, through a temporary file. */
  void writePng(Path file, int plotWidth, double durationSeconds) {
    AudioFiles.writeAtomically(
        file, temporary -> writePngTo(temporary, plotWidth, durationSeconds));
  }

  /** Writes the picture as a PNG file into {@code file} itself. */
  void writePngTo(Path file, int plotWidth, double durationSeconds) throws IOException {
    BufferedImage image = render(plotWidth, durationSeconds);
    if (!ImageIO.write(image, "png", file.toFile()))
      throw new IOException("no PNG writer available");
  }
}

package quenlab.hopwarbler.bench;

import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import javax.imageio.ImageIO;

/**
 * The picture of the quality benchmark: one point per system and setting, its purity (mean over
 * the speeds) against its CPU cost (mean times real time, log scale).
 */
final class ScatterPlot {
  private static final int WIDTH = 900;
  private static final int HEIGHT = 560;
  private static final int LEFT = 70;
  private static final int RIGHT = 30;
  private static final int TOP = 40;
  private static final int BOTTOM = 60;

  private ScatterPlot() {}

  record Point(String label, double timesRealTime, double purityDb, Color color, boolean bold) {}

  static void write(Path png, Map<Double, List<QualityBench.Row>> rows) throws IOException {
    Map<String, double[]> sums = new LinkedHashMap<>();
    for (List<QualityBench.Row> list : rows.values()) {
      for (QualityBench.Row r : list) {
        double[] s = sums.computeIfAbsent(r.system() + "|" + r.setting(), k -> new double[3]);
        s[0] += r.purityDb();
        s[1] += Math.log(r.timesRealTime());
        s[2]++;
      }
    }
    List<Point> points = sums.entrySet().stream().map(e -> {
      String[] name = e.getKey().split("\\|", -1);
      double[] s = e.getValue();
      boolean ours = name[0].equals("hopwarbler");
      boolean preset = ours && name[1].matches("[a-z]+");
      Color color = !ours ? new Color(200, 60, 40) : preset ? new Color(20, 90, 200)
                                                            : new Color(120, 150, 200);
      String label = !ours ? name[0] : name[1].equals("default") ? "best (the default)" : name[1];
      return new Point(label, Math.exp(s[1] / s[2]), s[0] / s[2], color, !ours || preset);
    }).toList();

    double minX = points.stream().mapToDouble(Point::timesRealTime).min().orElse(1) / 1.5;
    double maxX = points.stream().mapToDouble(Point::timesRealTime).max().orElse(10) * 1.5;
    double minY = Math.floor(points.stream().mapToDouble(Point::purityDb).min().orElse(0) / 10)
        * 10;
    double maxY =
        Math.ceil(points.stream().mapToDouble(Point::purityDb).max().orElse(100) / 10) * 10;

    BufferedImage image = new BufferedImage(WIDTH, HEIGHT, BufferedImage.TYPE_INT_RGB);
    Graphics2D g = image.createGraphics();
    g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
    g.setRenderingHint(
        RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
    g.setColor(Color.WHITE);
    g.fillRect(0, 0, WIDTH, HEIGHT);
    int plotW = WIDTH - LEFT - RIGHT;
    int plotH = HEIGHT - TOP - BOTTOM;
    g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
    g.setColor(new Color(225, 225, 225));
    for (double y = minY; y <= maxY; y += 10) {
      int py = TOP + (int) Math.round(plotH * (maxY - y) / (maxY - minY));
      g.drawLine(LEFT, py, LEFT + plotW, py);
      g.setColor(Color.DARK_GRAY);
      g.drawString(String.format("%.0f", y), LEFT - 30, py + 4);
      g.setColor(new Color(225, 225, 225));
    }
    for (double x = Math.pow(10, Math.floor(Math.log10(minX))); x <= maxX; x *= 10) {
      for (double m : new double[] {1, 2, 5}) {
        double v = x * m;
        if (v < minX || v > maxX)
          continue;
        int px = LEFT + (int) Math.round(plotW * Math.log(v / minX) / Math.log(maxX / minX));
        g.setColor(new Color(225, 225, 225));
        g.drawLine(px, TOP, px, TOP + plotH);
        g.setColor(Color.DARK_GRAY);
        g.drawString(String.format("%.0f", v), px - 8, TOP + plotH + 16);
      }
    }
    g.setColor(Color.BLACK);
    g.drawRect(LEFT, TOP, plotW, plotH);
    g.drawString("CPU: times real time on one core (log scale; further right is cheaper)",
        LEFT + plotW / 2 - 200, HEIGHT - 20);
    g.drawString("purity dB", 10, TOP - 12);
    g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 14));
    g.drawString("Tone purity against CPU cost, mean over the speeds 0.5 to 2", LEFT + 150, 22);
    // Presets last, so that they stand on top; a grid point under a preset keeps no label.
    List<Point> ordered = new ArrayList<>(points);
    ordered.sort(Comparator.comparing(Point::bold));
    int[] xs = new int[ordered.size()];
    int[] ys = new int[ordered.size()];
    for (int i = 0; i < ordered.size(); i++) {
      Point p = ordered.get(i);
      xs[i] = LEFT
          + (int) Math.round(plotW * Math.log(p.timesRealTime() / minX) / Math.log(maxX / minX));
      ys[i] = TOP + (int) Math.round(plotH * (maxY - p.purityDb()) / (maxY - minY));
    }
    for (int i = 0; i < ordered.size(); i++) {
      Point p = ordered.get(i);
      g.setColor(p.color());
      int r = p.bold() ? 6 : 4;
      g.fillOval(xs[i] - r, ys[i] - r, 2 * r, 2 * r);
      g.setFont(new Font(Font.SANS_SERIF, p.bold() ? Font.BOLD : Font.PLAIN, p.bold() ? 12 : 10));
      boolean covered = false;
      for (int k = 0; k < ordered.size(); k++) {
        covered |= !p.bold() && ordered.get(k).bold() && Math.abs(xs[k] - xs[i]) < 40
            && Math.abs(ys[k] - ys[i]) < 10;
      }
      if (!covered)
        g.drawString(p.label(), xs[i] + r + 3, ys[i] + 4);
    }
    g.dispose();
    ImageIO.write(image, "png", png.toFile());
  }
}

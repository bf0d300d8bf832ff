package quenlab.hopwarbler.bench;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import javax.imageio.ImageIO;
import quenlab.hopwarbler.support.MusicMeasures;

/**
 * The picture of the music benchmark: per octave, the change of side against mid (top row) and of
 * the inter-channel coherence (bottom row) that each system gives, mean over the excerpts, at the
 * slowest and the fastest speed of the run (one column each). A line at 0 is the input's image.
 */
final class StereoPlot {
  private static final int PANEL_WIDTH = 470;
  private static final int PANEL_HEIGHT = 250;
  private static final int LEFT = 70;
  private static final int GAP = 60;
  private static final int TOP = 70;
  private static final int BOTTOM = 70;
  private static final Color[] OURS = {new Color(20, 90, 200), new Color(120, 160, 220)};
  private static final Color[] PEERS = {
      new Color(200, 60, 40), new Color(230, 150, 30), new Color(40, 150, 70)};

  private StereoPlot() {}

  static void write(Path png, MusicBench.Results results) throws IOException {
    double[] speeds = results.speeds();
    double slowest = Double.MAX_VALUE;
    double fastest = 0;
    for (double s : speeds) {
      slowest = Math.min(slowest, s);
      fastest = Math.max(fastest, s);
    }
    double[] columns =
        slowest == fastest ? new double[] {slowest} : new double[] {slowest, fastest};
    List<MusicBench.Stretcher> systems = results.systems();
    int width = LEFT + columns.length * (PANEL_WIDTH + GAP);
    int height = TOP + 2 * PANEL_HEIGHT + GAP + BOTTOM;
    BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
    Graphics2D g = image.createGraphics();
    g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
    g.setRenderingHint(
        RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
    g.setColor(Color.WHITE);
    g.fillRect(0, 0, width, height);
    g.setColor(Color.BLACK);
    g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 14));
    g.drawString(String.format("Stereo image per octave, mean over the %d excerpts of music",
                     results.music().size()),
        LEFT, 24);

    // The legend, one entry per system.
    g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 12));
    int x = LEFT;
    for (int i = 0; i < systems.size(); i++) {
      g.setColor(color(systems, i));
      g.setStroke(new BasicStroke(2.5f));
      g.drawLine(x, 44, x + 24, 44);
      g.setColor(Color.BLACK);
      g.drawString(systems.get(i).label(), x + 30, 48);
      x += 40 + g.getFontMetrics().stringWidth(systems.get(i).label());
    }

    for (int row = 0; row < 2; row++) {
      boolean coherence = row == 1;
      List<double[]> all = new ArrayList<>();
      for (double speed : columns) {
        for (MusicBench.Stretcher s : systems)
          all.add(results.octaveMeans(s.label(), speed, coherence));
      }
      // One scale for the row, in whole steps and never narrower than the targets' tolerance.
      double step = coherence ? 0.1 : 1;
      double low = -step;
      double high = step;
      for (double[] values : all) {
        for (double v : values) {
          if (Double.isFinite(v)) {
            low = Math.min(low, Math.floor(v / step) * step);
            high = Math.max(high, Math.ceil(v / step) * step);
          }
        }
      }
      for (int c = 0; c < columns.length; c++) {
        int left = LEFT + c * (PANEL_WIDTH + GAP);
        int top = TOP + row * (PANEL_HEIGHT + GAP);
        panel(g, left, top, low, high, step,
            (coherence ? "Coherence change" : "Side-to-mid change, dB") + " at speed "
                + QualityBench.trim(columns[c]));
        int count = MusicMeasures.OCTAVES_HZ.length;
        for (int i = 0; i < systems.size(); i++) {
          double[] values = results.octaveMeans(systems.get(i).label(), columns[c], coherence);
          g.setColor(color(systems, i));
          g.setStroke(new BasicStroke(i == 0 ? 3f : 2f));
          int previousX = -1;
          int previousY = -1;
          for (int o = 0; o < count; o++) {
            if (!Double.isFinite(values[o])) {
              previousX = -1;
              continue;
            }
            int px = left + (int) Math.round((o + 0.5) * PANEL_WIDTH / count);
            int py = top + (int) Math.round(PANEL_HEIGHT * (high - values[o]) / (high - low));
            g.fillOval(px - 3, py - 3, 6, 6);
            if (previousX >= 0)
              g.drawLine(previousX, previousY, px, py);
            previousX = px;
            previousY = py;
          }
        }
      }
    }
    g.dispose();
    ImageIO.write(image, "png", png.toFile());
  }

  // The frame of one panel: grid lines every `step`, a darker line at 0, the octave labels.
  private static void panel(
      Graphics2D g, int left, int top, double low, double high, double step, String title) {
    g.setStroke(new BasicStroke(1));
    g.setFont(new Font(Font.SANS_SERIF, Font.PLAIN, 11));
    // Labels at no more than about ten lines.
    double every = step * Math.max(1, Math.ceil((high - low) / step / 10));
    for (double v = Math.ceil(low / every) * every; v <= high + 1e-9; v += every) {
      int py = top + (int) Math.round(PANEL_HEIGHT * (high - v) / (high - low));
      g.setColor(Math.abs(v) < 1e-9 ? Color.GRAY : new Color(225, 225, 225));
      g.drawLine(left, py, left + PANEL_WIDTH, py);
      g.setColor(Color.DARK_GRAY);
      String label = Math.abs(v) < 1e-9 ? "0" : String.format(step < 1 ? "%+.1f" : "%+.0f", v);
      g.drawString(label, left - 8 - g.getFontMetrics().stringWidth(label), py + 4);
    }
    int count = MusicMeasures.OCTAVES_HZ.length;
    for (int o = 0; o < count; o++) {
      String label = MusicBench.hzLabel(MusicMeasures.OCTAVES_HZ[o]);
      int px = left + (int) Math.round((o + 0.5) * PANEL_WIDTH / count);
      g.drawString(label, px - g.getFontMetrics().stringWidth(label) / 2, top + PANEL_HEIGHT + 16);
    }
    g.setColor(Color.BLACK);
    g.drawRect(left, top, PANEL_WIDTH, PANEL_HEIGHT);
    g.setFont(new Font(Font.SANS_SERIF, Font.BOLD, 12));
    g.drawString(title, left, top - 8);
  }

  // Ours in blues, the peers in their own colours.
  private static Color color(List<MusicBench.Stretcher> systems, int i) {
    int ours = 0;
    for (int k = 0; k < i; k++) ours += systems.get(k).ours() ? 1 : 0;
    return systems.get(i).ours() ? OURS[Math.min(ours, OURS.length - 1)]
                                 : PEERS[Math.min(i - ours, PEERS.length - 1)];
  }
}

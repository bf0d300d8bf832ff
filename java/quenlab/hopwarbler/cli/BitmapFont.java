package quenlab.hopwarbler.cli;

import java.awt.image.BufferedImage;
import java.util.HashMap;
import java.util.Map;

/**
 * A 5 &times; 7 pixel font for the labels of the spectrum pictures, drawn pixel by pixel so that
 * the pictures come out the same on a machine without any fonts installed.
 */
final class BitmapFont {
  static final int WIDTH = 5;
  static final int HEIGHT = 7;
  static final int ADVANCE = 6;

  private static final Map<Character, String[]> GLYPHS = new HashMap<>();

  static {
    glyph('0', "01110", "10001", "10011", "10101", "11001", "10001", "01110");
    glyph('1', "00100", "01100", "00100", "00100", "00100", "00100", "01110");
    glyph('2', "01110", "10001", "00001", "00010", "00100", "01000", "11111");
    glyph('3', "11110", "00001", "00001", "01110", "00001", "00001", "11110");
    glyph('4', "00010", "00110", "01010", "10010", "11111", "00010", "00010");
    glyph('5', "11111", "10000", "11110", "00001", "00001", "10001", "01110");
    glyph('6', "00110", "01000", "10000", "11110", "10001", "10001", "01110");
    glyph('7', "11111", "00001", "00010", "00100", "01000", "01000", "01000");
    glyph('8', "01110", "10001", "10001", "01110", "10001", "10001", "01110");
    glyph('9', "01110", "10001", "10001", "01111", "00001", "00010", "01100");
    glyph('A', "01110", "10001", "10001", "11111", "10001", "10001", "10001");
    glyph('B', "11110", "10001", "10001", "11110", "10001", "10001", "11110");
    glyph('C', "01110", "10001", "10000", "10000", "10000", "10001", "01110");
    glyph('D', "11100", "10010", "10001", "10001", "10001", "10010", "11100");
    glyph('E', "11111", "10000", "10000", "11110", "10000", "10000", "11111");
    glyph('F', "11111", "10000", "10000", "11110", "10000", "10000", "10000");
    glyph('G', "01110", "10001", "10000", "10111", "10001", "10001", "01111");
    glyph('d', "00001", "00001", "01101", "10011", "10001", "10001", "01111");
    glyph('s', "00000", "00000", "01111", "10000", "01110", "00001", "11110");
    glyph('#', "01010", "01010", "11111", "01010", "11111", "01010", "01010");
    glyph(':', "00000", "01100", "01100", "00000", "01100", "01100", "00000");
    glyph('.', "00000", "00000", "00000", "00000", "00000", "01100", "01100");
    glyph('-', "00000", "00000", "00000", "11111", "00000", "00000", "00000");
    glyph(' ', "00000", "00000", "00000", "00000", "00000", "00000", "00000");
  }

  private BitmapFont() {}

  private static void glyph(char c, String... rows) {
    GLYPHS.put(c, rows);
  }

  /** Width in pixels of {@code text}. */
  static int width(String text) {
    return text.isEmpty() ? 0 : text.length() * ADVANCE - 1;
  }

  /** Draws {@code text} with its top left corner at (x, y); unknown characters are left blank. */
  static void draw(BufferedImage image, String text, int x, int y, int rgb) {
    for (int i = 0; i < text.length(); i++) {
      String[] rows = GLYPHS.get(text.charAt(i));
      if (rows == null)
        continue;
      for (int row = 0; row < HEIGHT; row++) {
        for (int col = 0; col < WIDTH; col++) {
          int px = x + i * ADVANCE + col;
          int py = y + row;
          if (rows[row].charAt(col) == '1' && px >= 0 && py >= 0 && px < image.getWidth()
              && py < image.getHeight()) {
            image.setRGB(px, py, rgb);
          }
        }
      }
    }
  }
}

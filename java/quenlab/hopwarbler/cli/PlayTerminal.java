package quenlab.hopwarbler.cli;

import java.io.IOError;
import java.io.IOException;
import java.io.PrintWriter;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Queue;
import java.util.concurrent.ConcurrentLinkedQueue;
import org.jline.keymap.BindingReader;
import org.jline.keymap.KeyMap;
import org.jline.terminal.Attributes;
import org.jline.terminal.Terminal;
import org.jline.terminal.TerminalBuilder;
import org.jline.utils.InfoCmp.Capability;

/**
 * The terminal while {@code play} runs: reads the keys that steer it without waiting for Enter and
 * redraws a few status lines in place. The terminal goes into raw mode on {@link #open} and back
 * to what it was on {@link #close}; Ctrl-C quits like q, so that the terminal is always restored.
 */
final class PlayTerminal implements AutoCloseable {
  /** What a key asks for. */
  enum Key {
    FASTER,
    SLOWER,
    KEY_UP,
    KEY_DOWN,
    FORMANTS,
    VOICE,
    MONO,
    BALANCE_LEFT,
    BALANCE_RIGHT,
    LOUDER,
    QUIETER,
    NEXT,
    QUIT,
    SEEK_BACK,
    SEEK_FORWARD,
    SEEK_BACK_LONG,
    SEEK_FORWARD_LONG,
    TO_LOOP_START,
    SET_A,
    SET_B,
    CLEAR_LOOP,
    CENTS_DOWN,
    CENTS_UP,
    MARKER_1,
    MARKER_2,
    MARKER_3,
    MARKER_4,
    MARKER_5,
    MARKER_6,
    MARKER_7,
    MARKER_8,
    MARKER_9,
    SET_MARKER_1,
    SET_MARKER_2,
    SET_MARKER_3,
    SET_MARKER_4,
    SET_MARKER_5,
    SET_MARKER_6,
    SET_MARKER_7,
    SET_MARKER_8,
    SET_MARKER_9,
    OTHER;

    /** {@return the marker, 1 to 9, that this key jumps to or sets; 0 for other keys} */
    int marker() {
      if (compareTo(MARKER_1) >= 0 && compareTo(MARKER_9) <= 0)
        return ordinal() - MARKER_1.ordinal() + 1;
      if (compareTo(SET_MARKER_1) >= 0 && compareTo(SET_MARKER_9) <= 0)
        return ordinal() - SET_MARKER_1.ordinal() + 1;
      return 0;
    }
  }

  /** The one-line help of the practice keys: seeking, the loop, the markers and the cents. */
  static final String HELP_PRACTICE =
      "b/f seek 5s, B/F 30s, r to A, a/e set A/B, x unloop, 1-9 marks, ( ) cents";

  /** The one-line help that names the keys for a stereo input. */
  static final String HELP = "keys: -/+ left/right speed, </> key, t formants, v voice, m mono,"
      + " [ ] balance, up/down gain, q quit";
  /** The keys that a mono input leaves. */
  static final String HELP_MONO =
      "keys: -/+ left/right speed, </> key, t formants, up/down gain, q quit";

  /** The one-line help for a list of songs: the keys of {@link #HELP} and the next song's. */
  static final String HELP_LIST = "keys: -/+ left/right speed, </> key, t formants, v voice,"
      + " m mono, [ ] balance, up/down gain, n next, q quit";
  /** The keys that a mono song of a list leaves. */
  static final String HELP_LIST_MONO =
      "keys: -/+ left/right speed, </> key, t formants, up/down gain, n next, q quit";

  private static final int DEFAULT_WIDTH = 80;

  private final Terminal terminal;
  private final Attributes original;
  private final KeyMap<Key> keys = new KeyMap<>();
  private final BindingReader bindings;
  private final Queue<Key> typed = new ConcurrentLinkedQueue<>();
  private final PrintWriter writer;
  private final boolean canMoveUp;
  private volatile boolean interrupted;
  private volatile int width;
  private int drawnLines;

  private PlayTerminal(Terminal terminal) {
    this.terminal = terminal;
    this.original = terminal.enterRawMode();
    this.writer = terminal.writer();
    this.bindings = new BindingReader(terminal.reader());
    this.canMoveUp = terminal.getStringCapability(Capability.cursor_up) != null;
    bind(Key.FASTER, Capability.key_right, "+", "=", "\033[C", "\033OC");
    bind(Key.SLOWER, Capability.key_left, "-", "_", "\033[D", "\033OD");
    bind(Key.KEY_UP, null, ">", ".");
    bind(Key.KEY_DOWN, null, "<", ",");
    bind(Key.LOUDER, Capability.key_up, "\033[A", "\033OA");
    bind(Key.QUIETER, Capability.key_down, "\033[B", "\033OB");
    bind(Key.FORMANTS, null, "t", "T");
    bind(Key.VOICE, null, "v", "V");
    bind(Key.MONO, null, "m", "M");
    bind(Key.BALANCE_LEFT, null, "[");
    bind(Key.BALANCE_RIGHT, null, "]");
    bind(Key.NEXT, null, "n", "N");
    bind(Key.QUIT, null, "q", "Q", KeyMap.ctrl('C'));
    bind(Key.SEEK_BACK, null, "b", "\033[1;5D");
    bind(Key.SEEK_FORWARD, null, "f", "\033[1;5C");
    bind(Key.SEEK_BACK_LONG, null, "B", "\033[1;2D");
    bind(Key.SEEK_FORWARD_LONG, null, "F", "\033[1;2C");
    bind(Key.TO_LOOP_START, Capability.key_home, "r", "R", "\033[H", "\033OH", "\033[1~");
    bind(Key.SET_A, null, "a", "A");
    bind(Key.SET_B, null, "e", "E");
    bind(Key.CLEAR_LOOP, null, "x", "X");
    bind(Key.CENTS_DOWN, null, "(");
    bind(Key.CENTS_UP, null, ")");
    for (int m = 1; m <= 9; m++) {
      bind(Key.values()[Key.MARKER_1.ordinal() + m - 1], null, Integer.toString(m));
      // Alt with a digit: Escape, then the digit.
      bind(Key.values()[Key.SET_MARKER_1.ordinal() + m - 1], null, "\033" + m);
    }
    // A lone Escape counts once it has waited 50 ms for the rest of an arrow key's sequence.
    bind(Key.OTHER, null, KeyMap.esc());
    keys.setAmbiguousTimeout(50);
    keys.setNomatch(Key.OTHER);
    keys.setUnicode(Key.OTHER);
    width = measureWidth();
    terminal.handle(Terminal.Signal.INT, signal -> interrupted = true);
    terminal.handle(Terminal.Signal.WINCH, signal -> width = measureWidth());
    Thread reader = new Thread(this::readKeys, "hopwarbler keys");
    reader.setDaemon(true);
    reader.start();
  }

  /** Takes over the process's terminal. */
  static PlayTerminal open() throws IOException {
    Terminal terminal = TerminalBuilder.builder().system(true).build();
    try {
      return new PlayTerminal(terminal);
    } catch (RuntimeException e) {
      terminal.close(); // which restores the attributes it found
      throw e;
    }
  }

  private void bind(Key key, Capability capability, String... sequences) {
    if (capability != null) {
      String fromTerminal = KeyMap.key(terminal, capability);
      if (fromTerminal != null && !fromTerminal.isEmpty())
        keys.bind(key, fromTerminal);
    }
    for (String sequence : sequences) keys.bind(key, sequence);
  }

  private int measureWidth() {
    int columns = terminal.getWidth();
    return columns > 0 ? columns : DEFAULT_WIDTH;
  }

  // Runs on a thread of its own, so that a key sequence that arrives slowly or in part never
  // holds up the sound.
  private void readKeys() {
    try {
      for (Key key; (key = bindings.readBinding(keys)) != null;) typed.add(key);
    } catch (IOError | RuntimeException e) {
      // The terminal was closed under the reader: playing is over.
    }
  }

  /** The keys pressed since the last call, oldest first; never waits for one. */
  List<Key> pressed() {
    List<Key> pressed = new ArrayList<>();
    for (Key key; (key = typed.poll()) != null;) pressed.add(key);
    if (interrupted) {
      interrupted = false;
      pressed.add(Key.QUIT);
    }
    return pressed;
  }

  /**
   * Replaces the lines drawn last with {@code lines}, each cut to the terminal's width. A terminal
   * that cannot move the cursor up gets only the last line, redrawn over itself.
   */
  void draw(List<String> lines) {
    List<String> shown = canMoveUp ? lines : lines.subList(lines.size() - 1, lines.size());
    if (canMoveUp) {
      for (int i = 1; i < drawnLines; i++) terminal.puts(Capability.cursor_up);
    }
    for (int i = 0; i < shown.size(); i++) {
      if (i > 0)
        writer.print("\r\n");
      String line = shown.get(i);
      writer.print('\r');
      writer.print(line.length() < width ? line : line.substring(0, width - 1));
      terminal.puts(Capability.clr_eol);
    }
    drawnLines = shown.size();
    terminal.flush();
  }

  /** The help line for a stereo or mono song, alone or of a list. */
  static String help(boolean stereo, boolean list) {
    if (list)
      return stereo ? HELP_LIST : HELP_LIST_MONO;
    return stereo ? HELP : HELP_MONO;
  }

  /**
   * Clears the drawn lines and leaves the cursor where the first of them began, so that a message
   * can be written there; the next {@link #draw} starts below it.
   */
  void clear() {
    if (drawnLines > 0) {
      // Line by line: this JLine knows no clear-to-end-of-screen for common terminals.
      draw(Collections.nCopies(drawnLines, ""));
      for (int i = 1; i < drawnLines; i++) terminal.puts(Capability.cursor_up);
      writer.print('\r');
      terminal.flush();
      drawnLines = 0;
    }
  }

  /** Clears the drawn lines and gives the terminal back as it was. */
  @Override
  public void close() {
    try {
      clear();
      terminal.setAttributes(original);
      terminal.close();
    } catch (IOException | RuntimeException e) {
      // The terminal is going away with the process; there is nothing left to restore it with.
    }
  }
}

package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.Callable;
import javax.sound.sampled.AudioFormat;
import javax.sound.sampled.AudioSystem;
import javax.sound.sampled.LineUnavailableException;
import javax.sound.sampled.SourceDataLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.AudioStreams;
import quenlab.hopwarbler.Notes;
import quenlab.hopwarbler.Planning;
import quenlab.hopwarbler.Processor;

/**
 * {@code hopwarbler play IN...}: plays files in turn through the default output while processing
 * them, crossfading from each to the next; in a terminal, keys change the settings as they play.
 */
@Command(name = "play", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    sortOptions = false,
    description =
        {"Plays audio files through the default audio output while processing them with the same"
                + " options as 'process'. In a terminal it shows a live level meter, the strongest"
                + " note, the note spectrum from C1 (left) to B6 (right) and the settings, which"
                + " keys change while it plays:",
            "  - + or left/right  speed down/up by 0.05",
            "  < > (or , .)       key down/up by a semitone",
            "  f                  formants kept/shifted with the key",
            "  v                  voice removal on/off (stereo)",
            "  m                  mono fold on/off (stereo)",
            "  [ ]                balance 5 towards the left/right channel (stereo)",
            "  up/down            gain up/down by 1 dB",
            "  n                  next song, through the crossfade (several INs)",
            "  q or Ctrl-C        quit; --record keeps what was heard until then",
            "  b f                seek back/forward 5 s (also Ctrl-left/right)",
            "  B F                seek back/forward 30 s (also Shift-left/right)",
            "  r or Home          back to the loop's start (without a loop: to --from)",
            "  a e                set the loop's start A / end B where you are; x clears it",
            "  1 .. 9             jump to a marker (a first press sets it; Alt+digit resets)",
            "  ( )                key down/up by 5 cents",
            "",
            "Several INs play in turn, each next one starting under the end of the one before with"
                + " an equal-power crossfade of --crossfade seconds; the settings and the keys act"
                + " on every song heard, and q quits the whole list. The output is opened for the"
                + " first song's rate and channels: a later song of another rate is converted to"
                + " it (if within four times of it), a mono song is played on both channels and a"
                + " stereo one folded to mono for a mono output. A song that cannot be opened is"
                + " reported in one line and skipped.",
            ""},
    footer = {"", "Examples:", "  hopwarbler play song.wav --speed 0.75 --voice-removal",
        "  hopwarbler play song.mp3 --loop 1:02.5-1:10 --trainer 0.7:0.05:1",
        "  hopwarbler play song.wav --record session.wav",
        "  hopwarbler play one.mp3 two.flac three.wav --crossfade 5", "",
        "Exit status: 0 done or quit, 1 no audio output (without --record), a file that cannot"
            + " be read or written or (with several INs) a song skipped, 2 a usage error."})
final class PlayCommand implements Callable<Integer> {
  // Characters for the note strip, from silent to loud over 60 dB.
  private static final String SHADES = " .:-=+*#%@";
  private static final int METER = 20;
  private static final double SPEED_STEP = 0.05;
  private static final int BALANCE_STEP = 5;
  private static final double GAIN_STEP_DB = 1.0;
  private static final double CENTS_STEP = 0.05; // semitones
  private static final double SEEK_SECONDS = 5;
  private static final double LONG_SEEK_SECONDS = 30;
  private static final int BAR = 36;
  // How far output runs ahead of the clock without an audio device: the output line's buffer.
  private static final double AHEAD_SECONDS = 0.25;
  static final double MAX_CROSSFADE_SECONDS = 60;

  @Parameters(index = "0..*", arity = "1..*", paramLabel = "IN",
      description = "Input: WAV, AIFF, AU, MP3, Ogg Vorbis, Opus, FLAC or M4A/AAC, judged by its"
          + " content; - reads standard input. Several play one after the other.")
  List<Path> inputs;

  @Mixin EffectOptions effects;

  @Option(names = "--crossfade", paramLabel = "SECONDS", defaultValue = "3",
      description = "With several INs, how long each song overlaps the next, from 0 (one straight"
          + " after the other) to " + (int) MAX_CROSSFADE_SECONDS + "; at most half of either"
          + " song, none after a song whose length is not known beforehand (default:"
          + " ${DEFAULT-VALUE}).")
  double crossfadeSeconds;

  @Option(names = "--from", paramLabel = "TIME",
      description = "Start at TIME of the (first) song: seconds, m:ss or h:mm:ss, with a"
          + " fraction if wanted (1:23.5).")
  String from;

  @Option(names = "--loop", paramLabel = "A-B",
      description = "Play the passage from A to B over and over (times as for --from, e.g."
          + " 1:02.5-1:10), each return to A crossfaded over " + Song.SEAM_MILLISECONDS + " ms;"
          + " it starts at A, or at a --from within it. One IN only.")
  String loop;

  @Option(names = "--trainer", paramLabel = "START:STEP:END",
      description = "With --loop, play the first pass at speed START and each next one STEP"
          + " faster, up to END (e.g. 0.7:0.05:1); speeds from " + EffectOptions.MIN_SPEED
          + " to " + (int) EffectOptions.MAX_SPEED + ".")
  String trainerOption;

  @Option(names = "--record", paramLabel = "FILE",
      description = "Also write what is heard, with every change made while playing and every"
          + " crossfade, to FILE (.wav, .aiff/.aif, .au or .flac; 16-bit PCM with the first"
          + " song's rate and channels). Without an audio output, play then only records, still"
          + " in real time.")
  Path record;

  @Spec CommandSpec spec;

  @Override
  public Integer call() {
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    effects.validate();
    if (!(crossfadeSeconds >= 0 && crossfadeSeconds <= MAX_CROSSFADE_SECONDS)) {
      throw CliException.usage("--crossfade must be from 0 to " + (int) MAX_CROSSFADE_SECONDS
          + " seconds, got " + EffectOptions.format(crossfadeSeconds));
    }
    effects.warnAboutOptions(err);
    boolean list = inputs.size() > 1;
    Practice practice = practice(list);
    if (record != null) {
      AudioFiles.typeFor(record);
      for (Path input : inputs) {
        // A missing song of a list is reported when its turn comes.
        if (!list || Files.exists(input))
          AudioFiles.checkNotInput(input, record);
      }
      AudioFiles.checkWritable(record);
    }
    Session session = new Session(out, err, list);
    try {
      Song first = session.next();
      if (first == null) {
        err.println("hopwarbler: none of the " + inputs.size() + " files could be played");
        return CliException.IO;
      }
      try {
        practice.apply(first);
        return play(session, first);
      } catch (IOException e) {
        throw first.in.readError(e);
      }
    } finally {
      session.closeAll();
    }
  }

  // Plays from `first` on, whose format the output line and the recording take.
  private int play(Session session, Song first) throws IOException {
    PrintWriter out = spec.commandLine().getOut();
    PrintWriter err = spec.commandLine().getErr();
    AudioFormat format =
        AudioStreams.pcm16(first.in.sampleRate, first.in.channels, false);
    SourceDataLine line = null;
    String noOutput = null;
    try {
      line = openLine(format);
    } catch (CliException e) {
      if (record == null)
        throw e;
      noOutput = e.getMessage();
    }
    try (Recording recording = record != null ? Recording.start(record, format) : null) {
      if (noOutput != null) {
        err.println("hopwarbler: " + noOutput + "; recording to '" + record + "' only");
        err.flush();
      }
      PlayTerminal terminal = System.console() != null ? openTerminal(err) : null;
      boolean quit;
      try {
        quit = session.run(first, format, line, recording, terminal);
      } finally {
        if (terminal != null)
          terminal.close();
      }
      if (recording != null)
        recording.finish();
      if (!session.list) {
        Song song = first;
        Processor processor = song.processor;
        InputFile in = song.in;
        out.printf(Locale.ROOT, "played %s: %s -> %s, speed %s (effective %.4f), peak %s%s%s%n",
            in.path, AudioFiles.duration(song.fedFrames(), in.sampleRate),
            AudioFiles.duration(session.framesOut, format.getSampleRate()),
            EffectOptions.format(processor.speed()), processor.effectiveSpeed(),
            Main.dbfs(session.peak / 32768.0),
            quit && in.lengthHint >= 0
                ? ", quit at " + AudioFiles.duration(song.inputFrames(), in.sampleRate) + " of "
                    + AudioFiles.duration(in.lengthHint, in.sampleRate)
                : "",
            recording != null ? ", recorded to " + record : "");
        return 0;
      }
      out.printf(Locale.ROOT, "played %d of %d songs%s: %s, peak %s%s%n", session.played,
          inputs.size(), quit ? " (quit)" : "",
          AudioFiles.duration(session.framesOut, format.getSampleRate()),
          Main.dbfs(session.peak / 32768.0), recording != null ? ", recorded to " + record : "");
      return session.skipped == 0 ? 0 : CliException.IO;
    } finally {
      if (line != null)
        line.close();
    }
  }

  /** Where the first song starts, and the loop and trainer it plays with: from the options. */
  private record Practice(double fromSeconds, double loopA, double loopB, Song.Trainer trainer) {
    // Sets the song up before it plays; a time past its known end is a usage error.
    void apply(Song song) {
      int rate = song.in.sampleRate;
      long length = song.in.frames;
      double end = length >= 0 ? length / (double) rate : Double.POSITIVE_INFINITY;
      if (fromSeconds >= end) {
        throw CliException.usage("--from " + clock(fromSeconds) + " is past the end of '"
            + song.in.path + "' (" + clock(end) + ")");
      }
      if (loopA >= 0) {
        if (loopA >= end) {
          throw CliException.usage("--loop starts at " + clock(loopA) + ", past the end of '"
              + song.in.path + "' (" + clock(end) + ")");
        }
        song.setLoop(Math.round(loopA * rate), Math.round(Math.min(loopB, end) * rate));
      }
      song.setTrainer(trainer);
      double start = fromSeconds >= 0 ? fromSeconds : Math.max(0, loopA);
      song.start(Math.round(start * rate));
    }
  }

  private Practice practice(boolean list) {
    double start = from == null ? -1 : parseTime(from, "--from");
    double a = -1;
    double b = -1;
    if (loop != null) {
      if (list)
        throw CliException.usage("--loop plays one IN; give only one");
      int dash = loop.indexOf('-');
      if (dash < 0)
        throw CliException.usage("--loop wants A-B (e.g. 1:02.5-1:10), got '" + loop + "'");
      a = parseTime(loop.substring(0, dash), "--loop");
      b = parseTime(loop.substring(dash + 1), "--loop");
      if (!(b > a)) {
        throw CliException.usage(
            "--loop must end after it starts, got " + clock(a) + " to " + clock(b));
      }
      if (start >= 0 && (start < a || start >= b)) {
        throw CliException.usage("--from " + clock(start) + " lies outside the loop "
            + clock(a) + "-" + clock(b) + "; leave it out to start at the loop's start");
      }
    }
    Song.Trainer trainer = null;
    if (trainerOption != null) {
      if (loop == null)
        throw CliException.usage("--trainer speeds up a loop: give --loop A-B too");
      trainer = parseTrainer(trainerOption);
    }
    return new Practice(start, a, b, trainer);
  }

  /**
   * {@return the seconds of a time given as seconds (83.5), m:ss (1:23.5) or h:mm:ss (0:01:23.5)}
   *
   * @throws CliException a usage error naming {@code option} if it is none of these
   */
  static double parseTime(String text, String option) {
    String[] parts = text.trim().split(":", -1);
    double seconds = 0;
    boolean ok = parts.length <= 3;
    for (int i = 0; ok && i < parts.length; i++) {
      String part = parts[i];
      boolean last = i == parts.length - 1;
      ok = last ? part.matches("\\d+(\\.\\d*)?|\\.\\d+") : part.matches("\\d+");
      if (ok && i > 0 && Double.parseDouble(part) >= 60)
        ok = false;
      if (ok)
        seconds = seconds * 60 + Double.parseDouble(part);
    }
    if (!ok || !Double.isFinite(seconds)) {
      throw CliException.usage(option + " wants a time as seconds, m:ss or h:mm:ss (e.g. 1:23.5),"
          + " got '" + text + "'");
    }
    return seconds;
  }

  /** {@return the speed trainer of START:STEP:END} */
  static Song.Trainer parseTrainer(String text) {
    String[] parts = text.split(":", -1);
    double[] v = new double[3];
    boolean ok = parts.length == 3;
    for (int i = 0; ok && i < 3; i++) {
      try {
        v[i] = Double.parseDouble(parts[i].trim());
        ok = Double.isFinite(v[i]);
      } catch (NumberFormatException e) {
        ok = false;
      }
    }
    if (!ok) {
      throw CliException.usage(
          "--trainer wants START:STEP:END speeds (e.g. 0.7:0.05:1), got '" + text + "'");
    }
    for (int i = 0; i < 3; i += 2) {
      if (!(v[i] >= EffectOptions.MIN_SPEED && v[i] <= EffectOptions.MAX_SPEED)) {
        throw CliException.usage("--trainer speeds must be from " + EffectOptions.MIN_SPEED
            + " to " + (int) EffectOptions.MAX_SPEED + ", got " + EffectOptions.format(v[i]));
      }
    }
    if (v[1] == 0 || (v[2] - v[0]) * v[1] < 0) {
      throw CliException.usage("--trainer's STEP must lead from START to END, got '" + text + "'");
    }
    return new Song.Trainer(v[0], v[1], v[2]);
  }

  // m:ss.s of seconds, for messages.
  private static String clock(double seconds) {
    if (Double.isInfinite(seconds))
      return "the end";
    long tenths = Math.round(seconds * 10);
    return String.format(Locale.ROOT, "%d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
  }

  private static PlayTerminal openTerminal(PrintWriter err) {
    try {
      return PlayTerminal.open();
    } catch (IOException | RuntimeException e) {
      err.println("hopwarbler: the terminal's keys cannot be read (" + oneLine(e) + "); playing"
          + " without them");
      err.flush();
      return null;
    }
  }

  private static SourceDataLine openLine(AudioFormat format) {
    try {
      SourceDataLine line = AudioSystem.getSourceDataLine(format);
      // A quarter of a second of buffer: the meter stays close to what is heard.
      line.open(format,
          Math.max(4096, (int) (format.getFrameRate() * AHEAD_SECONDS) * format.getFrameSize()));
      line.start();
      return line;
    } catch (LineUnavailableException | IllegalArgumentException | SecurityException e) {
      throw CliException.io("no audio output device is available (" + oneLine(e) + ")");
    }
  }

  private static String oneLine(Exception e) {
    String message = e.getMessage() == null ? e.getClass().getSimpleName() : e.getMessage();
    return message.replaceAll("\\s+", " ").trim();
  }

  /**
   * One run through the list: blocks of 1/32 s are mixed from the songs playing (two during a
   * crossfade, each through its own processor) and go to the output line and the recording;
   * between blocks the keys pressed since are applied to every song playing, so a change is heard
   * from the next block on. Without an output line the loop keeps to the clock itself.
   */
  private final class Session implements Crossfader.Tracks {
    final boolean list;
    private final PrintWriter out;
    private final PrintWriter err;
    private final List<Song> open = new ArrayList<>();
    private int nextIndex;
    private int rate;
    private int channels;
    private int blockFrames;
    private SourceDataLine line;
    private Recording recording;
    private PlayTerminal terminal;
    private Crossfader mixer;
    private double voiceAmount = 1.0;
    private double voiceLowHz = EffectOptions.DEFAULT_VOICE_LOW_HZ;
    private double voiceHighHz = EffectOptions.DEFAULT_VOICE_HIGH_HZ;
    private boolean voiceKnown; // whether the voice removal of the options was seen
    private Live last; // the settings of the song that ended last
    long framesOut;
    int peak; // of what was played, 32768 being full scale
    int played;
    int skipped;
    private long startedNanos;

    Session(PrintWriter out, PrintWriter err, boolean list) {
      this.out = out;
      this.err = err;
      this.list = list;
    }

    /**
     * Opens the next song of the list that can be played; in a list, one that cannot is reported
     * in one line and skipped.
     */
    @Override
    public Song next() {
      while (nextIndex < inputs.size()) {
        int number = ++nextIndex;
        Path path = inputs.get(number - 1);
        try {
          return open(number, path);
        } catch (CliException | IllegalArgumentException | IllegalStateException e) {
          if (!list)
            throw e;
          skipped++;
          message("hopwarbler: " + Main.oneLine(e.getMessage()) + "; skipping it");
        }
      }
      return null;
    }

    private Song open(int number, Path path) {
      InputFile in = InputFile.open(path, err);
      try {
        if (rate == 0) {
          rate = in.sampleRate;
          channels = in.channels;
          blockFrames = Capture.blockFrames(rate, true);
        }
        Processor processor =
            Main.openProcessor(() -> effects.open(in.sampleRate, in.channels, path, list));
        try {
          Song song = Song.of(number, in, processor, rate, channels,
              Capture.blockFrames(in.sampleRate, true));
          if (!voiceKnown && processor.voiceRemovalBand() != null) {
            // The voice key brings back the voice removal of the options.
            voiceKnown = true;
            voiceAmount = processor.voiceRemovalAmount();
            voiceLowHz = processor.voiceRemovalBand().lowHz();
            voiceHighHz = processor.voiceRemovalBand().highHz();
          }
          if (number > 1)
            follow(processor);
          open.add(song);
          return song;
        } catch (RuntimeException e) {
          processor.close();
          throw e;
        }
      } catch (RuntimeException e) {
        in.close();
        throw e;
      }
    }

    // A song that starts takes the settings the keys have made of the one playing (or of the one
    // that played last).
    private void follow(Processor p) {
      Song playing = mixer != null ? (Song) mixer.current() : null;
      Live from = playing != null ? Live.of(playing.processor) : last;
      if (from == null)
        return;
      p.setGainDb(from.gainDb());
      p.setPitch(from.pitch());
      p.setFormants(from.formants());
      p.setSpeed(from.speed());
      if (p.channels() == 2 && from.stereo()) {
        p.setMono(from.mono());
        p.setBalance(from.balance());
        if (from.voice()) {
          p.setVoiceRemoval(voiceAmount, voiceLowHz, voiceHighHz);
        } else {
          p.disableVoiceRemoval();
        }
      }
    }

    @Override
    public void ended(Crossfader.Track track, boolean stopped) {
      Song song = (Song) track;
      played++;
      if (!list)
        return;
      InputFile in = song.in;
      Processor.Stats stats = song.processor.stats();
      long position = song.inputFrames();
      message(String.format(Locale.ROOT,
          "played %d/%d %s: %s -> %s, speed %s (effective %.4f), peak %s%s", song.number,
          inputs.size(), in.path, AudioFiles.duration(position, in.sampleRate),
          AudioFiles.duration(stats.outputFrames(), in.sampleRate),
          EffectOptions.format(song.processor.speed()), song.processor.effectiveSpeed(),
          Main.dbfs(song.peak()),
          in.lengthHint >= 0 && position < in.lengthHint
              ? ", left at " + AudioFiles.duration(position, in.sampleRate) + " of "
                  + AudioFiles.duration(in.lengthHint, in.sampleRate)
              : ""),
          out);
      last = Live.of(song.processor);
      open.remove(song);
      song.close();
    }

    // One line above the live display (which is drawn again below it).
    private void message(String text) {
      message(text, err);
    }

    private void message(String text, PrintWriter to) {
      if (terminal != null)
        terminal.clear();
      to.println(text);
      to.flush();
    }

    /** Plays to the end of the list or until q; returns true if it was quit. */
    boolean run(Song first, AudioFormat format, SourceDataLine line, Recording recording,
        PlayTerminal terminal) throws IOException {
      this.line = line;
      this.recording = recording;
      this.terminal = terminal;
      long fade = list ? Math.round(crossfadeSeconds * rate) : 0;
      mixer = new Crossfader(this, channels, fade, blockFrames);
      mixer.start(first);
      short[] block = new short[blockFrames * channels];
      byte[] bytes = new byte[2 * block.length];
      startedNanos = System.nanoTime();
      boolean quit = false;
      while (!quit) {
        quit = applyKeys();
        if (quit)
          break;
        int n = mixer.mix(block, blockFrames);
        if (n <= 0)
          break;
        emit(AudioStreams.toBytes(block, n * channels, false, bytes), 2 * n * channels);
      }
      if (quit) {
        short[] tail = mixer.tail();
        emit(AudioStreams.toBytes(tail, tail.length, false, null), 2 * tail.length);
      }
      if (line != null)
        line.drain();
      return quit;
    }

    /** Closes the songs still open. */
    void closeAll() {
      for (Song song : open) song.close();
      open.clear();
    }

    private boolean applyKeys() {
      if (terminal == null)
        return false;
      for (PlayTerminal.Key key : terminal.pressed()) {
        if (!apply(key))
          return true;
      }
      return false;
    }

    // The processors the keys act on: the song playing first, then the one fading in and the
    // one opened to come next.
    private List<Processor> playing() {
      List<Processor> processors = new ArrayList<>(3);
      for (Crossfader.Track t :
          new Crossfader.Track[] {mixer.current(), mixer.incoming(), mixer.upcoming()}) {
        if (t != null)
          processors.add(((Song) t).processor);
      }
      return processors;
    }

    // Applies one key; false for quit.
    private boolean apply(PlayTerminal.Key key) {
      List<Processor> all = playing();
      if (all.isEmpty())
        return key != PlayTerminal.Key.QUIT;
      Processor processor = all.get(0);
      boolean stereo = processor.channels() == 2;
      switch (key) {
        case FASTER -> setSpeed(all, processor.speed() + SPEED_STEP);
        case SLOWER -> setSpeed(all, processor.speed() - SPEED_STEP);
        case KEY_UP -> setPitch(all, processor.pitch() + 1);
        case KEY_DOWN -> setPitch(all, processor.pitch() - 1);
        case FORMANTS -> {
          Processor.Formants next = processor.formants() == Processor.Formants.KEEP
              ? Processor.Formants.SHIFT
              : Processor.Formants.KEEP;
          for (Processor p : all) p.setFormants(next);
        }
        case LOUDER -> setGainDb(all, processor.gainDb() + GAIN_STEP_DB);
        case QUIETER -> setGainDb(all, processor.gainDb() - GAIN_STEP_DB);
        case VOICE -> {
          boolean on = stereo && processor.voiceRemovalBand() == null;
          for (Processor p : all) {
            if (stereo && p.channels() == 2 && !on) {
              p.disableVoiceRemoval();
            } else if (stereo && p.channels() == 2) {
              p.setVoiceRemoval(voiceAmount, voiceLowHz, voiceHighHz);
            }
          }
        }
        case MONO -> {
          boolean mono = !processor.mono();
          for (Processor p : all) {
            if (stereo && p.channels() == 2)
              p.setMono(mono);
          }
        }
        case BALANCE_LEFT -> {
          int balance = Math.min(100, processor.balance() + BALANCE_STEP);
          for (Processor p : all) {
            if (stereo && p.channels() == 2)
              p.setBalance(balance);
          }
        }
        case BALANCE_RIGHT -> {
          int balance = Math.max(0, processor.balance() - BALANCE_STEP);
          for (Processor p : all) {
            if (stereo && p.channels() == 2)
              p.setBalance(balance);
          }
        }
        case NEXT -> {
          if (list)
            mixer.skip();
        }
        case QUIT -> {
          return false;
        }
        case CENTS_UP -> setPitch(all, processor.pitch() + CENTS_STEP);
        case CENTS_DOWN -> setPitch(all, processor.pitch() - CENTS_STEP);
        case OTHER -> {}
        default -> practise(key, (Song) mixer.current());
      }
      return true;
    }

    // The keys that move about the song playing: seeks, the loop and the markers.
    private void practise(PlayTerminal.Key key, Song song) {
      if (song == null)
        return;
      int rate = song.in.sampleRate;
      long here = song.inputFrames();
      switch (key) {
        case SEEK_BACK -> song.seek(here - Math.round(SEEK_SECONDS * rate));
        case SEEK_FORWARD -> song.seek(here + Math.round(SEEK_SECONDS * rate));
        case SEEK_BACK_LONG -> song.seek(here - Math.round(LONG_SEEK_SECONDS * rate));
        case SEEK_FORWARD_LONG -> song.seek(here + Math.round(LONG_SEEK_SECONDS * rate));
        case TO_LOOP_START -> song.seek(song.loopStart() >= 0 ? song.loopStart() : song.startFrame);
        case SET_A -> {
          song.pendingA = here;
          if (song.loopEnd() > here) {
            song.setLoop(here, song.loopEnd());
          } else if (song.loopStart() >= 0) {
            song.clearLoop();
          }
        }
        case SET_B -> {
          long a = song.pendingA >= 0 ? song.pendingA : Math.max(0, song.loopStart());
          if (here > a)
            song.setLoop(a, here);
        }
        case CLEAR_LOOP -> {
          song.clearLoop();
          song.pendingA = -1;
        }
        default -> {
          int marker = key.marker();
          if (marker == 0)
            return;
          boolean set = key.compareTo(PlayTerminal.Key.SET_MARKER_1) >= 0;
          if (set || song.markers[marker] < 0) {
            song.markers[marker] = here;
          } else {
            song.seek(song.markers[marker]);
          }
        }
      }
    }

    private void setSpeed(List<Processor> all, double speed) {
      // Rounded so that steps of 0.05 land on round figures after many presses. The vocoder
      // stretches to speed / pitch factor, which its hop limits.
      Processor processor = all.get(0);
      double rounded = Math.round(speed * 1e6) / 1e6;
      int frame = processor.frameSize();
      int os = processor.overSampling();
      double low =
          Math.max(EffectOptions.MIN_SPEED, Planning.lowestSpeed(frame, os, processor.pitch()));
      double high =
          Math.min(EffectOptions.MAX_SPEED, Planning.highestSpeed(frame, os, processor.pitch()));
      double clamped = Math.max(low, Math.min(high, rounded));
      for (Processor p : all) p.setSpeed(clamped);
    }

    // Moves the key within its range, as far as the vocoder's hop can stretch at this speed.
    private void setPitch(List<Processor> all, double semitones) {
      Processor processor = all.get(0);
      double rounded = Math.round(semitones * 1e6) / 1e6;
      if (rounded < Processor.MIN_PITCH || rounded > Processor.MAX_PITCH)
        return;
      double stretch = Planning.stretch(processor.speed(), rounded);
      if (Planning.reaches(processor.frameSize(), processor.overSampling(), stretch)) {
        for (Processor p : all) p.setPitch(rounded);
      }
    }

    private void setGainDb(List<Processor> all, double gainDb) {
      double rounded = Math.round(gainDb * 1e6) / 1e6;
      double clamped = Math.max(Processor.MIN_GAIN_DB, Math.min(Processor.MAX_GAIN_DB, rounded));
      for (Processor p : all) p.setGainDb(clamped);
    }

    private void emit(byte[] bytes, int length) {
      int frameBytes = 2 * channels;
      int whole = length - length % frameBytes;
      if (recording != null)
        recording.write(bytes, whole);
      framesOut += whole / frameBytes;
      peak = PcmWriter.peak(bytes, whole, peak);
      if (line != null) {
        line.write(bytes, 0, whole);
      } else {
        keepToTheClock();
      }
      if (terminal != null)
        draw();
    }

    private void draw() {
      Song current = (Song) mixer.current();
      if (current == null)
        return;
      Song incoming = (Song) mixer.incoming();
      float level;
      float[] bands;
      if (incoming == null) {
        level = current.processor.peakLevel();
        bands = current.processor.spectrum();
      } else {
        // Both songs as weighted in the mix: the louder peak, the bands' powers added.
        double a = mixer.currentGain();
        double b = mixer.incomingGain();
        level = (float) Math.max(
            a * current.processor.peakLevel(), b * incoming.processor.peakLevel());
        bands = current.processor.spectrum();
        float[] other = incoming.processor.spectrum();
        for (int i = 0; i < bands.length && i < other.length; i++) {
          bands[i] = (float) Math.sqrt(a * a * bands[i] * bands[i] + b * b * other[i] * other[i]);
        }
      }
      boolean stereo = current.processor.channels() == 2;
      List<String> lines = new ArrayList<>(4);
      if (list)
        lines.add(songLine(current, incoming));
      lines.add(PlayTerminal.help(stereo, list));
      lines.add(PlayTerminal.HELP_PRACTICE);
      lines.add(meterLine(level, bands));
      lines.add(settingsLine(current));
      lines.add(practiceLine(current));
      terminal.draw(lines);
    }

    // Which song plays, and during a crossfade which one comes in.
    private String songLine(Song current, Song incoming) {
      String line = "playing " + current.number + "/" + inputs.size() + ": " + current.name();
      if (incoming != null) {
        line += ", fading into " + incoming.number + "/" + inputs.size() + ": " + incoming.name();
      } else if (mixer.currentGain() < 1) {
        line += ", fading out";
      }
      return line;
    }

    // Without an output line, waits until the clock is no more than the line's buffer behind.
    private void keepToTheClock() {
      long dueNanos =
          startedNanos + Math.round((framesOut / (double) rate - AHEAD_SECONDS) * 1e9);
      long waitNanos = dueNanos - System.nanoTime();
      if (waitNanos > 0) {
        try {
          Thread.sleep(waitNanos / 1_000_000, (int) (waitNanos % 1_000_000));
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
      }
    }

    /** The position in the song playing and the settings the keys change. */
    private String settingsLine(Song song) {
      Processor processor = song.processor;
      InputFile in = song.in;
      StringBuilder line = new StringBuilder(position(song.inputFrames(), in.sampleRate));
      if (in.lengthHint >= 0)
        line.append(" / ").append(position(in.lengthHint, in.sampleRate));
      line.append(String.format(Locale.ROOT, "  speed %.2f", processor.speed()));
      if (processor.channels() == 2) {
        line.append("  voice ").append(processor.voiceRemovalBand() != null ? "on" : "off");
        line.append("  mono ").append(processor.mono() ? "on" : "off");
        line.append("  balance ").append(processor.balance());
      }
      double gainDb = processor.gainDb();
      line.append("  gain ").append(gainDb > 0 ? "+" : "").append(EffectOptions.format(gainDb));
      line.append(" dB  key ").append(keyText(processor.pitch()));
      line.append("  formants ")
          .append(processor.formants() == Processor.Formants.KEEP ? "kept" : "shifted");
      return line.toString();
    }

    /** The position on a bar with the loop and the markers, the loop, and the trainer's pass. */
    private String practiceLine(Song song) {
      int rate = song.in.sampleRate;
      StringBuilder line =
          new StringBuilder(bar(song.inputFrames(), song.songFrames(), song.loopStart(),
              song.loopStart() >= 0 ? song.loopEnd() : -1, song.pendingA, song.markers));
      if (song.loopStart() >= 0) {
        line.append("  A-B ").append(position(song.loopStart(), rate)).append('-')
            .append(position(song.loopEnd(), rate)).append("  pass ").append(song.pass());
        if (song.trainer() != null)
          line.append(String.format(Locale.ROOT, " at %.2f", song.trainer().speed(song.pass())));
      }
      return line.toString();
    }

    // m:ss.t of the input.
    private String position(long frames, int sampleRate) {
      long tenths = frames * 10 / sampleRate;
      return String.format(
          Locale.ROOT, "%d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
    }
  }

  /**
   * {@return the key change as whole semitones and cents, e.g. "+2 st -15 c"}
   *
   * @param pitch the key change in semitones
   */
  static String keyText(double pitch) {
    long cents = Math.round(pitch * 100);
    long semitones = Math.round(cents / 100.0);
    long rest = cents - semitones * 100;
    return String.format(Locale.ROOT, "%s%d st %s%d c", semitones > 0 ? "+" : "", semitones,
        rest > 0 ? "+" : "", rest);
  }

  /**
   * {@return a bar of the song: {@code |} where it plays, {@code A} and {@code B} at the loop's
   * ends with {@code =} between, the markers' digits, {@code -} elsewhere; only the position while
   * the length is unknown}
   */
  static String bar(long position, long length, long a, long b, long pendingA, long[] markers) {
    if (length <= 0)
      return "[" + " ".repeat(BAR) + "]";
    char[] cells = "-".repeat(BAR).toCharArray();
    if (a >= 0 && b > a) {
      for (int i = cell(a, length); i <= cell(b, length); i++) cells[i] = '=';
      cells[cell(b, length)] = 'B';
    }
    if (a >= 0 || pendingA >= 0)
      cells[cell(a >= 0 ? a : pendingA, length)] = 'A';
    for (int m = 1; m < markers.length; m++) {
      if (markers[m] >= 0)
        cells[cell(markers[m], length)] = (char) ('0' + m);
    }
    cells[cell(position, length)] = '|';
    return "[" + new String(cells) + "]";
  }

  private static int cell(long frame, long length) {
    return (int) Math.max(0, Math.min(BAR - 1, frame * BAR / length));
  }

  /** The settings that the keys change, as one song had them, for the song after it. */
  private record Live(double speed, double pitch, Processor.Formants formants, double gainDb,
      boolean stereo, boolean mono, int balance, boolean voice) {
    static Live of(Processor p) {
      boolean stereo = p.channels() == 2;
      return new Live(p.speed(), p.pitch(), p.formants(), p.gainDb(), stereo, stereo && p.mono(),
          stereo ? p.balance() : 50, stereo && p.voiceRemovalBand() != null);
    }
  }

  /**
   * One line of the live display: a level meter over 60 dB, the peak in dBFS, the strongest note
   * and one character per note from C1 to B6.
   */
  static String meterLine(float peak, float[] bands) {
    double peakDb = peak > 0 ? 20 * Math.log10(peak) : -120;
    int filled = (int) Math.round(Math.max(0, Math.min(1, 1 + peakDb / 60)) * METER);
    int strongest = 0;
    for (int b = 1; b < bands.length; b++) {
      if (bands[b] > bands[strongest])
        strongest = b;
    }
    StringBuilder strip = new StringBuilder(bands.length);
    for (float v : bands) {
      double db = v > 0 ? 20 * Math.log10(v) : -120;
      int shade = (int) Math.floor(Math.max(0, Math.min(0.999, 1 + db / 60)) * SHADES.length());
      strip.append(SHADES.charAt(shade));
    }
    String note = bands[strongest] > 1e-4 ? Notes.name(strongest) : "-";
    return String.format(Locale.ROOT, "[%s%s] %6s  %-3s |%s|", "=".repeat(filled),
        " ".repeat(METER - filled),
        peakDb > -100 ? String.format(Locale.ROOT, "%.1f", peakDb) : "-inf", note, strip);
  }
}

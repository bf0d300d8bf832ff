package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.function.Predicate;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

/** Runs the configured bin/hopwarbler as a user would, for the end-to-end tests. */
final class LauncherRuns {
  /** What one run of the tool gave: exit status, standard output, standard error. */
  record Run(int status, String out, String err) {}

  private LauncherRuns() {}

  /** Runs the tool in this JVM through {@link Main#run}, as the launcher would run it. */
  static Run inThisJvm(String... args) {
    StringWriter out = new StringWriter();
    StringWriter err = new StringWriter();
    int status = Main.run(new PrintWriter(out), new PrintWriter(err), args);
    return new Run(status, out.toString(), err.toString());
  }

  /** The launcher named by -Dhopwarbler.launcher, checked to be executable. */
  static Path launcher() {
    String path = System.getProperty("hopwarbler.launcher", "");
    assertFalse(path.isEmpty(), "set -Dhopwarbler.launcher to the configured bin/hopwarbler");
    Path launcher = Path.of(path);
    assertTrue(Files.isExecutable(launcher), launcher + " is not executable");
    return launcher;
  }

  /**
   * Runs the {@link #launcher()} in dir with no standard input and waits for it (2 minutes at
   * most).
   */
  static Run run(Path dir, String... args) throws IOException, InterruptedException {
    return run(dir, Map.of(), null, args);
  }

  /**
   * Like {@link #run(Path, String...)}, with {@code environment} added to the tool's and {@code
   * input} (unless null) written to its standard input through a pipe.
   */
  static Run run(Path dir, Map<String, String> environment, byte[] input, String... args)
      throws IOException, InterruptedException {
    return runCommand(dir, environment, input, null, command(args));
  }

  /** Like {@link #run(Path, String...)}, with standard output into {@code stdout} if not null. */
  static Run run(Path dir, Path stdout, String... args) throws IOException, InterruptedException {
    return runCommand(dir, Map.of(), null, stdout, command(args));
  }

  private static List<String> command(String... args) {
    List<String> command = new ArrayList<>();
    command.add(launcher().toString());
    command.addAll(Arrays.asList(args));
    return command;
  }

  /**
   * Runs {@code command} as {@link #run(Path, Map, byte[], String...)} runs the tool, with its
   * standard output into {@code stdout} if not null (and then not returned).
   */
  static Run runCommand(Path dir, Map<String, String> environment, byte[] input, Path stdout,
      List<String> command) throws IOException, InterruptedException {
    Path out = stdout != null ? stdout : Files.createTempFile("launcher", ".out");
    Path err = Files.createTempFile("launcher", ".err");
    try {
      ProcessBuilder builder =
          new ProcessBuilder(command)
              .directory(dir.toFile())
              .redirectOutput(out.toFile())
              .redirectError(err.toFile())
              .redirectInput(input != null ? ProcessBuilder.Redirect.PIPE
                                           : ProcessBuilder.Redirect.from(new File("/dev/null")));
      builder.environment().putAll(environment);
      Process p = builder.start();
      if (input != null) {
        Thread feeder = new Thread(() -> {
          try (OutputStream stdin = p.getOutputStream()) {
            stdin.write(input);
          } catch (IOException e) {
            // The tool stopped reading; its status tells why.
          }
        });
        feeder.setDaemon(true);
        feeder.start();
      }
      assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the tool did not finish: " + command);
      return new Run(p.exitValue(),
          stdout != null ? "" : Files.readString(out, StandardCharsets.UTF_8),
          Files.readString(err, StandardCharsets.UTF_8));
    } finally {
      if (stdout == null)
        Files.deleteIfExists(out);
      Files.deleteIfExists(err);
    }
  }

  /** The names of the files in dir, sorted. */
  static List<String> names(Path dir) throws IOException {
    try (Stream<Path> files = Files.list(dir)) {
      return files.map(p -> p.getFileName().toString()).sorted().toList();
    }
  }

  /**
   * The tool running in a pseudo-terminal made by util-linux's script (TERM=xterm), with its
   * screen readable as it is drawn and keys sent to it as a user types them.
   */
  static final class InTerminal implements AutoCloseable {
    private final Process process;
    private final OutputStream keys;
    private final StringBuilder screen = new StringBuilder();
    private final Thread reader;
    private int scanned;

    InTerminal(Path launcher, Path dir, String... args) throws IOException {
      StringBuilder command = new StringBuilder("exec '" + launcher + "'");
      for (String arg : args) command.append(" '").append(arg).append('\'');
      ProcessBuilder builder =
          new ProcessBuilder("script", "-q", "-e", "-f", "-c", command.toString(), "/dev/null")
              .directory(dir.toFile())
              .redirectErrorStream(true);
      builder.environment().put("TERM", "xterm");
      process = builder.start();
      keys = process.getOutputStream();
      reader = new Thread(this::readScreen, "screen reader");
      reader.setDaemon(true);
      reader.start();
    }

    private void readScreen() {
      byte[] buffer = new byte[4096];
      try (InputStream in = process.getInputStream()) {
        int n;
        while ((n = in.read(buffer)) >= 0) {
          synchronized (screen) {
            screen.append(new String(buffer, 0, n, StandardCharsets.ISO_8859_1));
            screen.notifyAll();
          }
        }
      } catch (IOException e) {
        // The process went away; waiting callers see it has ended.
      }
      synchronized (screen) {
        screen.notifyAll();
      }
    }

    /**
     * Waits for the next match of {@code pattern} on the screen, after the previous one this
     * method returned, that {@code wanted} accepts; fails if the tool ends first (or after two
     * minutes, so that a broken tool cannot hang the tests).
     */
    Matcher await(Pattern pattern, Predicate<Matcher> wanted) throws InterruptedException {
      long deadline = System.nanoTime() + TimeUnit.MINUTES.toNanos(2);
      synchronized (screen) {
        while (true) {
          Matcher m = pattern.matcher(screen);
          while (m.find(scanned)) {
            scanned = m.end();
            if (wanted.test(m))
              return m;
          }
          boolean ended = !reader.isAlive();
          long left = deadline - System.nanoTime();
          assertTrue(!ended && left > 0, "no " + pattern + " on the screen; it shows: " + text());
          screen.wait(Math.max(1, TimeUnit.NANOSECONDS.toMillis(left)));
        }
      }
    }

    /** Types {@code text}. */
    void type(String text) throws IOException {
      keys.write(text.getBytes(StandardCharsets.ISO_8859_1));
      keys.flush();
    }

    /** Waits for the tool to end (two minutes at most); returns its exit status. */
    int waitFor() throws InterruptedException {
      assertTrue(process.waitFor(120, TimeUnit.SECONDS), "the tool did not end");
      reader.join(10_000);
      return process.exitValue();
    }

    /** Everything drawn so far. */
    String text() {
      synchronized (screen) {
        return screen.toString();
      }
    }

    @Override
    public void close() throws IOException {
      keys.close();
      process.destroy();
    }
  }
}

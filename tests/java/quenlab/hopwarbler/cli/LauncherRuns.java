package quenlab.hopwarbler.cli;

import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/** Runs the configured bin/hopwarbler as a user would, for the end-to-end tests. */
final class LauncherRuns {
  /** What one run of the tool gave: exit status, standard output, standard error. */
  record Run(int status, String out, String err) {}

  private LauncherRuns() {}

  /** The launcher named by -Dhopwarbler.launcher, checked to be executable. */
  static Path launcher() {
    String path = System.getProperty("hopwarbler.launcher", "");
    assertFalse(path.isEmpty(), "set -Dhopwarbler.launcher to the configured bin/hopwarbler");
    Path launcher = Path.of(path);
    assertTrue(Files.isExecutable(launcher), launcher + " is not executable");
    return launcher;
  }

  /** Runs the tool in dir with no standard input and waits for it (2 minutes at most). */
  static Run run(Path launcher, Path dir, String... args) throws IOException, InterruptedException {
    List<String> command = new ArrayList<>();
    command.add(launcher.toString());
    command.addAll(Arrays.asList(args));
    Path out = Files.createTempFile("launcher", ".out");
    Path err = Files.createTempFile("launcher", ".err");
    try {
      Process p = new ProcessBuilder(command)
                      .directory(dir.toFile())
                      .redirectOutput(out.toFile())
                      .redirectError(err.toFile())
                      .redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")))
                      .start();
      assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the tool did not finish: " + command);
      return new Run(p.exitValue(), Files.readString(out, StandardCharsets.UTF_8),
          Files.readString(err, StandardCharsets.UTF_8));
    } finally {
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
}

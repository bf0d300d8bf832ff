package quenlab.hopwarbler.cli;

import java.io.PrintWriter;
import java.util.Locale;
import java.util.function.Supplier;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.IVersionProvider;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.Spec;
import quenlab.hopwarbler.Processor;

/**
 * The {@code hopwarbler} command-line tool: {@code process}, {@code spectrum}, {@code play} and
 * {@code demo}. Every failure is reported as one line on standard error, with exit status 2 for a
 * usage error and 1 for a file that cannot be read or written (or no audio device).
 */
@Command(name = "hopwarbler", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
    synopsisSubcommandLabel = "COMMAND",
    subcommands = {ProcessCommand.class, SpectrumCommand.class, PlayCommand.class,
        DemoCommand.class},
    description = {"Plays music faster or slower without changing its pitch, removes the centre voice,"
            + " rebalances or folds to mono, equalises, and shows the note spectrum from C1 to B6.",
        "Run 'hopwarbler demo' to hear and see what it does, 'hopwarbler COMMAND --help' for a"
            + " command's options."},
    footer = {"", "Exit status: 0 done, 1 a file could not be read or written, 2 a usage error."})
public final class Main implements Runnable {
  /** The tool's version: the Implementation-Version the build writes into the jar's manifest. */
  static final String VERSION = versionOfJar();

  @Spec CommandSpec spec;

  /** Reports the tool's version for {@code --version}. */
  public static final class Version implements IVersionProvider {
    @Override
    public String[] getVersion() {
      return new String[] {
          "hopwarbler " + VERSION + " (Java " + System.getProperty("java.version") + ")"};
    }
  }

  private static String versionOfJar() {
    String version = Main.class.getPackage().getImplementationVersion();
    return version != null ? version : "(version unknown: not run from its jar)";
  }

  @Override
  public void run() {
    throw new ParameterException(
        spec.commandLine(), "missing command: give one of process, spectrum, play or demo");
  }

  public static void main(String[] args) {
    PrintWriter out = new PrintWriter(System.out, true);
    PrintWriter err = new PrintWriter(System.err, true);
    int status = run(out, err, args);
    out.flush();
    err.flush();
    System.exit(status);
  }

  /** Runs the tool with the given arguments and streams; returns the exit status. */
  public static int run(PrintWriter out, PrintWriter err, String... args) {
    CommandLine commandLine = new CommandLine(new Main());
    commandLine.setOut(out);
    commandLine.setErr(err);
    commandLine.setParameterExceptionHandler((e, arguments) -> {
      CommandLine failed = e.getCommandLine();
      err.println("hopwarbler: " + oneLine(e.getMessage()) + " (see '"
          + failed.getCommandSpec().qualifiedName() + " --help')");
      err.flush();
      return CliException.USAGE;
    });
    commandLine.setExecutionExceptionHandler((e, failed, parseResult) -> {
      int status;
      String message;
      if (e instanceof CliException cli) {
        status = cli.exitCode();
        message = cli.getMessage();
      } else if (e instanceof IllegalArgumentException) {
        status = CliException.USAGE;
        message = e.getMessage();
      } else if (e instanceof IllegalStateException) {
        status = CliException.IO;
        message = e.getMessage();
      } else {
        status = CliException.IO;
        message = "internal error: " + e;
      }
      // A failure that a signal caused (its temporary removed under it, say) is no failure of
      // its own: the signal's message has been given.
      if (!TempFiles.interrupted()) {
        err.println("hopwarbler: " + oneLine(message));
        err.flush();
      }
      return status;
    });
    int status = commandLine.execute(args);
    out.flush();
    err.flush();
    return status;
  }

  /**
   * Opens a processor, turning a native library that cannot be loaded into a one-line error.
   */
  static Processor openProcessor(Supplier<Processor> opener) {
    try {
      return opener.get();
    } catch (LinkageError e) {
      throw CliException.io("cannot load the hopwarbler native library: " + e.getMessage());
    }
  }

  /** A level in dB of full scale, one decimal. */
  static String dbfs(double level) {
    return level > 0 ? String.format(Locale.ROOT, "%.1f dBFS", 20 * Math.log10(level))
                     : "-inf dBFS";
  }

  /** A message on one line: line breaks and the spaces around them become "; ". */
  static String oneLine(String message) {
    return message == null ? "" : message.replaceAll("\\s*\\R\\s*", "; ").trim();
  }
}

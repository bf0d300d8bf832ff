package quenlab.hopwarbler.cli;

/**
 * A failure the tool reports in one line and turns into its exit status: {@link #USAGE} for a
 * command line that asks for something impossible, {@link #IO} for a file that cannot be read,
 * decoded or written.
 */
final class CliException extends RuntimeException {
  static final int USAGE = 2;
  static final int IO = 1;

  private static final long serialVersionUID = 1L;

  private final int exitCode;

  private CliException(int exitCode, String message, Throwable cause) {
    super(message, cause);
    this.exitCode = exitCode;
  }

  static CliException usage(String message) {
    return new CliException(USAGE, message, null);
  }

  static CliException io(String message) {
    return new CliException(IO, message, null);
  }

  static CliException io(String message, Throwable cause) {
    return new CliException(IO, message, cause);
  }

  int exitCode() {
    return exitCode;
  }
}

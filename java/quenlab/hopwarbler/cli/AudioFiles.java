package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Locale;
import javax.sound.sampled.AudioFileFormat;

/** Opening, naming and safely writing the tool's files. */
final class AudioFiles {
  private AudioFiles() {}

  /** Something that writes a whole file to the path it is given. */
  interface FileWriter {
    void write(Path file) throws IOException;
  }

  /** FLAC, which the flac program writes (Java Sound has no writer for it). */
  static final AudioFileFormat.Type FLAC = new AudioFileFormat.Type("FLAC", "flac");

  /**
   * The file type for an output name, from its extension: .wav, .aif/.aiff, .au/.snd or .flac.
   */
  static AudioFileFormat.Type typeFor(Path file) {
    String name = file.getFileName() == null ? "" : file.getFileName().toString();
    String lower = name.toLowerCase(Locale.ROOT);
    if (lower.endsWith(".wav"))
      return AudioFileFormat.Type.WAVE;
    if (lower.endsWith(".aif") || lower.endsWith(".aiff"))
      return AudioFileFormat.Type.AIFF;
    if (lower.endsWith(".au") || lower.endsWith(".snd"))
      return AudioFileFormat.Type.AU;
    if (lower.endsWith(".flac"))
      return FLAC;
    throw CliException.usage("cannot tell the format of '" + file
        + "': its name must end in .wav, .aiff, .aif, .au or .flac");
  }

  static boolean isFlac(Path file) {
    return !AudioOutput.isStandardOutput(file) && typeFor(file).equals(FLAC);
  }

  /** AIFF and AU store their samples big-endian, WAV little-endian. */
  static boolean bigEndian(AudioFileFormat.Type type) {
    return !type.equals(AudioFileFormat.Type.WAVE);
  }

  /** Refuses an output path that names the same file as the input. */
  static void checkNotInput(Path input, Path output) {
    if (input.toString().equals(InputFile.STANDARD_INPUT))
      return;
    try {
      boolean same = Files.exists(output)
          ? Files.isSameFile(input, output)
          : input.toAbsolutePath().normalize().equals(output.toAbsolutePath().normalize());
      if (same) {
        throw CliException.usage(
            "refusing to overwrite the input '" + input + "' with the output '" + output + "'");
      }
    } catch (IOException e) {
      throw CliException.io("cannot check '" + output + "': " + describe(e));
    }
  }

  /** Fails early when {@code target} cannot be created: its folder is missing or it is a folder. */
  static void checkWritable(Path target) {
    Path absolute = target.toAbsolutePath();
    Path folder = absolute.getParent();
    if (folder == null || !Files.isDirectory(folder)) {
      throw CliException.io(
          "cannot write '" + target + "': the folder '" + folder + "' does not exist");
    }
    if (Files.isDirectory(absolute)) {
      throw CliException.io("cannot write '" + target + "': it is a folder");
    }
  }

  /**
   * Writes {@code target} through a temporary file beside it, put in its place only once the
   * writer has finished (see {@link StagedFile}), so that a failure never leaves a partial file.
   */
  static void writeAtomically(Path target, FileWriter writer) {
    checkWritable(target);
    try (StagedFile staged = StagedFile.stage(target)) {
      writer.write(staged.temporary());
      staged.commit();
    } catch (IOException e) {
      throw CliException.io("cannot write '" + target + "': " + describe(e));
    }
  }

  /**
   * A short reason for an I/O failure, without the exception's class name: that of its cause when
   * it has one (the image writer's "I/O error writing PNG file!" hides a full disk, say).
   */
  static String describe(IOException e) {
    if (e.getCause() instanceof IOException cause)
      return describe(cause);
    if (e instanceof NoSuchFileException)
      return "no such file or folder";
    if (e instanceof AccessDeniedException)
      return "permission denied";
    if (e instanceof FileSystemException fse && fse.getReason() != null)
      return fse.getReason();
    String message = e.getMessage();
    if (message == null || message.isEmpty())
      return "it could not be read to its end";
    // Java's own words for what went wrong in its streams, in the user's.
    if (message.equals("Resetting to invalid mark"))
      return "its header could not be read to its end";
    if (message.equals("Stream closed"))
      return "the input was closed while it was being read";
    return message;
  }

  /** A duration as m:ss.mmm. */
  static String duration(long frames, double sampleRate) {
    long millis = Math.round(frames * 1000.0 / sampleRate);
    return String.format(
        Locale.ROOT, "%d:%02d.%03d", millis / 60000, millis / 1000 % 60, millis % 1000);
  }

  static void close(AutoCloseable closeable) {
    try {
      closeable.close();
    } catch (Exception ignored) {
      // Closing a stream that was only read.
    }
  }
}

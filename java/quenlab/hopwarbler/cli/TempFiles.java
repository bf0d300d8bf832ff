package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.time.Instant;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.ThreadLocalRandom;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The tool's hidden temporary files: {@code .NAME.PID-RANDOM.SUFFIX} beside what they become. The
 * name keeps within the file system's limit of 255 bytes by shortening NAME, and carries the id of
 * the process that made it, so that a later run can tell a temporary whose process is gone
 * (killed with SIGKILL, or the machine stopped) from one being written, and remove it.
 *
 * <p>Every temporary this process holds is registered until it is renamed into place or deleted.
 * On Ctrl-C, SIGTERM or SIGHUP the JVM runs its shutdown hooks; the hook here deletes every
 * registered temporary, stops the helper programs writing them, and from then on refuses to
 * rename any temporary into place, so that an interrupted run leaves nothing behind.
 */
final class TempFiles {
  /** The longest file name (in bytes) Linux file systems take: NAME_MAX. */
  static final int NAME_MAX = 255;

  private static final String PID = Long.toString(ProcessHandle.current().pid());
  // .NAME.PID-RANDOM.SUFFIX, SUFFIX being part or pcm.
  private static final Pattern OURS =
      Pattern.compile("\\..+\\.(\\d{1,10})-[0-9a-f]{6}\\.(part|pcm)");

  // The registered temporaries, each with the name of what it becomes (for the message), and the
  // helper programs writing them; guarded by the class lock, as is `closed`.
  private static final Map<Path, String> LIVE = new LinkedHashMap<>();
  private static final List<Process> HELPERS = new ArrayList<>();
  private static boolean closed;

  static {
    Runtime.getRuntime().addShutdownHook(new Thread(TempFiles::removeAll, "temporary files"));
  }

  private TempFiles() {}

  /** Something done with a temporary while no shutdown can remove it: its rename into place. */
  interface Commit {
    void run() throws IOException;
  }

  /**
   * Creates an empty hidden temporary in {@code folder} for the file {@code name}, with the default
   * permissions of a new file, and registers it. Stale temporaries of earlier runs in the folder
   * are removed first.
   *
   * @param suffix "part" for a file that is renamed into place, "pcm" for gathered samples
   * @param target what the temporary becomes, named in the message if a signal removes it
   */
  static Path create(Path folder, String name, String suffix, String target) throws IOException {
    removeStale(folder);
    for (int attempt = 0;; attempt++) {
      String random = String.format("%06x", ThreadLocalRandom.current().nextInt(1 << 24));
      String tail = "." + PID + "-" + random + "." + suffix;
      Path candidate = folder.resolve("." + shortened(name, NAME_MAX - 1 - bytes(tail)) + tail);
      synchronized (TempFiles.class) {
        if (closed)
          throw new IOException("interrupted");
        try {
          Files.createFile(candidate);
        } catch (FileAlreadyExistsException e) {
          if (attempt < 100)
            continue;
          throw e;
        }
        LIVE.put(candidate, target);
        return candidate;
      }
    }
  }

  /**
   * Runs {@code commit} for a registered temporary unless the process is shutting down, in which
   * case the temporary is already gone and this fails. The shutdown hook waits for a commit under
   * way, so a target is either replaced whole or not at all.
   */
  static void commit(Path temporary, Commit commit) throws IOException {
    synchronized (TempFiles.class) {
      if (closed || !LIVE.containsKey(temporary))
        throw new IOException("interrupted");
      commit.run();
      LIVE.remove(temporary);
    }
  }

  /** Deletes a temporary (if it is still there) and forgets it. */
  static void delete(Path temporary) {
    synchronized (TempFiles.class) {
      LIVE.remove(temporary);
    }
    try {
      Files.deleteIfExists(temporary);
    } catch (IOException ignored) {
      // A hidden file of our naming left behind; the next run in this folder removes it.
    }
  }

  /** Registers a helper program that writes a temporary, to be stopped on a signal. */
  static void watch(Process helper) {
    boolean stop;
    synchronized (TempFiles.class) {
      stop = closed;
      if (!stop)
        HELPERS.add(helper);
    }
    if (stop)
      ExternalDecoder.stop(helper);
  }

  /** True once a signal has begun to end the tool: its own message has then been given. */
  static boolean interrupted() {
    synchronized (TempFiles.class) {
      return closed;
    }
  }

  static void unwatch(Process helper) {
    synchronized (TempFiles.class) {
      HELPERS.remove(helper);
    }
  }

  // The shutdown hook: after a normal run nothing is registered and it does nothing.
  private static void removeAll() {
    List<String> lost = new ArrayList<>();
    synchronized (TempFiles.class) {
      closed = true;
      HELPERS.forEach(ExternalDecoder::stop);
      for (Map.Entry<Path, String> e : LIVE.entrySet()) {
        try {
          Files.deleteIfExists(e.getKey());
        } catch (IOException ignored) {
          // Left for the next run to remove.
        }
        if (!lost.contains(e.getValue()))
          lost.add(e.getValue());
      }
      LIVE.clear();
    }
    if (!lost.isEmpty()) {
      PrintStream err = System.err;
      err.println("hopwarbler: interrupted; not written: '" + String.join("', '", lost) + "'");
      err.flush();
    }
  }

  /**
   * Removes the temporaries of our naming in {@code folder} whose process is gone: no process has
   * their id, or the one that has it started after the file was last written to. Anything that
   * cannot be checked or removed is left alone.
   */
  static void removeStale(Path folder) {
    try (DirectoryStream<Path> files = Files.newDirectoryStream(folder, ".*")) {
      for (Path file : files) {
        Matcher m = OURS.matcher(file.getFileName().toString());
        if (m.matches() && !m.group(1).equals(PID) && stale(file, Long.parseLong(m.group(1))))
          Files.deleteIfExists(file);
      }
    } catch (IOException | RuntimeException ignored) {
      // An unreadable folder: the write that follows reports what is wrong with it.
    }
  }

  private static boolean stale(Path file, long pid) throws IOException {
    if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS))
      return false;
    Optional<ProcessHandle> owner = ProcessHandle.of(pid);
    if (owner.isEmpty())
      return true;
    Optional<Instant> started = owner.get().info().startInstant();
    FileTime written = Files.getLastModifiedTime(file, LinkOption.NOFOLLOW_LINKS);
    return started.isPresent() && started.get().isAfter(written.toInstant().plusSeconds(1));
  }

  /** The longest start of {@code name} that takes at most {@code limit} bytes in UTF-8. */
  static String shortened(String name, int limit) {
    if (bytes(name) <= limit)
      return name;
    int end = 0;
    int used = 0;
    while (end < name.length()) {
      int next = name.offsetByCodePoints(end, 1);
      int size = bytes(name.substring(end, next));
      if (used + size > limit)
        break;
      used += size;
      end = next;
    }
    return name.substring(0, end);
  }

  private static int bytes(String s) {
    return s.getBytes(StandardCharsets.UTF_8).length;
  }
}

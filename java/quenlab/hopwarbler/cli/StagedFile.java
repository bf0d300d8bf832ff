package quenlab.hopwarbler.cli;

import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFileAttributes;

/**
 * A file written under a hidden temporary name beside its target and put in the target's place only
 * by {@link #commit}, so that a failure or a signal never leaves a partial file.
 *
 * <p>What the target was is kept: a symbolic link is followed and its target replaced (the link
 * stays a link); a file being replaced keeps its permissions (and, where this process may set
 * them, its owner and group); a file with several hard links is overwritten in place once the new
 * content is complete, so that every name still shows the same file.
 */
final class StagedFile implements AutoCloseable {
  private static final int MAX_LINKS = 40;

  private final Path named;
  private final Path real;
  private final Path temporary;
  private boolean done;

  private StagedFile(Path named, Path real, Path temporary) {
    this.named = named;
    this.real = real;
    this.temporary = temporary;
  }

  /**
   * Creates the temporary for {@code target}.
   *
   * @throws CliException if the target cannot be written: its folder is missing, it is a folder or
   *     not a regular file, or the temporary cannot be created
   */
  static StagedFile stage(Path target) {
    Path real = resolve(target);
    Path folder = real.getParent();
    if (folder == null || !Files.isDirectory(folder)) {
      throw CliException.io(
          "cannot write '" + target + "': the folder '" + folder + "' does not exist");
    }
    if (Files.isDirectory(real))
      throw CliException.io("cannot write '" + target + "': it is a folder");
    if (Files.exists(real) && !Files.isRegularFile(real)) {
      throw CliException.io("cannot write '" + target + "': it is not a regular file (to write to"
          + " a pipe or a device, give - and redirect the standard output)");
    }
    try {
      String name = real.getFileName().toString();
      return new StagedFile(
          target, real, TempFiles.create(folder, name, "part", target.toString()));
    } catch (IOException e) {
      throw CliException.io("cannot write '" + target + "': " + AudioFiles.describe(e));
    }
  }

  // The file a write to `target` lands in: through symbolic links, even one whose target does not
  // exist yet, as shell redirection does.
  private static Path resolve(Path target) {
    Path path = target.toAbsolutePath().normalize();
    for (int i = 0; i < MAX_LINKS && Files.isSymbolicLink(path); i++) {
      try {
        Path link = Files.readSymbolicLink(path);
        Path parent = path.getParent();
        path = (parent == null ? link : parent.resolve(link)).normalize();
      } catch (IOException e) {
        throw CliException.io("cannot write '" + target + "': " + AudioFiles.describe(e));
      }
    }
    if (Files.isSymbolicLink(path))
      throw CliException.io("cannot write '" + target + "': too many levels of symbolic links");
    return path;
  }

  /** Where the content is to be written. */
  Path temporary() {
    return temporary;
  }

  /** The target as it was named. */
  Path target() {
    return named;
  }

  /** Puts the written temporary in the target's place. */
  void commit() throws IOException {
    TempFiles.commit(temporary, () -> {
      PosixFileAttributes old = existing();
      if (old != null && links() > 1) {
        overwrite(old.size());
        Files.deleteIfExists(temporary);
      } else {
        if (old != null)
          keepOwnerAndMode(old);
        try {
          Files.move(
              temporary, real, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        } catch (AtomicMoveNotSupportedException e) {
          Files.move(temporary, real, StandardCopyOption.REPLACE_EXISTING);
        }
      }
      done = true;
    });
  }

  // The attributes of the file being replaced; null for a new file (or a file system without
  // POSIX attributes, where there is nothing to keep).
  private PosixFileAttributes existing() throws IOException {
    if (!Files.exists(real, LinkOption.NOFOLLOW_LINKS))
      return null;
    try {
      return Files.readAttributes(real, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
    } catch (UnsupportedOperationException e) {
      return null;
    }
  }

  private int links() throws IOException {
    try {
      return (Integer) Files.getAttribute(real, "unix:nlink", LinkOption.NOFOLLOW_LINKS);
    } catch (UnsupportedOperationException | IllegalArgumentException e) {
      return 1;
    }
  }

  private void keepOwnerAndMode(PosixFileAttributes old) throws IOException {
    PosixFileAttributeView view =
        Files.getFileAttributeView(temporary, PosixFileAttributeView.class);
    view.setPermissions(old.permissions());
    try {
      PosixFileAttributes now = view.readAttributes();
      if (!now.owner().equals(old.owner()))
        view.setOwner(old.owner());
      if (!now.group().equals(old.group()))
        view.setGroup(old.group());
    } catch (IOException | SecurityException e) {
      // Only root gives a file away; anyone else writes a file of their own, as cp does.
    }
  }

  // A file of several names: its content is replaced in place, after checking that the disk has
  // room for what it grows by, so that a full disk fails before the old content is touched.
  private void overwrite(long oldSize) throws IOException {
    try (FileChannel from = FileChannel.open(temporary, StandardOpenOption.READ);
         FileChannel to = FileChannel.open(real, StandardOpenOption.WRITE)) {
      long size = from.size();
      if (size > oldSize && Files.getFileStore(real).getUsableSpace() < size - oldSize)
        throw new FileSystemException(real.toString(), null, "No space left on device");
      long copied = 0;
      while (copied < size) {
        long n = from.transferTo(copied, size - copied, to.position(copied));
        if (n <= 0)
          throw new IOException("the new content could not be copied into place");
        copied += n;
      }
      to.truncate(size);
      to.force(false);
    }
  }

  /** Removes the temporary unless it was committed. */
  @Override
  public void close() {
    if (!done)
      TempFiles.delete(temporary);
  }
}

package quenlab.hopwarbler.cli;

import java.util.ArrayList;
import java.util.Iterator;
import java.util.List;
import java.util.ServiceConfigurationError;
import java.util.ServiceLoader;
import javax.sound.sampled.spi.AudioFileReader;

/**
 * The Java Sound file readers the tool picks from by name instead of letting Java Sound try them
 * all in turn: Java Sound's own (WAV, AIFF, AU), and the MP3 and Ogg Vorbis readers of the Debian
 * jars on the class path. A provider whose jar misses a class it needs is left out.
 */
final class Providers {
  private Providers() {}

  /** The readers of the Java runtime itself. */
  static List<AudioFileReader> javaSoundReaders() {
    List<AudioFileReader> readers = new ArrayList<>();
    for (AudioFileReader reader : all()) {
      // The runtime's providers live in its named module java.desktop; the class path's jars in
      // the unnamed module.
      if (reader.getClass().getModule().isNamed())
        readers.add(reader);
    }
    return readers;
  }

  /** The class path's reader of the given class, or null when it is not there. */
  static AudioFileReader classPathReader(String className) {
    for (AudioFileReader reader : all()) {
      if (reader.getClass().getName().equals(className))
        return reader;
    }
    return null;
  }

  private static List<AudioFileReader> all() {
    List<AudioFileReader> readers = new ArrayList<>();
    Iterator<AudioFileReader> it = ServiceLoader.load(AudioFileReader.class).iterator();
    // The iterator moves past a provider that fails; the bound only guards against one that
    // fails for ever.
    for (int tries = 0; tries < 1000; tries++) {
      try {
        if (!it.hasNext())
          break;
        readers.add(it.next());
      } catch (ServiceConfigurationError | LinkageError e) {
        // A provider that cannot be loaded: the others still can.
      }
    }
    return readers;
  }
}

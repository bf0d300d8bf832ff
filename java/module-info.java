/**
 * The hopwarbler library: changes the tempo of music while it plays without changing its pitch,
 * removes the centre voice, rebalances or folds the channels to mono, equalises and reports the
 * peak level and a 72-band note spectrum.
 *
 * <p>The module carries its native library for each platform it was built for, and loads it
 * itself (see {@link quenlab.hopwarbler.NativeInterface}). It needs nothing beyond the JDK:
 * {@code java.desktop} for {@code javax.sound.sampled}, whose types {@link
 * quenlab.hopwarbler.AudioStreams} takes and returns, and which a module that requires this one
 * therefore reads too.
 */
module quenlab.hopwarbler {
  requires transitive java.desktop;

  exports quenlab.hopwarbler;
}

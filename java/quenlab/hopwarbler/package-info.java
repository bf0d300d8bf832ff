/**
 * Changes the tempo of music while it plays without changing its pitch, and on the way removes
 * the centre voice, rebalances or folds the channels to mono, equalises and reports the peak
 * level and a 72-band note spectrum.
 *
 * <p>{@link quenlab.hopwarbler.Processor} is the API most programs want: it takes blocks of
 * 16-bit PCM of any size and returns the processed frames. {@link quenlab.hopwarbler.AudioStreams}
 * plugs it into {@code javax.sound.sampled}. {@link quenlab.hopwarbler.NativeInterface} is the
 * native library itself, one method per native call.
 */
package quenlab.hopwarbler;

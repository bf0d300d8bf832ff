/**
 * Changes the tempo of music while it plays without changing its pitch, and on the way removes
 * the centre voice, rebalances or folds the channels to mono, equalises and reports the peak
 * level and a 72-band note spectrum.
 *
 * <p>{@link quenlab.hopwarbler.Processor} is the API most programs want: it takes blocks of
 * 16-bit PCM of any size and returns the processed frames. {@link quenlab.hopwarbler.AudioStreams}
 * plugs it into {@code javax.sound.sampled}. {@link quenlab.hopwarbler.NativeInterface} is the
 * native library itself, one method per native call. {@link quenlab.hopwarbler.Planning} tells
 * how a processor plans its work before one is open.
 *
 * <h2>How a processor works</h2>
 *
 * <h3>Format</h3>
 *
 * {@code Processor.open(rate, channels)} plans the frame size and the hops per frame when each
 * stream starts, from the speed in force then ({@code Quality.BEST}); {@code open(rate, channels,
 * quality)} takes another preset and {@code open(rate, channels, frameSize, overSampling)} a
 * format of the caller's. A running stream keeps its format whatever the speed does.
 *
 * <h3>Many processors at once</h3>
 *
 * Each {@code Processor} runs on a native engine of its own ({@link
 * quenlab.hopwarbler.NativeEngine}), made when it opens and released when it closes, so any number
 * can be open at once (a crossfade, two decks, one stream per core), each driven by its own thread:
 * they share no state, and each gives exactly the samples it gives alone. Code that drives {@link
 * quenlab.hopwarbler.NativeInterface} (the process-wide engine) at the same time does not touch
 * them.
 *
 * <h3>Threads</h3>
 *
 * {@code process}, {@code flush} and {@code close} are meant for one processing thread (they are
 * serialised if several threads call them). Every setter and every getter may be called from any
 * thread while another thread processes, and returns without waiting for the processing; a
 * setting takes effect no later than the next hop the native driver receives, and the processing
 * thread carries it in without a click: a change of gain, balance or mono along a 20 ms ramp, a
 * change of the voice-removal amount (switching it on or off included) and of the equaliser in
 * small steps over a few hops (at least 40 ms). A stream starts with every setting as it was last
 * set.
 *
 * <h3>Blocks, latency and length</h3>
 *
 * {@code Processor.process} accepts any number of frames. The processor buffers them and hands
 * the native driver only whole analysis hops ({@code frameSize / overSampling} frames), one per
 * call, asking for exactly the synthesis hop's {@code stepOut} frames back, so every frame it
 * returns is freshly synthesised; the output therefore does not depend on how the input was cut
 * into blocks. The synthesis hop alternates between the two multiples of 4 around {@code hop /
 * speed} (the two whole values for hops under 32 frames), so that the output owes exactly {@code 1
 * / effectiveSpeed()} frames per input frame and never strays from that by more than two frames.
 * The native vocoder lays the frame whose window is centred on input frame t at output frame
 * {@code t / speed + latencyFrames()}; the processor discards those leading frames, so output
 * frame n corresponds to input frame {@code n * effectiveSpeed()}. The same number of frames is
 * held back at any moment (plus up to one hop of buffered input), and {@code flush} drains them.
 *
 * <p>A whole stream fed at one speed comes out with exactly {@code round(inputFrames /
 * effectiveSpeed())} frames (rounding halves up). When the speed changes during a stream, each
 * input frame counts at the speed in force when it was given to {@code process}: the total is the
 * rounded sum of {@code 1 / effectiveSpeed()} over the frames. A change of speed is seamless: the
 * vocoder keeps its phases running across it, and the processor corrects the level of the frames
 * that overlap frames laid at the old speed, so a steady tone keeps its level through it. The
 * delay stays the one of the first hop, so after a change to a slower speed the last {@code (hop /
 * newSpeed - hop / oldSpeed) * (frameSize - 2 hop) / (2 hop)} frames of audio fall past the end (a
 * few milliseconds), and after a change to a faster speed as many frames of silence end the
 * stream.
 *
 * <h3>Speed</h3>
 *
 * The native synthesis hop {@code stepOut} takes, hop by hop, one of the two whole values around
 * {@code hop / speed}, so that the output keeps to the exact speed; the speeds that can be reached
 * run from {@code 1 / overSampling} to {@code hop}, and a speed outside that range is applied at
 * its nearest end ({@code effectiveSpeed()}). A change applies from the next hop. When {@code
 * stepOut} reaches half the frame (speed 0.5 and below with an oversampling of 4) only two output
 * frames overlap at each sample; the processor evens out the level their windows give, but open it
 * with an oversampling of 8 or more to slow down that far smoothly.
 *
 * <h3>Key change</h3>
 *
 * The vocoder stretches the sound by the pitch factor p = 2<sup>semitones / 12</sup> more than the
 * speed asks (its synthesis hop becomes {@code hop * p / speed} on average), and the engine's
 * output stage then resamples the result, in floating point before the one rounding to 16 bits,
 * to play it p times faster (with the filter of {@link quenlab.hopwarbler.Resampler}), so every
 * frequency moves by exactly p and the duration is the speed's. A stream of N frames at one setting comes out with
 * {@code round(round(N * stepOut / hop) / p)} frames, {@code stepOut} being the average synthesis
 * hop, output frame n lining up with input frame {@code n * effectiveSpeed()}. Raising the key
 * slows the stretch down (+12 semitones at speed 1 stretches as speed 0.5 does), so what is said
 * above about slow speeds and the oversampling applies to {@code speed / p}. At 0 semitones the
 * resampler is out of the path and the output is the vocoder's, sample for sample. Once a stream
 * has been shifted, the resampler stays in its path until {@code flush}, so that a change back to
 * 0 runs on without a jump; a change during a stream carries the position on, so the sound glides
 * to the new key. The resampler holds back up to {@code 72 max(1, p)} vocoder frames besides
 * {@code latencyFrames()}, drained by {@code flush}. The note spectrum follows the key.
 *
 * <h3>Level</h3>
 *
 * A processor's engine divides every output sample by the weight the overlapping frames really
 * laid at it, so that at a gain of 0 dB a steady tone leaves as loud as it came in, whatever the
 * hops were (through a change of speed, at hops that alternate, or above a third of the frame);
 * the raw interface's fixed normalisation instead passes a tone at 0.75 of its level ({@code
 * Processor.TONE_GAIN}) where every frame was laid at one hop. The gain ({@code setGainDb}) glides
 * to a new value over 20 ms. Noise, reverberation and decays add partly out of phase once the frames are laid at
 * another hop and would come out up to a few dB weaker; with {@code Feature.LEVEL_KEEPING} (on by
 * default) the native driver brings the mid and the side of the output back to the input's level
 * over about half a second, without touching a steady tone. Above 0.95 of full scale the native
 * soft limiter bends the output, the clamp stops it at &plusmn;32767, and each sample is rounded
 * to the nearest 16-bit value.
 *
 * <h3>Engine refinements</h3>
 *
 * Beyond the plain phase vocoder, every processor turns on the native engine's refinements ({@code
 * Processor.Feature}): linked stereo (the channels share their phase turns, so the stereo image
 * and a centred sound keep their place), attack handling (drum hits and plucks keep their edge at
 * any speed), the finer peak rule (close low notes keep their own phases) and level keeping.
 * {@code setFeature} turns each off and on, from any thread; the change takes effect at the next
 * hop. With all of them off, the output is the plain vocoder's.
 *
 * <h3>Note spectrum</h3>
 *
 * The analyser sees the stretched output before the output gain; a stereo stream is analysed as
 * the mean of its channels. It keeps about 16384 output frames of history and refreshes 32 times
 * per second of output. It takes every fourth sample from the start of each synthesised hop, so
 * the processor makes every synthesis hop of 32 frames or more a multiple of 4 (the average still
 * gives the exact speed); shorter hops that are not leave small gaps in its history, and steady
 * tones then read lower. While the key is changed, the bands move with it ({@link
 * quenlab.hopwarbler.Notes#shift}), so they show what is heard.
 */
package quenlab.hopwarbler;

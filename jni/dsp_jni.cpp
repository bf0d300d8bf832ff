// The JNI entry points of quenlab.hopwarbler.NativeInterface: the only symbols the
// library exports. They check what the Java side passes, reach the arrays, turn bad
// arguments into Java exceptions, and call the block driver (dsp.h) and the modules'
// control functions. dspInit and dspProcess are admitted one at a time (dsp_admit()):
// either of them meeting the other, or itself, on another thread throws
// IllegalStateException instead of rewriting what the other reads.
#include <jni.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "dsp.h"
#include "eq.h"
#include "iirfilter.h"
#include "spectrum.h"

namespace {

void throwJava(JNIEnv* env, const char* className, const char* message) {
  jclass cls = env->FindClass(className);
  if (cls != nullptr) env->ThrowNew(cls, message);
}

// Holds an admission of dsp_admit() for its lifetime. A refused admission names the
// call under way, for the IllegalStateException the entry point throws.
class Admission {
 public:
  explicit Admission(DspCall call) : underWay_(dsp_admit(call)) {}
  ~Admission() {
    if (underWay_ == DSP_CALL_NONE) dsp_release();
  }
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Throws IllegalStateException and returns false when the call was refused.
  bool admitted(JNIEnv* env, const char* caller) const {
    if (underWay_ == DSP_CALL_NONE) return true;
    char msg[160];
    std::snprintf(msg, sizeof msg, "%s refused: %s is under way on another thread", caller,
                  underWay_ == DSP_CALL_INIT ? "dspInit" : "dspProcess");
    throwJava(env, "java/lang/IllegalStateException", msg);
    return false;
  }

 private:
  DspCall underWay_;
};

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspInit(
    JNIEnv* env, jobject, jint jFrameSize, jint jOverSampling, jint jSampleRate, jint jChannels) {
  char msg[160];
  if (!dsp_check_init(jFrameSize, jOverSampling, jSampleRate, msg, sizeof msg)) {
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  const Admission admission(DSP_CALL_INIT);
  if (!admission.admitted(env, "dspInit")) return;
  dsp_init(jFrameSize, jOverSampling, jSampleRate, jChannels);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspProcess(
    JNIEnv* env, jobject, jshortArray samples, jint samplesIn, jint samplesOut,
    jfloat /*pitchShiftAmount*/) {
  if (samples == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "samples is null");
    return;
  }
  // Admitted before the format is read: a set-up on another thread could otherwise
  // change the channel count between the array's check and the block.
  const Admission admission(DSP_CALL_PROCESS);
  if (!admission.admitted(env, "dspProcess")) return;
  if (!dsp_is_initialized()) {
    throwJava(env, "java/lang/IllegalStateException",
              "dspProcess called before a successful dspInit");
    return;
  }
  if (samplesIn <= 0 || samplesOut < 0) {
    dsp_process(nullptr, samplesIn, samplesOut);
    return;
  }
  const int64_t perFrame = dsp_channel_count();
  const int64_t needed = std::max<int64_t>(samplesIn, samplesOut) * perFrame;
  const jsize length = env->GetArrayLength(samples);
  if (needed > length) {
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "samples holds %d values but samplesIn %d / samplesOut %d need %lld "
                  "(%lld per frame)",
                  static_cast<int>(length), samplesIn, samplesOut, static_cast<long long>(needed),
                  static_cast<long long>(perFrame));
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jshort* elements = env->GetShortArrayElements(samples, nullptr);
  if (elements == nullptr) return;  // the JVM has thrown OutOfMemoryError
  const DspStatus status = dsp_process(elements, samplesIn, samplesOut);
  if (status == DSP_OUT_OF_MEMORY) {
    env->ReleaseShortArrayElements(samples, elements, JNI_ABORT);
    throwJava(env, "java/lang/OutOfMemoryError", "hopwarbler: work buffers could not grow");
    return;
  }
  env->ReleaseShortArrayElements(samples, elements, 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspVoiceRemovalEnable(JNIEnv*,
                                                                                     jobject,
                                                                                     jint enabled) {
  dsp_set_voice_removal_enabled(enabled != 0);
}

JNIEXPORT void JNICALL
Java_quenlab_hopwarbler_NativeInterface_dspVoiceRemovalAmount(JNIEnv*, jobject, jfloat amount) {
  dsp_set_voice_removal_amount(amount);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspVoiceRemovalFilter(
    JNIEnv* env, jobject, jdoubleArray coeffA, jdoubleArray coeffB, jint sizeA, jint sizeB) {
  if (coeffA == nullptr || coeffB == nullptr) {
    throwJava(env, "java/lang/NullPointerException",
              coeffA == nullptr ? "coeffA is null" : "coeffB is null");
    return;
  }
  const jsize lengthA = env->GetArrayLength(coeffA);
  const jsize lengthB = env->GetArrayLength(coeffB);
  if (sizeA < 1 || sizeA > lengthA || sizeB < 1 || sizeB > lengthB) {
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "sizeA must be from 1 to coeffA.length (%d) and sizeB from 1 to "
                  "coeffB.length (%d), got sizeA %d, sizeB %d",
                  static_cast<int>(lengthA), static_cast<int>(lengthB), sizeA, sizeB);
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jdouble* a = env->GetDoubleArrayElements(coeffA, nullptr);
  if (a == nullptr) return;
  jdouble* b = env->GetDoubleArrayElements(coeffB, nullptr);
  if (b == nullptr) {
    env->ReleaseDoubleArrayElements(coeffA, a, JNI_ABORT);
    return;
  }
  iir_init_filters(a, b, sizeA, sizeB);
  env->ReleaseDoubleArrayElements(coeffB, b, 0);
  env->ReleaseDoubleArrayElements(coeffA, a, 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspSetPreamp(JNIEnv*, jobject,
                                                                            jfloat jpreamp) {
  dsp_set_preamp(jpreamp);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspPanning(JNIEnv*, jobject,
                                                                          jint jPanningActive,
                                                                          jint jMonoActive,
                                                                          jint jPanningLevel) {
  dsp_set_panning(jPanningActive, jMonoActive, jPanningLevel);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspSpectrumEnable(JNIEnv*, jobject,
                                                                                 jint enabled) {
  spectrum_set_enabled(enabled);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspGetSpectrum(JNIEnv* env, jobject,
                                                                              jfloatArray jSpectrum,
                                                                              jint jSize) {
  if (jSpectrum == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "jSpectrum is null");
    return;
  }
  const int count = std::min(jSize, static_cast<jint>(spectrum_size()));
  if (count <= 0) return;
  const jsize length = env->GetArrayLength(jSpectrum);
  if (count > length) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "jSpectrum holds %d values but jSize %d needs %d",
                  static_cast<int>(length), jSize, count);
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jfloat* elements = env->GetFloatArrayElements(jSpectrum, nullptr);
  if (elements == nullptr) return;
  spectrum_copy(elements, count);
  env->ReleaseFloatArrayElements(jSpectrum, elements, 0);
}

JNIEXPORT jfloat JNICALL Java_quenlab_hopwarbler_NativeInterface_dspGetMaxLevel(JNIEnv*, jobject) {
  return dsp_get_max_level();
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspEQEnable(JNIEnv*, jobject,
                                                                           jint enabled) {
  eq_enable(enabled);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspEQSetBands(JNIEnv* env, jobject,
                                                                             jfloatArray levels) {
  if (levels == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "levels is null");
    return;
  }
  const int bands = eq_size();
  if (bands <= 0) return;
  const jsize length = env->GetArrayLength(levels);
  if (length < bands) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "levels holds %d values but the equaliser has %d bands",
                  static_cast<int>(length), bands);
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  jfloat* elements = env->GetFloatArrayElements(levels, nullptr);
  if (elements == nullptr) return;
  dsp_set_eq_bands(elements);
  env->ReleaseFloatArrayElements(levels, elements, 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspLinkedStereoEnable(JNIEnv*,
                                                                                     jobject,
                                                                                     jint enabled) {
  dsp_set_linked_stereo(enabled != 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspAttacksEnable(JNIEnv*, jobject,
                                                                                jint enabled) {
  dsp_set_attacks(enabled != 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspFinePeaksEnable(JNIEnv*, jobject,
                                                                                  jint enabled) {
  dsp_set_fine_peaks(enabled != 0);
}

JNIEXPORT void JNICALL Java_quenlab_hopwarbler_NativeInterface_dspLevelKeepingEnable(JNIEnv*,
                                                                                     jobject,
                                                                                     jint enabled) {
  dsp_set_level_keeping(enabled != 0);
}

}  // extern "C"

// The JNI entry points: the only symbols the library exports. Those of
// quenlab.hopwarbler.NativeInterface drive the process's default engine; those of
// quenlab.hopwarbler.NativeEngine create, drive and release engines of their own,
// each named by a handle that the Java class holds (0 once released). Both sets check
// what the Java side passes, reach the arrays, turn bad arguments into Java
// exceptions, and call the same code on the engine (dsp.h). Init and process are
// admitted one at a time per engine (Engine::admit()): either of them meeting the
// other, or itself, on another thread throws IllegalStateException instead of
// rewriting what the other reads.
#include <jni.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>

#include "dsp.h"
#include "fft.h"

namespace {

void throwJava(JNIEnv* env, const char* className, const char* message) {
  jclass cls = env->FindClass(className);
  if (cls != nullptr) env->ThrowNew(cls, message);
}

// Holds an admission of Engine::admit() for its lifetime. A refused admission names
// the call under way, for the IllegalStateException the entry point throws.
class Admission {
 public:
  Admission(Engine& engine, DspCall call) : engine_(engine), underWay_(engine.admit(call)) {}
  ~Admission() {
    if (underWay_ == DSP_CALL_NONE) engine_.release();
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
  Engine& engine_;
  DspCall underWay_;
};

// The engine a NativeEngine handle names; throws IllegalStateException and returns null
// for a released one (0). NativeEngine hands its natives no other handle than the one
// it created and has not released.
Engine* engineOf(JNIEnv* env, jlong handle) {
  if (handle == 0) {
    throwJava(env, "java/lang/IllegalStateException", "the engine has been released");
    return nullptr;
  }
  return reinterpret_cast<Engine*>(static_cast<intptr_t>(handle));
}

void init(JNIEnv* env, Engine& engine, jint frameSize, jint overSampling, jint sampleRate,
          jint channels) {
  char msg[160];
  if (!dsp_check_init(frameSize, overSampling, sampleRate, msg, sizeof msg)) {
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return;
  }
  const Admission admission(engine, DSP_CALL_INIT);
  if (!admission.admitted(env, "dspInit")) return;
  engine.init(frameSize, overSampling, sampleRate, channels);
}

void process(JNIEnv* env, Engine& engine, jshortArray samples, jint samplesIn, jint samplesOut) {
  if (samples == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "samples is null");
    return;
  }
  // Admitted before the format is read: a set-up on another thread could otherwise
  // change the channel count between the array's check and the block.
  const Admission admission(engine, DSP_CALL_PROCESS);
  if (!admission.admitted(env, "dspProcess")) return;
  if (!engine.initialized()) {
    throwJava(env, "java/lang/IllegalStateException",
              "dspProcess called before a successful dspInit");
    return;
  }
  if (samplesIn <= 0 || samplesOut < 0) {
    engine.process(nullptr, samplesIn, samplesOut);
    return;
  }
  const int64_t perFrame = engine.channelCount();
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
  const DspStatus status = engine.process(elements, samplesIn, samplesOut);
  if (status == DSP_OUT_OF_MEMORY) {
    env->ReleaseShortArrayElements(samples, elements, JNI_ABORT);
    throwJava(env, "java/lang/OutOfMemoryError", "hopwarbler: work buffers could not grow");
    return;
  }
  env->ReleaseShortArrayElements(samples, elements, 0);
}

void voiceRemovalFilter(JNIEnv* env, Engine& engine, jdoubleArray coeffA, jdoubleArray coeffB,
                        jint sizeA, jint sizeB) {
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
  engine.voiceFilters().load(a, b, sizeA, sizeB);
  env->ReleaseDoubleArrayElements(coeffB, b, 0);
  env->ReleaseDoubleArrayElements(coeffA, a, 0);
}

void getSpectrum(JNIEnv* env, Engine& engine, jfloatArray jSpectrum, jint jSize) {
  if (jSpectrum == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "jSpectrum is null");
    return;
  }
  const int count = std::min(jSize, static_cast<jint>(SpectrumAnalyser::size()));
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
  engine.spectrum().copy(elements, count);
  env->ReleaseFloatArrayElements(jSpectrum, elements, 0);
}

void eqSetBands(JNIEnv* env, Engine& engine, jfloatArray levels) {
  if (levels == nullptr) {
    throwJava(env, "java/lang/NullPointerException", "levels is null");
    return;
  }
  const int bands = engine.equaliser().size();
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
  engine.setEqBands(elements);
  env->ReleaseFloatArrayElements(levels, elements, 0);
}

// The engine's own output stage (NativeEngine's alone). Blocks are admitted as process
// calls: they read and move the stream that dspInit sets up.
bool stageArguments(JNIEnv* env, const Engine& engine, jint samplesIn, jint stepOut) {
  if (!engine.initialized()) {
    throwJava(env, "java/lang/IllegalStateException",
              "the output stage called before a successful dspInit");
    return false;
  }
  if (engine.stageRoom(samplesIn, stepOut) < 0) {
    char msg[160];
    std::snprintf(msg, sizeof msg, "samplesIn %d or stepOut %d out of range (stepOut 1 to %d)",
                  samplesIn, stepOut, engine.frameSize());
    throwJava(env, "java/lang/IllegalArgumentException", msg);
    return false;
  }
  return true;
}

// Whether `array` (named `name`) holds at least `needed` values; throws otherwise.
bool holds(JNIEnv* env, jarray array, const char* name, int64_t needed) {
  if (array == nullptr) {
    char msg[80];
    std::snprintf(msg, sizeof msg, "%s is null", name);
    throwJava(env, "java/lang/NullPointerException", msg);
    return false;
  }
  const jsize length = env->GetArrayLength(array);
  if (length >= needed) return true;
  char msg[160];
  std::snprintf(msg, sizeof msg, "%s holds %d values but needs %lld", name,
                static_cast<int>(length), static_cast<long long>(needed));
  throwJava(env, "java/lang/IllegalArgumentException", msg);
  return false;
}

jint stageRoom(JNIEnv* env, Engine& engine, jint samplesIn, jint stepOut) {
  const Admission admission(engine, DSP_CALL_PROCESS);
  if (!admission.admitted(env, "stageRoom")) return -1;
  if (!stageArguments(env, engine, samplesIn, stepOut)) return -1;
  return engine.stageRoom(samplesIn, stepOut);
}

void putPeak(JNIEnv* env, jfloatArray peak, float value) {
  if (peak != nullptr) env->SetFloatArrayRegion(peak, 0, 1, &value);
}

jint stageProcess(JNIEnv* env, Engine& engine, jshortArray samples, jint samplesIn, jint stepOut,
                  jint skip, jint keep, jshortArray out, jfloatArray peak) {
  const Admission admission(engine, DSP_CALL_PROCESS);
  if (!admission.admitted(env, "stageProcess")) return -1;
  if (!stageArguments(env, engine, samplesIn, stepOut)) return -1;
  if (samplesIn == 0 || skip < 0 || keep < 0) {
    throwJava(env, "java/lang/IllegalArgumentException",
              "samplesIn must be above 0, skip and keep 0 or more");
    return -1;
  }
  const int channels = engine.channelCount();
  const int room = engine.stageRoom(samplesIn, stepOut);
  if (!holds(env, samples, "samples", static_cast<int64_t>(samplesIn) * channels) ||
      !holds(env, out, "out", static_cast<int64_t>(room) * channels) ||
      (peak != nullptr && !holds(env, peak, "peak", 1))) {
    return -1;
  }
  // The block reads and writes the Java arrays in place: no copy and nothing allocated.
  // The input is read whole before the first output frame is written, so the two may be
  // one array.
  auto* in = static_cast<jshort*>(env->GetPrimitiveArrayCritical(samples, nullptr));
  if (in == nullptr) return -1;  // the JVM has thrown OutOfMemoryError
  auto* made = static_cast<jshort*>(env->GetPrimitiveArrayCritical(out, nullptr));
  if (made == nullptr) {
    env->ReleasePrimitiveArrayCritical(samples, in, JNI_ABORT);
    return -1;
  }
  float level = 0.0f;
  const int frames = engine.processStage(in, samplesIn, stepOut, made, room, &level, skip, keep);
  env->ReleasePrimitiveArrayCritical(out, made, frames < 0 ? JNI_ABORT : 0);
  env->ReleasePrimitiveArrayCritical(samples, in, JNI_ABORT);
  if (frames < 0) {
    throwJava(env, "java/lang/OutOfMemoryError", "hopwarbler: work buffers could not grow");
    return -1;
  }
  putPeak(env, peak, level);
  return frames;
}

jint stageFinish(JNIEnv* env, Engine& engine, jshortArray out, jfloatArray peak) {
  const Admission admission(engine, DSP_CALL_PROCESS);
  if (!admission.admitted(env, "stageFinish")) return -1;
  if (!stageArguments(env, engine, 0, 1)) return -1;
  const int room = engine.stageRoom(0, 1);
  if (!holds(env, out, "out", static_cast<int64_t>(room) * engine.channelCount()) ||
      (peak != nullptr && !holds(env, peak, "peak", 1))) {
    return -1;
  }
  auto* made = static_cast<jshort*>(env->GetPrimitiveArrayCritical(out, nullptr));
  if (made == nullptr) return -1;
  const int frames = engine.finishStage(made, room);
  env->ReleasePrimitiveArrayCritical(out, made, 0);
  putPeak(env, peak, frames > 0 ? engine.maxLevel() : 0.0f);
  return std::max(frames, 0);
}
}  // namespace

// Each method is defined once for the default engine (NativeInterface: JNIEnv*, jobject,
// arguments) and once for a handle (NativeEngine: JNIEnv*, jclass, jlong, arguments).
#define HW_RAW(name) Java_quenlab_hopwarbler_NativeInterface_##name
#define HW_ENGINE(name) Java_quenlab_hopwarbler_NativeEngine_##name
#define HW_BOTH(ret, name, fail, params, call)                                            \
  JNIEXPORT ret JNICALL HW_RAW(name)([[maybe_unused]] JNIEnv * env, jobject AND params) { \
    [[maybe_unused]] Engine& engine = dsp_default_engine();                               \
    return call;                                                                          \
  }                                                                                       \
  JNIEXPORT ret JNICALL HW_ENGINE(name)(JNIEnv * env, jclass, jlong handle AND params) {  \
    Engine* found = engineOf(env, handle);                                                \
    if (found == nullptr) return fail;                                                    \
    [[maybe_unused]] Engine& engine = *found;                                             \
    return call;                                                                          \
  }
// The method's own parameters after the common ones: AND (a, b) is ", a, b", AND () nothing.
#define AND(...) __VA_OPT__(, ) __VA_ARGS__

extern "C" {

HW_BOTH(void, dspInit, void(), (jint frameSize, jint overSampling, jint sampleRate, jint channels),
        init(env, engine, frameSize, overSampling, sampleRate, channels))
HW_BOTH(void, dspProcess, void(),
        (jshortArray samples, jint samplesIn, jint samplesOut, jfloat /*pitchShiftAmount*/),
        process(env, engine, samples, samplesIn, samplesOut))
HW_BOTH(void, dspVoiceRemovalEnable, void(), (jint enabled),
        engine.setVoiceRemovalEnabled(enabled != 0))
HW_BOTH(void, dspVoiceRemovalAmount, void(), (jfloat amount), engine.setVoiceRemovalAmount(amount))
HW_BOTH(void, dspVoiceRemovalFilter, void(),
        (jdoubleArray coeffA, jdoubleArray coeffB, jint sizeA, jint sizeB),
        voiceRemovalFilter(env, engine, coeffA, coeffB, sizeA, sizeB))
HW_BOTH(void, dspSetPreamp, void(), (jfloat jpreamp), engine.setPreamp(jpreamp))
HW_BOTH(void, dspPanning, void(), (jint jPanningActive, jint jMonoActive, jint jPanningLevel),
        engine.setPanning(jPanningActive, jMonoActive, jPanningLevel))
HW_BOTH(void, dspSpectrumEnable, void(), (jint enabled), engine.spectrum().setEnabled(enabled != 0))
HW_BOTH(void, dspGetSpectrum, void(), (jfloatArray jSpectrum, jint jSize),
        getSpectrum(env, engine, jSpectrum, jSize))
HW_BOTH(jfloat, dspGetMaxLevel, 0.0f, (), engine.maxLevel())
HW_BOTH(void, dspEQEnable, void(), (jint enabled), engine.equaliser().enable(enabled))
HW_BOTH(void, dspEQSetBands, void(), (jfloatArray levels), eqSetBands(env, engine, levels))
HW_BOTH(void, dspLinkedStereoEnable, void(), (jint enabled), engine.setLinkedStereo(enabled != 0))
HW_BOTH(void, dspAttacksEnable, void(), (jint enabled), engine.setAttacks(enabled != 0))
HW_BOTH(void, dspFinePeaksEnable, void(), (jint enabled), engine.setFinePeaks(enabled != 0))
HW_BOTH(void, dspLevelKeepingEnable, void(), (jint enabled), engine.setLevelKeeping(enabled != 0))

// The analyser as a tap on the output: NativeEngine's alone.
JNIEXPORT void JNICALL HW_ENGINE(dspSpectrumTapEnable)(JNIEnv* env, jclass, jlong handle,
                                                       jint enabled) {
  Engine* engine = engineOf(env, handle);
  if (engine != nullptr) engine->setSpectrumTap(enabled != 0);
}

JNIEXPORT jint JNICALL HW_ENGINE(stageRoom)(JNIEnv* env, jclass, jlong handle, jint samplesIn,
                                            jint stepOut) {
  Engine* engine = engineOf(env, handle);
  return engine == nullptr ? -1 : stageRoom(env, *engine, samplesIn, stepOut);
}

JNIEXPORT jint JNICALL HW_ENGINE(stageProcess)(JNIEnv* env, jclass, jlong handle,
                                               jshortArray samples, jint samplesIn, jint stepOut,
                                               jint skip, jint keep, jshortArray out,
                                               jfloatArray peak) {
  Engine* engine = engineOf(env, handle);
  return engine == nullptr
             ? -1
             : stageProcess(env, *engine, samples, samplesIn, stepOut, skip, keep, out, peak);
}

JNIEXPORT jint JNICALL HW_ENGINE(stageFinish)(JNIEnv* env, jclass, jlong handle, jshortArray out,
                                              jfloatArray peak) {
  Engine* engine = engineOf(env, handle);
  return engine == nullptr ? -1 : stageFinish(env, *engine, out, peak);
}

JNIEXPORT void JNICALL HW_ENGINE(setGain)(JNIEnv* env, jclass, jlong handle, jfloat linear) {
  Engine* engine = engineOf(env, handle);
  if (engine != nullptr) engine->setGain(linear);
}

JNIEXPORT jboolean JNICALL HW_ENGINE(setPitchRatio)(JNIEnv* env, jclass, jlong handle,
                                                    jdouble ratio) {
  Engine* engine = engineOf(env, handle);
  return engine != nullptr && engine->setPitchRatio(ratio) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL HW_ENGINE(setLean)(JNIEnv* env, jclass, jlong handle, jboolean enabled) {
  Engine* engine = engineOf(env, handle);
  if (engine != nullptr) engine->setLean(enabled != JNI_FALSE);
}

JNIEXPORT void JNICALL HW_ENGINE(setFormantsKept)(JNIEnv* env, jclass, jlong handle,
                                                  jboolean kept) {
  Engine* engine = engineOf(env, handle);
  if (engine != nullptr) engine->setFormantsKept(kept != JNI_FALSE);
}

// A new engine with every setting at its default; 0 when there is no memory for it.
// Its equaliser table is sized for the largest frame at once, so that it serves every
// frame the engine is later set up with (the default engine keeps the size its first
// set-up gives it).
JNIEXPORT jlong JNICALL HW_ENGINE(create)(JNIEnv*, jclass) {
  Engine* engine = new (std::nothrow) Engine();
  if (engine != nullptr) engine->equaliser().init(fftMaxSize / 2);
  return static_cast<jlong>(reinterpret_cast<intptr_t>(engine));
}

// Releases an engine; NativeEngine calls it once, when no other call on it is under way.
JNIEXPORT void JNICALL HW_ENGINE(destroy)(JNIEnv*, jclass, jlong handle) {
  delete reinterpret_cast<Engine*>(static_cast<intptr_t>(handle));
}

// The native memory an engine holds, in bytes.
JNIEXPORT jlong JNICALL HW_ENGINE(bytes)(JNIEnv* env, jclass, jlong handle) {
  Engine* engine = engineOf(env, handle);
  return engine == nullptr ? 0 : static_cast<jlong>(engine->bytes());
}

}  // extern "C"
